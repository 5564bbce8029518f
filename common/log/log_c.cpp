#include "log_c.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "../test_utility/scoped_handle.h"
#include "../test_utility/text_escape.h"
#include "../test_utility/text_scan.h"

char message_buf[512];
int gSettingsOn;
LSett gLSett;
char cur_log_name[256];
int g_measure_size_step;

namespace {

// The first and last lines of the opening and closing blocks: "==* common *",
// 54 equals signs and a bracket, 67 characters.
#define LOG_BLOCK_RULE "==* common *======================================================"
#define LOG_BLOCK_SETTINGS "common level=%d, rotate=%d, max_size=%d\n"

// The module's own complaints go to standard output, flushed at once so that
// nothing waits in a buffer when the daemon is ended by a signal.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// Writes the name of file `number` of the series, dated today.
void format_log_name(int number) {
    char date[32];
    getDate(date, sizeof(date));
    snprintf(cur_log_name, sizeof(cur_log_name), "%s%s-%s-%d.log", LOG_FOLDER, LOG_SERIES_NAME,
             date, number);
}

// The number after `number` in the series. The series counts up to
// LOG_NUMBER_LIMIT - 1 and then starts again at 1 (a file numbered at the
// limit could not grow, and its number would read as a foreign entry's).
int next_log_number(int number) {
    long long next = static_cast<long long>(number) + 1;
    return next >= LOG_NUMBER_LIMIT || next < 1 ? 1 : static_cast<int>(next);
}

int is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Opens a regular file without waiting on a FIFO; anything else under the
// name (a folder, a FIFO, a device) is foreign and is neither read nor
// written. The file's size goes to size_out when asked for. -1 when
// refused; else a descriptor to close.
int open_regular_file(const char* path, int flags, long long* size_out) {
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, static_cast<mode_t>(0666));
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    if (size_out != nullptr) {
        *size_out = static_cast<long long>(st.st_size);
    }
    return fd;
}

// Opens a log file, or the settings file to write its defaults: a regular
// file, and never through a symbolic link.
int open_regular(const char* path, int flags, long long* size_out = nullptr) {
    return open_regular_file(path, flags | O_NOFOLLOW, size_out);
}

// Opens the settings file for reading: a symbolic link is followed, as
// reading through it harms nothing, but only to a regular file; a link whose
// target is missing, a FIFO, a folder give -1.
int open_settings_for_reading(const char* path) {
    return open_regular_file(path, O_RDONLY, nullptr);
}

// Something other than a regular file is there under the name: a folder, a
// symbolic link, a FIFO, a device.
int is_foreign_entry(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

int is_entry_there(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

// Appends text to an open file whole or not at all: after a short write (a
// full disk) the file is cut back to `size`, where it ended before, so that
// the next text does not glue onto a torn one.
int append_whole(int fd, long long size, const char* text, int length) {
    ssize_t written = write(fd, text, static_cast<size_t>(length));
    if (written == length) {
        return 1;
    }
    if (written > 0) {
        // When even the cut fails, nothing more can be done here.
        int cut = ftruncate(fd, static_cast<off_t>(size));
        (void)cut;
    }
    return 0;
}

} // namespace

int getLTime(char* buf, int size) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t seconds = tv.tv_sec;
    struct tm lt;
    localtime_r(&seconds, &lt);
    return snprintf(buf, static_cast<size_t>(size), "%02d.%02d.%0d %02d:%02d:%02d %03ld",
                    lt.tm_mday, lt.tm_mon + 1, lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec,
                    static_cast<long>(tv.tv_usec / 1000));
}

int getDate(char* buf, int size) {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    return snprintf(buf, static_cast<size_t>(size), "%02d-%02d-%02d", lt.tm_mday, lt.tm_mon + 1,
                    lt.tm_year + 1900);
}

char getMsgLevel(unsigned level) {
    switch (level) {
    case LVL_ERROR:
        return 'E';
    case LVL_WARNING:
        return 'W';
    case LVL_INFO:
        return 'I';
    case LVL_DEBUG:
        return 'D';
    default:
        return '?';
    }
}

void normalize_line(const char* text, char* dst, int size) {
    if (size < 1) {
        return;
    }
    int width = size - 1;
    snprintf(dst, static_cast<size_t>(size), "%-*.*s", width, width, text);
}

