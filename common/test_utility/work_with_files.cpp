#include "work_with_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"
#include "test_utility.h"
#include "text_scan.h"

namespace {

// 8096 bytes, not 8192: the copy buffer of every file-to-file copy.
enum { COPY_BUFFER_SIZE = 8096 };

ssize_t read_retry(int fd, void* buf, size_t size) {
    ssize_t n;
    do {
        n = read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t write_retry(int fd, const void* buf, size_t size) {
    ssize_t n;
    do {
        n = write(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

// ---------------------------------------------------------------------------
// File copy

int copy_one_file(const char* source, const char* destination) {
    scoped_fd in(open(source, O_RDONLY | O_CLOEXEC));
    if (!in) {
        LOG_MSG(LVL_ERROR, "error with read from file: %s", source);
        return 0;
    }
    scoped_fd out(open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
        return 0;
    }
    unsigned char buffer[COPY_BUFFER_SIZE];
    for (;;) {
        ssize_t got = read_retry(in.get(), buffer, sizeof(buffer));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            // A copy cut short by a failing medium is not a copy: a plain
            // package carries no checked checksum to catch it later.
            LOG_MSG(LVL_ERROR, "error with read from file: %s", source);
            return 0;
        }
        if (write_retry(out.get(), buffer, static_cast<size_t>(got)) != got) {
            LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
            return 0;
        }
    }
    if (out.close() != 0) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// CRC-16

// ---------------------------------------------------------------------------
// USB storage: device list, mount table, mount

namespace {

// Lines of /proc/diskstats and /proc/mounts are read with this buffer; a
// longer line is read in pieces, each taken as a line.
enum { LIST_LINE_SIZE = 512 };

// Drive letters taken for USB storage: sda to sdg.
const char* const USB_DRIVE_LETTERS = "abcdefg";

// The pause after an attempt that found nothing, and before the test for the
// first partition's node, which may still be on its way.
const useconds_t DEVICE_SETTLE_USEC = 50 * 1000;

// The mount table writes blanks, tabs, newlines and backslashes inside a
// field as three octal digits after a backslash ("\040"): back to bytes.
void unescape_mount_field(char* field) {
    char* out = field;
    for (const char* in = field; *in != '\0'; ++in) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out++ = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 3;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

} // namespace

int is_dev_find(const char* line, char* name_out, int name_size) {
    if (name_size < 4) {
        return 0;
    }
    const char* at = strstr(line, " sd");
    if (at == nullptr) {
        return 0;
    }
    char letter = at[3];
    if (letter == '\0' || strchr(USB_DRIVE_LETTERS, letter) == nullptr) {
        return 0;
    }
    snprintf(name_out, 4, "%.3s", at + 1);
    return 1;
}

int search_storage(const char* list_path, const char* node_folder, int* found_flag, char* name_out,
                   int name_size) {
    scoped_file list(fopen(list_path, "r"));
    if (!list) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", list_path);
        return 0;
    }
    char line[LIST_LINE_SIZE] = "";
    char name[16] = "";
    while (fgets(line, sizeof(line), list.get()) != nullptr) {
        *found_flag = is_dev_find(line, name, sizeof(name));
        if (*found_flag == 0) {
            continue;
        }
        snprintf(line, sizeof(line), "%s%s1", node_folder, name);
        LOG_MSG(LVL_INFO, "path to dev file: %s\n", line);
        usleep(DEVICE_SETTLE_USEC);
        if (is_file_existed(line)) {
            snprintf(name_out, static_cast<size_t>(name_size), "%s1", name);
        } else {
            snprintf(name_out, static_cast<size_t>(name_size), "%s", name);
        }
        return 1;
    }
    if (ferror(list.get())) {
        list.close();
        LOG_MSG(LVL_ERROR, "failed to read file: %s", list_path);
        return 0;
    }
    return 1;
}

int is_dev_mounted(const char* dev_name, const char* mount_list_path, char* folder_out,
                   int folder_size) {
    if (dev_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "dev_name is empty");
        return 0;
    }
    if (mount_list_path[0] == '\0') {
        LOG_MSG(LVL_ERROR, "mount_list is empty");
        return 0;
    }
    char mount_point[256] = "";
    scoped_file table(fopen(mount_list_path, "r"));
    if (!table) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", mount_list_path);
        return 0;
    }
    int found = 0;
    char line[LIST_LINE_SIZE];
    while (fgets(line, sizeof(line), table.get()) != nullptr) {
        if (strstr(line, dev_name) != nullptr) {
            found = get_text_from_br(line, " ", " ", mount_point, sizeof(mount_point));
            break;
        }
    }
    if (ferror(table.get())) {
        table.close();
        LOG_MSG(LVL_ERROR, "failed to read file: %s", mount_list_path);
        return 0;
    }
    table.close();
    unescape_mount_field(mount_point);
    // A mount point too long for the folder and its "/" is no folder to use.
    if (snprintf(folder_out, static_cast<size_t>(folder_size), "%s/", mount_point) >= folder_size) {
        return 0;
    }
    return found;
}

int mount_device(const char* dev_name, const char* folder) {
    if (dev_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "device name is empty");
        return 0;
    }
    if (folder[0] == '\0') {
        LOG_MSG(LVL_ERROR, "device path is empty");
        return 0;
    }
    char node[256];
    snprintf(node, sizeof(node), "/dev/%s", dev_name);
    if (mount(node, folder, "vfat", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME, nullptr) != 0) {
        LOG_MSG(LVL_ERROR, "Mount error: %s", strerror(errno));
        LOG_MSG(LVL_ERROR, "full_dev_name = %s; dev_path = %s\n", node, folder);
        return 0;
    }
    return 1;
}

int get_text_from_br(const char* text, const char* open_mark, const char* close_mark, char* out,
                     int out_size) {
    char work[512] = "";
    if (strlen(text) < 3 || open_mark[0] == '\0' || close_mark[0] == '\0') {
        return 0;
    }
    const char* open = strchr(text, open_mark[0]);
    if (open == nullptr) {
        return 0;
    }
    const char* close = strchr(open + 1, close_mark[0]);
    if (close == nullptr) {
        return 0;
    }
    long distance = close - open;
    if (distance > out_size) {
        return 0;
    }
    snprintf(work, sizeof(work), "%.*s", static_cast<int>(distance - 1), open + 1);
    snprintf(out, static_cast<size_t>(out_size), "%s", work);
    return 1;
}

// ---------------------------------------------------------------------------
// Work list file

int get_work_list_from_file(const char* path, work_list_table* table) {
    if (path[0] == '\0') {
        LOG_MSG(LVL_ERROR, "file name is empty");
        return 0;
    }
    table->count = 0;
    scoped_file file(fopen(path, "r"));
    if (!file) {
        LOG_MSG(LVL_ERROR, "failed to read work list from file");
        return 0;
    }
    char line[LIST_LINE_SIZE] = "";
    int result = 1;
    int rows = 0;
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        if (rows == WORK_LIST_ROWS) {
            LOG_MSG(LVL_ERROR, "work list has more than %d rows: %s", WORK_LIST_ROWS, path);
            result = 0;
            break;
        }
        task_row* row = &table->rows[rows];
        if (!get_text_from_br(line, "<", ">", row->state, sizeof(row->state))) {
            LOG_MSG(LVL_ERROR, "failed to get state of task row");
            result = 0;
            break;
        }
        if (!get_text_from_br(line, "{", "}", row->name, sizeof(row->name))) {
            LOG_MSG(LVL_ERROR, "failed to get name of task row");
            result = 0;
            break;
        }
        ++rows;
    }
    if (result && ferror(file.get())) {
        file.close();
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    table->count = rows;
    return result;
}

// ---------------------------------------------------------------------------
// Shell steps

int script_on(const char* path, int on) {
    if (path[0] == '\0') {
        LOG_MSG(LVL_ERROR, "script_path is empty");
        return 0;
    }
    char command[256];
    snprintf(command, sizeof(command), "chmod %sx %s", on ? "+" : "-", path);
    execute_script(command);
    return 1;
}

int execute_script(const char* command) {
    // The exit status belongs to the script and is not looked at.
    int status = system(command);
    (void)status;
    return 1;
}

int is_plain_script_name(const char* name) {
    if (name[0] == '\0' || name[0] == '-' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return 0;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        char c = *p;
        int portable = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!portable) {
            return 0;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Service settings, process and file information readers

namespace {

// A settings or pid file is read by its first 511 bytes: its number begins
// there on any file the board writes.
enum { HEAD_BUFFER_SIZE = 512 };
// The first argument of a command line is read with this many bytes.
enum { CMDLINE_BUFFER_SIZE = 512 };
// The longest piece of a line looked at by get_line_from_file, plus its NUL.
enum { LINE_BUFFER_SIZE = 512 };

enum head_result { HEAD_OPEN_FAILED = -1, HEAD_READ_FAILED = -2 };

// Reads up to size - 1 bytes from the start of a file into buf and ends them
// with a NUL. Returns the number of bytes read, or a head_result. Opened
// without blocking, so that a FIFO under the name cannot stall the daemon.
int read_file_head(const char* path, char* buf, int size) {
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return HEAD_OPEN_FAILED;
    }
    int used = 0;
    while (used < size - 1) {
        ssize_t got = read_retry(fd.get(), buf + used, static_cast<size_t>(size - 1 - used));
        if (got < 0) {
            return HEAD_READ_FAILED;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<int>(got);
    }
    buf[used] = '\0';
    return used;
}

int is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A /proc entry name that is a whole decimal number, as a pid; 0 otherwise.
int pid_of_proc_entry(const char* name) {
    if (*name == '\0') {
        return 0;
    }
    long long value = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        value = value * 10 + (*p - '0');
        if (value > 0x7fffffff) {
            return 0;
        }
    }
    return static_cast<int>(value);
}

} // namespace

int parse_service_settings_text(const char* text, int* out) {
    int value = -1;
    if (!scan_int(text, &value)) {
        return 0;
    }
    // -1 is the value the file has when it says nothing.
    if (value == -1) {
        return 0;
    }
    *out = value;
    return 1;
}

int get_service_settings_from_file(const char* path, int* out) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_path is empty");
        return 0;
    }
    char text[HEAD_BUFFER_SIZE];
    int got = read_file_head(path, text, sizeof(text));
    if (got == HEAD_OPEN_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    if (got == HEAD_READ_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    return parse_service_settings_text(text, out);
}

int get_line_from_file(const char* path, const char* word, char* out, int out_size) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_path is empty");
        return 0;
    }
    if (word == nullptr || *word == '\0') {
        LOG_MSG(LVL_ERROR, "search_word is empty");
        return 0;
    }
    scoped_file file(fopen(path, "re"));
    if (!file) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    // The last match is kept here and copied out only when the search
    // succeeds, so that out is left alone on failure.
    char found[LINE_BUFFER_SIZE];
    int have_found = 0;
    char line[LINE_BUFFER_SIZE];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        if (strstr(line, word) == nullptr) {
            continue;
        }
        int length = static_cast<int>(strlen(line));
        if (length > out_size) {
            LOG_MSG(LVL_ERROR, "res_buf would be overflow: buf size = %d, result size = %d",
                    out_size, length);
            break;
        }
        memcpy(found, line, static_cast<size_t>(length) + 1);
        have_found = 1;
    }
    if (ferror(file.get())) {
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    if (!have_found) {
        return 0;
    }
    snprintf(out, static_cast<size_t>(out_size), "%s", found);
    return 1;
}

int get_number_from_line(const char* line, int* out) {
    if (line == nullptr || *line == '\0') {
        LOG_MSG(LVL_ERROR, "line is empty");
        return 0;
    }
    int value = 0;
    if (!scan_int(line, &value) || value == 0) {
        value = 0;
        scan_digits_after_text(line, &value);
    }
    if (value == 0) {
        return 0;
    }
    *out = value;
    return 1;
}

int get_memory_from_status_file(const char* path, int* out) {
    // 'VmRSS:\t   73420 kB'
    char line[LINE_BUFFER_SIZE];
    if (!get_line_from_file(path, "VmRSS:", line, sizeof(line))) {
        LOG_MSG(LVL_ERROR, "failed to get VmRSS: line from file: %s", path);
        return 0;
    }
    if (!get_number_from_line(line, out)) {
        LOG_MSG(LVL_ERROR, "failed to get number from line: [%s]", line);
        return 0;
    }
    return 1;
}

int cmdline_first_word_is(const char* cmdline, int size, const char* name) {
    // The first argument ends at the first NUL, or with the bytes read.
    const char* end = static_cast<const char*>(memchr(cmdline, '\0', static_cast<size_t>(size)));
    if (end == nullptr) {
        end = cmdline + size;
    }
    const char* word = cmdline;
    while (word < end && is_blank(*word)) {
        ++word;
    }
    const char* word_end = word;
    while (word_end < end && !is_blank(*word_end)) {
        ++word_end;
    }
    size_t length = static_cast<size_t>(word_end - word);
    // An empty word matches nothing, and name must be the whole word.
    return length > 0 && strlen(name) == length && memcmp(word, name, length) == 0 ? 1 : 0;
}

int proc_find_by_name(const char* name) {
    if (name == nullptr || *name == '\0') {
        LOG_MSG(LVL_ERROR, "proc_name is empty");
        return -1;
    }
    scoped_dir proc(opendir("/proc"));
    if (!proc) {
        LOG_MSG(LVL_ERROR, "can't open /proc");
        return -1;
    }
    const int self = static_cast<int>(getpid());
    while (struct dirent* entry = readdir(proc.get())) {
        int pid = pid_of_proc_entry(entry->d_name);
        if (pid == 0 || pid == self) {
            continue;
        }
        char path[512];
        snprintf(path, sizeof(path), "/proc/%d/cmdline", pid);
        // A process that ended during the scan has no files left: skipped.
        char cmdline[CMDLINE_BUFFER_SIZE + 1];
        int got = read_file_head(path, cmdline, sizeof(cmdline));
        if (got <= 0) {
            continue;
        }
        if (cmdline_first_word_is(cmdline, got, name)) {
            return pid;
        }
    }
    return -1;
}

int parse_pid_text(const char* text, int size, int* out) {
    int at = 0;
    while (at < size && is_blank(text[at])) {
        ++at;
    }
    // Nothing but white space before the end: nothing could be read. Any
    // other byte, a NUL included, is read, and when it does not begin a
    // number out stays as it was.
    if (at == size) {
        return 0;
    }
    scan_int(text + at, out);
    return 1;
}

int get_main_pid_from_file(const char* path, int* out) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_path is empty");
        return 0;
    }
    if (!is_file_existed(path)) {
        LOG_MSG(LVL_WARNING, "failed to find file: %s", path);
        return 0;
    }
    char text[HEAD_BUFFER_SIZE];
    int got = read_file_head(path, text, sizeof(text));
    if (got == HEAD_OPEN_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    if (got == HEAD_READ_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    return parse_pid_text(text, got, out);
}

int32_t get_modify_time_of_file(const char* path) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_name is empty");
        return 0;
    }
    if (!is_file_existed(path)) {
        LOG_MSG(LVL_WARNING, "failed to find file: %s", path);
        return 0;
    }
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        LOG_MSG(LVL_ERROR, "failed to get file info: %s", path);
        return 0;
    }
    // The low 32 bits; seconds_since_file_time puts the time back together.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(st.st_ctime)));
}

long long seconds_since_file_time(int32_t file_time, long long now) {
    if (file_time == 0) {
        return now;
    }
    // The file time is taken as the one of its 2^32-second family nearest to
    // now: the plain difference for any time of the board's life, and still
    // right once the 32-bit time has wrapped after January 2038.
    uint32_t difference =
        static_cast<uint32_t>(static_cast<uint64_t>(now)) - static_cast<uint32_t>(file_time);
    return static_cast<long long>(static_cast<int32_t>(difference));
}
