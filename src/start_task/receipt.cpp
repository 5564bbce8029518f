#include "receipt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/scoped_handle.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/text_escape.h"
#include "../data_ut.h"

namespace {

int g_capturing;
int g_version;
const char* (*g_signature_source)();

// The log part: whole lines, one after the other. Once a line did not fit,
// every later one is counted instead, so the part never has a gap.
char g_log[RECEIPT_LOG_SIZE];
int g_log_used;
int g_log_left_out;

int g_row_outcome[WORK_LIST_ROWS];
int g_row_status[WORK_LIST_ROWS];

// Each script row's last output; kept here, outside the temporary folder.
char g_row_output[WORK_LIST_ROWS][SCRIPT_OUTPUT_SIZE];
int g_row_output_length[WORK_LIST_ROWS];

int g_stick_known;
dev_t g_stick_device;

int is_start_up_state(int state) {
    return state == STATE_USB_SEARCH || state == STATE_TASK_SEARCH || state == STATE_TASK_EXECUTE;
}

int write_all(int fd, const char* data, int size) {
    while (size > 0) {
        ssize_t n = write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return 0;
        }
        data += n;
        size -= static_cast<int>(n);
    }
    return 1;
}

// Writes one formatted line; a line cut by its buffer is still written, cut.
__attribute__((format(printf, 2, 3))) int write_line(int fd, const char* format, ...) {
    char line[1536];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0) {
        return 0;
    }
    if (n >= static_cast<int>(sizeof(line))) {
        n = static_cast<int>(sizeof(line)) - 1;
        line[n - 1] = '\n';
    }
    return write_all(fd, line, n);
}

// One line of a script's output, every control byte (a NUL included) and
// "\\" shown escaped.
int write_output_line(int fd, const char* bytes, int length) {
    char shown[4 * SCRIPT_OUTPUT_SIZE + 8];
    int used = 0;
    char piece[SCRIPT_OUTPUT_SIZE + 1];
    for (int at = 0; at < length;) {
        if (bytes[at] == '\0') {
            used += snprintf(shown + used, sizeof(shown) - static_cast<size_t>(used), "\\x00");
            ++at;
            continue;
        }
        int run = 0;
        while (at + run < length && bytes[at + run] != '\0') {
            piece[run] = bytes[at + run];
            ++run;
        }
        piece[run] = '\0';
        escape_text(piece, shown + used, static_cast<int>(sizeof(shown)) - used);
        used += static_cast<int>(strlen(shown + used));
        at += run;
    }
    return write_all(fd, "    | ", 6) && write_all(fd, shown, used) && write_all(fd, "\n", 1);
}

// Below a script's row: its last output's last lines.
int write_output(int fd, const char* bytes, int length) {
    int at = receipt_output_start(bytes, length, RECEIPT_OUTPUT_LINES);
    int end = length > 0 && bytes[length - 1] == '\n' ? length - 1 : length;
    while (at < end) {
        const char* line_end =
            static_cast<const char*>(memchr(bytes + at, '\n', static_cast<size_t>(end - at)));
        int stop = line_end != nullptr ? static_cast<int>(line_end - bytes) : end;
        if (!write_output_line(fd, bytes + at, stop - at)) {
            return 0;
        }
        at = stop + 1;
    }
    return 1;
}

// The names of the receipt and its temporary at the top of the stick.
int stick_paths(char* path, char* temp, int size) {
    return get_full_file_name(dev_path, RECEIPT_FILE_NAME, path, size) < size &&
           get_full_file_name(dev_path, RECEIPT_TEMP_NAME, temp, size) < size;
}

// The stick's folder name may carry its label: the log call shows it
// escaped.
void log_failure(const char* path, const char* reason) {
    LOG_MSG(LVL_ERROR, "failed to write receipt %s: %s", path, reason);
}

// Makes the rename durable. On vfat a file's size and first cluster live in
// its folder entry, and a rename makes a new entry that the file's own sync
// fills in: the file is synced again under its new name, then the folder.
void sync_after_rename(int file, const char* folder) {
    scoped_fd dir(open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fsync(file) != 0 || !dir || fsync(dir.get()) != 0) {
        sync();
    }
}

} // namespace