int get_f_size(const char* path, long long* size_out) {
    long long size = 0;
    scoped_fd fd(open_regular(path, O_RDONLY, &size));
    if (!fd) {
        return 0;
    }
    *size_out = size;
    return 1;
}

void set_measure_size_step(long long size) {
    long long step = (static_cast<long long>(gLSett.max_size) - size) / LOG_LINE_ESTIMATE;
    if (step < INT_MIN) {
        step = INT_MIN;
    }
    g_measure_size_step = static_cast<int>(step);
}

int need_new_one() {
    long long size = 0;
    if (!get_f_size(cur_log_name, &size)) {
        size = 0;
    }
    set_measure_size_step(size);
    // Something other than a file under the current name takes no lines: the
    // series goes on in the next file.
    return size > gLSett.max_size || is_foreign_entry(cur_log_name);
}

// ---------------------------------------------------------------------------
// Settings file

void LSett_Init() {
    gLSett.level = LSETT_DEFAULT_LEVEL;
    gLSett.rotate = LSETT_DEFAULT_ROTATE;
    gLSett.max_size = LSETT_DEFAULT_SIZE;
}

int is_f_existed(const char* path) {
    // Non-blocking, so that a FIFO under the name cannot stall the daemon.
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return fd ? 1 : 0;
}

int create_default_settings_file(const char* path) {
    scoped_fd fd(open_regular(path, O_WRONLY | O_CREAT | O_TRUNC));
    if (!fd) {
        return 0;
    }
    char text[128];
    int length = snprintf(text, sizeof(text), "level = %d\nrotate = %d\nmax_size = %dbyte",
                          LSETT_DEFAULT_LEVEL, LSETT_DEFAULT_ROTATE, LSETT_DEFAULT_SIZE);
    int written = append_whole(fd.get(), 0, text, length);
    return fd.close() == 0 && written ? 1 : 0;
}

int InitSettings() {
    // Only a missing file gets the defaults written: whatever is there under
    // the name (a file that cannot be read, a symbolic link, even one whose
    // target is missing, a FIFO) is left as it is, and read below if it
    // leads to a regular file, or else reported.
    struct stat st;
    if (lstat(LOG_SETTINGS_FILE, &st) != 0 && !create_default_settings_file(LOG_SETTINGS_FILE)) {
        say("can't create default .ini file: %s\n", LOG_SETTINGS_FILE);
        return 0;
    }
    if (!read_log_settings(LOG_SETTINGS_FILE)) {
        say("can't get log settings from file: %s\n", LOG_SETTINGS_FILE);
        return 0;
    }
    return 1;
}

int read_log_settings(const char* path) {
    int fd = open_settings_for_reading(path);
    if (fd < 0) {
        return 0;
    }
    scoped_file f(fdopen(fd, "r"));
    if (!f) {
        close(fd);
        return 0;
    }
    LSett_Init();
    char line[512];
    while (fgets(line, sizeof(line), f.get()) != nullptr) {
        ParsingOfLine(line);
    }
    return ferror(f.get()) ? 0 : 1;
}

void to_lower_case_space_off(char* text) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        char c = *in;
        if (c == ' ' || c == '\n') {
            continue;
        }
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        *out++ = c;
    }
    *out = '\0';
}

namespace {

// A setting's number: a number at the start of the line, or else the first
// run of digits after some other text. 0 when neither is there.
int read_setting_number(const char* line, int* value) {
    return scan_int(line, value) || scan_digits_after_text(line, value);
}

} // namespace

void ParsingOfLine(const char* line) {
    char key[256];
    snprintf(key, sizeof(key), "%s", line);
    to_lower_case_space_off(key);

    if (strstr(key, "level") != nullptr) {
        read_setting_number(line, &gLSett.level);
        if (gLSett.level < 0 || gLSett.level > LVL_DEBUG) {
            gLSett.level = LSETT_DEFAULT_LEVEL;
            return;
        }
    }
    if (strstr(key, "rotate") != nullptr) {
        read_setting_number(line, &gLSett.rotate);
        if (gLSett.rotate < LSETT_MIN_ROTATE) {
            gLSett.rotate = LSETT_DEFAULT_ROTATE;
            return;
        }
        if (gLSett.rotate > LSETT_MAX_ROTATE) {
            gLSett.rotate = LSETT_MAX_ROTATE;
            return;
        }
    }
    if (strstr(key, "max_size") != nullptr) {
        int number = 0;
        char unit[256];
        parsing_max_size_line(line, &number, unit, sizeof(unit));
        gLSett.max_size = convert_size_to_byte(number, unit);
    }
}

