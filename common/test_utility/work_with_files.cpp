#include "work_with_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"
#include "test_utility.h"

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