void receipt_begin(int version) {
    g_version = version;
    g_log_used = 0;
    g_log_left_out = 0;
    memset(g_row_outcome, 0, sizeof(g_row_outcome));
    memset(g_row_status, 0, sizeof(g_row_status));
    memset(g_row_output_length, 0, sizeof(g_row_output_length));
    g_stick_known = 0;
    g_capturing = 1;
    log_set_tap(receipt_capture_line);
}

void receipt_capture_line(unsigned level, const char* file, const char* function, int line,
                          const char* text) {
    if (!g_capturing || !is_start_up_state(cur_state)) {
        return;
    }
    if (g_log_left_out > 0) {
        ++g_log_left_out;
        return;
    }
    // The text comes escaped, as the log line shows it. A message's own
    // line end is left out: the line ends anyway.
    char shown[LOG_TEXT_SIZE];
    snprintf(shown, sizeof(shown), "%s", text);
    size_t length = strlen(shown);
    while (length > 0 && shown[length - 1] == '\n') {
        shown[--length] = '\0';
    }
    char formatted[LOG_LINE_SIZE];
    int n = log_format_line(formatted, sizeof(formatted), level, file, function, line, shown);
    if (n < 0 || n >= static_cast<int>(sizeof(formatted)) ||
        n > static_cast<int>(sizeof(g_log)) - g_log_used) {
        ++g_log_left_out;
        return;
    }
    memcpy(g_log + g_log_used, formatted, static_cast<size_t>(n));
    g_log_used += n;
}

void receipt_set_signature_source(const char* (*source)()) {
    g_signature_source = source;
}

void receipt_walk_begins() {
    struct stat st;
    g_stick_known = stat(dev_path, &st) == 0;
    g_stick_device = g_stick_known ? st.st_dev : 0;
}

void receipt_row_ran(int index, int outcome, int wait_status) {
    if (index < 0 || index >= WORK_LIST_ROWS) {
        return;
    }
    g_row_outcome[index] = outcome;
    g_row_status[index] = wait_status;
}

void receipt_row_output(int index, const char* bytes, int length) {
    if (index < 0 || index >= WORK_LIST_ROWS) {
        return;
    }
    if (length > SCRIPT_OUTPUT_SIZE) {
        bytes += length - SCRIPT_OUTPUT_SIZE;
        length = SCRIPT_OUTPUT_SIZE;
    }
    memcpy(g_row_output[index], bytes, static_cast<size_t>(length > 0 ? length : 0));
    g_row_output_length[index] = length > 0 ? length : 0;
}

int receipt_output_start(const char* bytes, int length, int max_lines) {
    int end = length;
    if (end > 0 && bytes[end - 1] == '\n') {
        --end;
    }
    int lines = 1;
    for (int i = end - 1; i >= 0; --i) {
        if (bytes[i] == '\n') {
            if (lines == max_lines) {
                return i + 1;
            }
            ++lines;
        }
    }
    return 0;
}

void receipt_outcome_text(int outcome, int wait_status, char* out, int size) {
    const size_t n = static_cast<size_t>(size);
    switch (outcome) {
    case RECEIPT_ROW_PASSED_OVER:
        snprintf(out, n, "passed over");
        break;
    case RECEIPT_ROW_FAILED:
        snprintf(out, n, "failed");
        break;
    case RECEIPT_ROW_DONE:
        snprintf(out, n, "done");
        break;
    case RECEIPT_ROW_ENDED:
        if (wait_status == -1) {
            snprintf(out, n, "could not be started");
        } else if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 126) {
            // The shell's own statuses for a script it could not start.
            snprintf(out, n, "not executable (exit status 126)");
        } else if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 127) {
            snprintf(out, n, "not found (exit status 127)");
        } else if (WIFEXITED(wait_status)) {
            snprintf(out, n, "exit status %d", WEXITSTATUS(wait_status));
        } else if (WIFSIGNALED(wait_status)) {
            snprintf(out, n, "ended by signal %d", WTERMSIG(wait_status));
        } else {
            snprintf(out, n, "wait status %d", wait_status);
        }
        break;
    default:
        snprintf(out, n, "not run");
        break;
    }
}