void parsing_max_size_line(const char* line, int* number_out, char* unit_out, int unit_size) {
    int number = 0;
    char unit[32] = "";
    const char* after = nullptr;
    if (scan_digits_after_text(line, &number, &after) && number != 0) {
        snprintf(unit, sizeof(unit), "%s", after);
        to_lower_case_space_off(unit);
    }
    *number_out = number;
    if (unit_size > 0) {
        snprintf(unit_out, static_cast<size_t>(unit_size), "%s", unit);
    }
}

int convert_size_to_byte(int number, const char* unit) {
    long long size = number;
    if (strcmp(unit, "mb") == 0) {
        size = number > 4 ? static_cast<long long>(LSETT_MAX_SIZE)
                          : static_cast<long long>(number) * 1048576;
    } else if (strcmp(unit, "kb") == 0) {
        size = static_cast<long long>(number) * 1024;
    }
    if (size <= 0 || size < LSETT_MIN_SIZE) {
        return LSETT_MIN_SIZE;
    }
    if (size > LSETT_MAX_SIZE) {
        return LSETT_MAX_SIZE;
    }
    return static_cast<int>(size);
}

// ---------------------------------------------------------------------------
// Log files

int create_logs_folder(const char* path) {
    scoped_dir d(opendir(path));
    if (d) {
        return 1;
    }
    return mkdir(path, 0700) == 0 ? 1 : 0;
}

void build_new_log_name(int number) {
    format_log_name(number);
}

void set_new_log_name() {
    format_log_name(next_log_number(get_previous_log_number(cur_log_name)));
}

int get_previous_log_number(const char* name) {
    int len = static_cast<int>(strlen(name));
    if (len < 5) {
        return 0;
    }
    int last = len - 5;
    if (!is_digit(name[last])) {
        return 0;
    }
    int first = last;
    while (first > 0 && is_digit(name[first - 1])) {
        --first;
    }
    long long number = 0;
    for (int i = first; i <= last; ++i) {
        number = number * 10 + (name[i] - '0');
        // A number that the series cannot count past is not one of its
        // files: the entry is foreign, like a name without a number.
        if (number >= LOG_NUMBER_LIMIT) {
            return 0;
        }
    }
    return static_cast<int>(number);
}

int get_logs_count(const char* folder, int* count_out) {
    *count_out = 0;
    scoped_dir d(opendir(folder));
    if (!d) {
        return 0;
    }
    int count = 0;
    while (struct dirent* entry = readdir(d.get())) {
        if (strstr(entry->d_name, ".log") != nullptr) {
            ++count;
        }
    }
    *count_out = count;
    return 1;
}

int get_previous_log_name(const char* folder, char* name_out, int name_size, int newest) {
    scoped_dir d(opendir(folder));
    if (!d) {
        snprintf(name_out, static_cast<size_t>(name_size), "%s", LOG_NO_PREVIOUS);
        say("can't open folder %s, so can't find previous name\n", folder);
        return 1;
    }
    char result[256] = LOG_NO_PREVIOUS;
    int best = newest ? 0 : INT_MAX;
    while (struct dirent* entry = readdir(d.get())) {
        if (strstr(entry->d_name, ".log") == nullptr) {
            continue;
        }
        int number = get_previous_log_number(entry->d_name);
        if ((newest && number > best) || (!newest && number < best)) {
            best = number;
            snprintf(result, sizeof(result), "%s", entry->d_name);
        }
    }
    snprintf(name_out, static_cast<size_t>(name_size), "%s", result);
    return 1;
}

int set_cur_log_name() {
    int count = 0;
    if (!get_logs_count(LOG_FOLDER, &count)) {
        return 0;
    }
    if (count > 0) {
        char newest[256];
        get_previous_log_name(LOG_FOLDER, newest, sizeof(newest), 1);
        // Only entries without a number (foreign ones such as notes.log):
        // nothing to continue, a new series begins.
        if (strcmp(newest, LOG_NO_PREVIOUS) != 0) {
            // The newest name too long for a path, or anything but a file
            // under it (a folder, a symbolic link, a FIFO), takes no lines:
            // the series goes on in a new file after it.
            if (get_full_f_name(LOG_FOLDER, newest, cur_log_name, sizeof(cur_log_name)) >=
                    static_cast<int>(sizeof(cur_log_name)) ||
                is_foreign_entry(cur_log_name)) {
                build_new_log_name(next_log_number(get_previous_log_number(newest)));
            }
            return 1;
        }
    } else if (!create_logs_folder(LOG_FOLDER)) {
        return 0;
    }
    build_new_log_name(1);
    return 1;
}

void write_header(char* buf, int size, const char* previous) {
    char middle[300];
    if (strcmp(previous, LOG_NO_PREVIOUS) == 0) {
        snprintf(middle, sizeof(middle), "%s", LOG_NO_PREVIOUS);
    } else {
        snprintf(middle, sizeof(middle), "Previous log file is <%s>", previous);
    }
    snprintf(buf, static_cast<size_t>(size),
             LOG_BLOCK_RULE "[\n" LOG_BLOCK_SETTINGS "%s\n" LOG_BLOCK_RULE "]\n", gLSett.level,
             gLSett.rotate, gLSett.max_size, middle);
}

namespace {

// How many names of the series may be tried for a new file: one more than
// there are log entries, each of which can hold at most one of them.
int name_tries() {
    int count = 0;
    get_logs_count(LOG_FOLDER, &count);
    return count + 1;
}

// Moves cur_log_name on past the names of entries that are there already.
int skip_taken_log_names() {
    for (int tries = name_tries(); tries > 0; --tries) {
        if (!is_entry_there(cur_log_name)) {
            return 1;
        }
        set_new_log_name();
    }
    return 0;
}

// Makes the file named by cur_log_name with its opening block naming
// `previous`. A log file is never emptied: the file is made only where no
// entry of its name is; on a clash the series moves on to the next free name.
int create_log_file_after(const char* previous) {
    char block[512];
    write_header(block, sizeof(block), previous);
    scoped_fd fd;
    for (int tries = name_tries(); !fd; --tries) {
        fd = scoped_fd(open_regular(cur_log_name, O_WRONLY | O_CREAT | O_EXCL));
        if (!fd && (errno != EEXIST || tries <= 1)) {
            return 0;
        }
        if (!fd) {
            set_new_log_name();
        }
    }
    int written = append_whole(fd.get(), 0, block, static_cast<int>(strlen(block)));
    if (fd.close() != 0 || !written) {
        return 0;
    }
    set_measure_size_step(0);
    return 1;
}

} // namespace

int create_new_log_file() {
    char previous[256];
    get_previous_log_name(LOG_FOLDER, previous, sizeof(previous), 1);
    return create_log_file_after(previous);
}

int write_tail(const char* path) {
    char block[512];
    int length = snprintf(block, sizeof(block),
                          LOG_BLOCK_RULE "[\n" LOG_BLOCK_SETTINGS
                                         "File has reached max size. Log is closing.\n"
                                         "Next log file is <%s>\n" LOG_BLOCK_RULE "]\n",
                          gLSett.level, gLSett.rotate, gLSett.max_size, cur_log_name);
    long long size = 0;
    scoped_fd fd(open_regular(path, O_WRONLY | O_APPEND | O_CREAT, &size));
    if (!fd) {
        return 0;
    }
    int written = append_whole(fd.get(), size, block, length);
    return fd.close() == 0 && written ? 1 : 0;
}

int need_rotate() {
    int count = 0;
    get_logs_count(LOG_FOLDER, &count);
    return count > gLSett.rotate ? 1 : 0;
}