int receipt_emit(int fd, int taken_in) {
    char host[256];
    if (gethostname(host, sizeof(host)) != 0) {
        snprintf(host, sizeof(host), "unknown");
    }
    host[sizeof(host) - 1] = '\0';
    char shown_host[300];
    escape_text(host, shown_host, sizeof(shown_host));
    char stamp[64];
    getLTime(stamp, sizeof(stamp));
    const char* note = g_signature_source != nullptr ? g_signature_source() : nullptr;
    // The note escaped its pieces from the stick once already: only what
    // control bytes are left is escaped here.
    char shown_note[LOG_TEXT_SIZE];
    escape_control_bytes(note != nullptr ? note : RECEIPT_NOT_CHECKED, shown_note,
                         sizeof(shown_note));

    if (!write_line(fd, "usb_tools receipt\n") || !write_line(fd, "board: %s\n", shown_host) ||
        !write_line(fd, "version: %d\n", g_version) || !write_line(fd, "time: %s\n", stamp) ||
        !write_line(fd, "package: %s\n", taken_in ? "taken in" : "refused") ||
        !write_line(fd, "signature: %s\n", shown_note)) {
        return 0;
    }
    int rows = taken_in ? work_list.count : 0;
    if (rows > WORK_LIST_ROWS) {
        rows = WORK_LIST_ROWS;
    }
    for (int i = 0; i < rows; ++i) {
        const task_row& row = work_list.rows[i];
        char code[4 * TASK_ROW_STATE_SIZE];
        char name[4 * TASK_ROW_NAME_SIZE];
        char outcome[64];
        escape_text(row.state, code, sizeof(code));
        escape_text(row.name, name, sizeof(name));
        receipt_outcome_text(g_row_outcome[i], g_row_status[i], outcome, sizeof(outcome));
        if (!write_line(fd, "row %d: <%s> %s: %s\n", i + 1, code, name, outcome) ||
            !write_output(fd, g_row_output[i], g_row_output_length[i])) {
            return 0;
        }
    }
    if (!write_line(fd, "log:\n") || !write_all(fd, g_log, g_log_used)) {
        return 0;
    }
    if (g_log_left_out > 0 &&
        !write_line(fd, "log lines left out: %d (the receipt's log part is full)\n",
                    g_log_left_out)) {
        return 0;
    }
    return 1;
}

int receipt_write(int taken_in) {
    g_capturing = 0;
    char path[256];
    char temp[256];
    if (!stick_paths(path, temp, sizeof(path))) {
        log_failure(dev_path, "the name is too long");
        return 0;
    }
    if (taken_in && g_stick_known) {
        struct stat st;
        if (stat(dev_path, &st) != 0 || st.st_dev != g_stick_device) {
            log_failure(path, "the stick is no longer there");
            return 0;
        }
    }
    // A temporary left by a stick pulled during an earlier receipt; whatever
    // stands under the name (a link included) is never opened.
    if (unlink(temp) != 0 && errno != ENOENT) {
        log_failure(path, strerror(errno));
        return 0;
    }
    scoped_fd fd(open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        log_failure(path, strerror(errno));
        return 0;
    }
    if (!receipt_emit(fd.get(), taken_in) || fsync(fd.get()) != 0) {
        int saved = errno;
        fd.close();
        unlink(temp);
        log_failure(path, strerror(saved));
        return 0;
    }
    // Replaces an earlier receipt; a link under the name is replaced, not
    // followed.
    if (rename(temp, path) != 0) {
        int saved = errno;
        fd.close();
        unlink(temp);
        log_failure(path, strerror(saved));
        return 0;
    }
    sync_after_rename(fd.get(), dev_path);
    return 1;
}