namespace {

// The order in which log entries are deleted: by number, and by name among
// entries of the same number. -1, 0 or 1 like strcmp.
int compare_age(int number, const char* name, int other_number, const char* other_name) {
    if (number != other_number) {
        return number < other_number ? -1 : 1;
    }
    return strcmp(name, other_name);
}

// The oldest log entry of the folder that comes after the entry (after_number,
// after_name) in the order of deletion; after_name null: the oldest of all.
// 0 when there is none or the folder cannot be opened.
int find_oldest_after(const char* folder, int after_number, const char* after_name, char* name_out,
                      int name_size) {
    scoped_dir d(opendir(folder));
    if (!d) {
        return 0;
    }
    int found = 0;
    int best_number = 0;
    char best[256] = "";
    while (struct dirent* entry = readdir(d.get())) {
        if (strstr(entry->d_name, ".log") == nullptr) {
            continue;
        }
        int number = get_previous_log_number(entry->d_name);
        if (after_name != nullptr &&
            compare_age(number, entry->d_name, after_number, after_name) <= 0) {
            continue;
        }
        if (!found || compare_age(number, entry->d_name, best_number, best) < 0) {
            found = 1;
            best_number = number;
            snprintf(best, sizeof(best), "%s", entry->d_name);
        }
    }
    if (found) {
        snprintf(name_out, static_cast<size_t>(name_size), "%s", best);
    }
    return found;
}

// Deletes the log entry `name` of "logs/": 1 when it is gone afterwards, 0
// when it stays, -1 for the current file, which is never deleted.
int delete_log_entry(const char* name) {
    char path[256];
    // A cut path would name some other file.
    if (get_full_f_name(LOG_FOLDER, name, path, sizeof(path)) >= static_cast<int>(sizeof(path))) {
        return 0;
    }
    if (strcmp(path, cur_log_name) == 0) {
        return -1;
    }
    return delete_file(path) && !is_entry_there(path) ? 1 : 0;
}

// Deletes the oldest log entries until no more than `rotate` are left
// besides those that cannot be deleted: an entry that stays (a folder that
// is not empty, a symbolic link, which is never followed and so counts as
// not there, a name too long for a path) is passed over and the next oldest
// goes; so is the current file. 0 when some entry could not be deleted.
int rotate_log_files() {
    int all_deleted = 1;
    int kept = 0;
    int passed = 0;
    int passed_number = 0;
    char passed_name[256] = "";
    for (;;) {
        int count = 0;
        get_logs_count(LOG_FOLDER, &count);
        if (count <= gLSett.rotate + kept) {
            return all_deleted;
        }
        char oldest[256];
        if (!find_oldest_after(LOG_FOLDER, passed_number, passed ? passed_name : nullptr, oldest,
                               sizeof(oldest))) {
            return 0;
        }
        int gone = delete_log_entry(oldest);
        if (gone != 1) {
            passed = 1;
            passed_number = get_previous_log_number(oldest);
            snprintf(passed_name, sizeof(passed_name), "%s", oldest);
        }
        if (gone == 0) {
            all_deleted = 0;
            ++kept;
        }
    }
}

} // namespace

int delete_oldest_log_file(const char* folder) {
    char oldest[256];
    if (!find_oldest_after(folder, 0, nullptr, oldest, sizeof(oldest))) {
        return 1;
    }
    return delete_log_entry(oldest) == 1 ? 1 : 0;
}

int get_full_f_name(const char* folder, const char* name, char* dst, int size) {
    return snprintf(dst, static_cast<size_t>(size), "%s%s", folder, name);
}

int delete_file(const char* path) {
    // A symbolic link is never followed, and so counts as not there.
    struct stat st;
    if (lstat(path, &st) != 0 || S_ISLNK(st.st_mode)) {
        return 1;
    }
    return remove(path) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The log call

namespace {

// Begins the next file of the series when the current one is full: closes the
// full file with a block naming the new one, opens the new one with a block
// naming the full one, and deletes the oldest files down to `rotate`.
int change_log_file() {
    char full_name[256];
    snprintf(full_name, sizeof(full_name), "%s", cur_log_name);
    set_new_log_name();
    // The closing block names the file that will be made: the next name
    // that no entry holds.
    if (!skip_taken_log_names()) {
        return 0;
    }
    // A full "file" that is something else (replaced from outside) gets no
    // closing block; the series goes on all the same.
    if (!write_tail(full_name) && !is_foreign_entry(full_name)) {
        return 0;
    }
    const char* previous = full_name + strlen(LOG_FOLDER);
    if (!create_log_file_after(previous)) {
        return 0;
    }
    // The new file is there: an old entry that cannot be deleted (a
    // symbolic link, a folder that is not empty) stays, and costs no line.
    rotate_log_files();
    return 1;
}

int first_use() {
    LSett_Init();
    g_measure_size_step = -1;
    if (!InitSettings()) {
        say("Failed to get settings\n");
        return 0;
    }
    gSettingsOn = 1;
    if (!create_logs_folder(LOG_FOLDER)) {
        return 0;
    }
    set_cur_log_name();
    scoped_fd current(open_regular(cur_log_name, O_RDONLY));
    if (!current && !create_new_log_file()) {
        return 0;
    }
    return 1;
}

} // namespace

namespace {

FILE* g_log_stream;
int g_log_stream_level;
char g_last_error[LOG_TEXT_SIZE];
log_tap_fn g_log_tap;

} // namespace

void log_to_stream(FILE* stream, int max_level) {
    g_log_stream = stream;
    g_log_stream_level = max_level;
    g_last_error[0] = '\0';
}

const char* log_last_error() {
    return g_last_error;
}

int log_escape_message(const char* message, char* out, int out_size) {
    char text[sizeof(message_buf)];
    snprintf(text, sizeof(text), "%s", message);
    // The message's own line end, where it has one, stays: it only ends the
    // line early.
    size_t length = strlen(text);
    size_t end = length;
    while (end > 0 && text[end - 1] == '\n') {
        --end;
    }
    text[end] = '\0';
    int whole = escape_text(text, out, out_size);
    size_t used = strlen(out);
    for (size_t i = end; whole && i < length; ++i) {
        if (used + 1 >= static_cast<size_t>(out_size)) {
            return 0;
        }
        out[used++] = '\n';
        out[used] = '\0';
    }
    return whole;
}

int log_msg(unsigned level, const char* file, const char* function, int line, int formatted) {
    (void)formatted;
    // Every message is shown with its control bytes and backslashes
    // escaped, here and nowhere else: callers pass text as it came. A line
    // that goes nowhere is not escaped.
    char shown[LOG_TEXT_SIZE];
    if (g_log_stream != nullptr) {
        const int to_stream =
            g_log_stream_level >= 0 && level <= static_cast<unsigned>(g_log_stream_level);
        if (level != LVL_ERROR && !to_stream) {
            return 0;
        }
        log_escape_message(message_buf, shown, sizeof(shown));
        if (level == LVL_ERROR) {
            snprintf(g_last_error, sizeof(g_last_error), "%s", shown);
        }
        if (to_stream) {
            fprintf(g_log_stream, "%c %s: %s\n", getMsgLevel(level), function, shown);
        }
        return 0;
    }
    const int tapped = g_log_tap != nullptr && level >= LVL_ERROR && level <= LVL_INFO;
    if (tapped) {
        log_escape_message(message_buf, shown, sizeof(shown));
        g_log_tap(level, file, function, line, shown);
    }
    if (!gSettingsOn && !first_use()) {
        return 1;
    }
    if (static_cast<unsigned>(gLSett.level) < level) {
        return 0;
    }
    if (g_measure_size_step < 1 && need_new_one() && !change_log_file()) {
        return 1;
    }

    long long size = 0;
    scoped_fd f(open_regular(cur_log_name, O_WRONLY | O_APPEND | O_CREAT, &size));
    if (!f) {
        // Perhaps something other than a file is under the current name:
        // the next line measures it, and if so goes into the next file.
        g_measure_size_step = 0;
        return 1;
    }
    if (!tapped) {
        log_escape_message(message_buf, shown, sizeof(shown));
    }
    char text[LOG_LINE_SIZE];
    int length = log_format_line(text, sizeof(text), level, file, function, line, shown);
    if (length >= static_cast<int>(sizeof(text))) {
        length = static_cast<int>(sizeof(text)) - 1;
    }
    int written = append_whole(f.get(), size, text, length);
    --g_measure_size_step;
    return f.close() == 0 && written ? 0 : 1;
}

void log_set_tap(log_tap_fn tap) {
    g_log_tap = tap;
}

int log_format_line(char* out, int size, unsigned level, const char* file, const char* function,
                    int line, const char* text) {
    char file_field[30];
    char function_field[30];
    char stamp[64];
    normalize_line(file, file_field, sizeof(file_field));
    normalize_line(function, function_field, sizeof(function_field));
    getLTime(stamp, sizeof(stamp));
    return snprintf(out, static_cast<size_t>(size), "%s [%c] %s: %s: [%05d] %.*s\n", stamp,
                    getMsgLevel(level), file_field, function_field, line, LOG_TEXT_SIZE - 1, text);
}
