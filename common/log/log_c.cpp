#include "log_c.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include "../test_utility/scoped_handle.h"
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

// Writes the name of file `number` of the series, dated today. The number is
// wider than an int so that even the successor of the largest one has a name.
void format_log_name(long long number) {
    char date[32];
    getDate(date, sizeof(date));
    snprintf(cur_log_name, sizeof(cur_log_name), "%s%s-%s-%lld.log", LOG_FOLDER, LOG_SERIES_NAME,
             date, number);
}

int is_digit(char c) {
    return c >= '0' && c <= '9';
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
    scoped_file f(fopen(path, "r"));
    if (!f) {
        return 0;
    }
    if (fseeko(f.get(), 0, SEEK_END) != 0) {
        return 0;
    }
    off_t end = ftello(f.get());
    if (end < 0) {
        return 0;
    }
    *size_out = static_cast<long long>(end);
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
    return size > gLSett.max_size;
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
    scoped_file f(fopen(path, "w"));
    if (!f) {
        return 0;
    }
    fprintf(f.get(), "level = %d\nrotate = %d\nmax_size = %dbyte", LSETT_DEFAULT_LEVEL,
            LSETT_DEFAULT_ROTATE, LSETT_DEFAULT_SIZE);
    return f.close() == 0 ? 1 : 0;
}

int InitSettings() {
    if (!is_f_existed(LOG_SETTINGS_FILE)) {
        // Only a missing file gets the defaults written: one that is there but
        // cannot be read is left as it is and reported below.
        struct stat st;
        if (stat(LOG_SETTINGS_FILE, &st) != 0 && !create_default_settings_file(LOG_SETTINGS_FILE)) {
            say("can't create default .ini file: %s\n", LOG_SETTINGS_FILE);
            return 0;
        }
    }
    if (!read_log_settings(LOG_SETTINGS_FILE)) {
        say("can't get log settings from file: %s\n", LOG_SETTINGS_FILE);
        return 0;
    }
    return 1;
}

int read_log_settings(const char* path) {
    scoped_file f(fopen(path, "r"));
    if (!f) {
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
    format_log_name(static_cast<long long>(get_previous_log_number(cur_log_name)) + 1);
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
        if (number > INT_MAX) {
            return INT_MAX;
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
        // Only entries without a number (foreign files such as notes.log), or
        // a name too long for a path: nothing to continue, a new series begins.
        if (strcmp(newest, LOG_NO_PREVIOUS) != 0 &&
            get_full_f_name(LOG_FOLDER, newest, cur_log_name, sizeof(cur_log_name)) <
                static_cast<int>(sizeof(cur_log_name))) {
            // A folder (or anything but a file) under the newest name takes
            // no lines: the series goes on in a new file after it.
            struct stat st;
            if (stat(cur_log_name, &st) == 0 && !S_ISREG(st.st_mode)) {
                set_new_log_name();
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

int create_new_log_file() {
    char previous[256];
    get_previous_log_name(LOG_FOLDER, previous, sizeof(previous), 1);
    char block[512];
    write_header(block, sizeof(block), previous);
    scoped_file f(fopen(cur_log_name, "w"));
    if (!f) {
        return 0;
    }
    fputs(block, f.get());
    if (f.close() != 0) {
        return 0;
    }
    set_measure_size_step(0);
    return 1;
}

int write_tail(const char* path) {
    char block[512];
    snprintf(block, sizeof(block),
             LOG_BLOCK_RULE "[\n" LOG_BLOCK_SETTINGS "File has reached max size. Log is closing.\n"
                            "Next log file is <%s>\n" LOG_BLOCK_RULE "]\n",
             gLSett.level, gLSett.rotate, gLSett.max_size, cur_log_name);
    scoped_file f(fopen(path, "a+"));
    if (!f) {
        return 0;
    }
    fputs(block, f.get());
    return f.close() == 0 ? 1 : 0;
}

int need_rotate() {
    int count = 0;
    get_logs_count(LOG_FOLDER, &count);
    return count > gLSett.rotate ? 1 : 0;
}

int delete_oldest_log_file(const char* folder) {
    char oldest[256];
    get_previous_log_name(folder, oldest, sizeof(oldest), 0);
    char path[256];
    // A cut path would name some other file.
    if (get_full_f_name(LOG_FOLDER, oldest, path, sizeof(path)) >= static_cast<int>(sizeof(path))) {
        return 0;
    }
    return delete_file(path);
}

int get_full_f_name(const char* folder, const char* name, char* dst, int size) {
    return snprintf(dst, static_cast<size_t>(size), "%s%s", folder, name);
}

int delete_file(const char* path) {
    if (!is_f_existed(path)) {
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
    if (!write_tail(full_name)) {
        return 0;
    }
    if (!create_new_log_file()) {
        return 0;
    }
    while (need_rotate()) {
        int before = 0;
        get_logs_count(LOG_FOLDER, &before);
        if (!delete_oldest_log_file(LOG_FOLDER)) {
            return 0;
        }
        // An oldest entry that cannot be removed (or seen) would keep the
        // count where it is for ever: give up until the next change.
        int after = 0;
        get_logs_count(LOG_FOLDER, &after);
        if (after >= before) {
            return 0;
        }
    }
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
    if (!is_f_existed(cur_log_name) && !create_new_log_file()) {
        return 0;
    }
    return 1;
}

} // namespace

namespace {

FILE* g_log_stream;
int g_log_stream_level;
char g_last_error[sizeof(message_buf)];
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

int log_msg(unsigned level, const char* file, const char* function, int line, int formatted) {
    (void)formatted;
    if (g_log_stream != nullptr) {
        if (level == LVL_ERROR) {
            snprintf(g_last_error, sizeof(g_last_error), "%s", message_buf);
        }
        if (g_log_stream_level >= 0 && level <= static_cast<unsigned>(g_log_stream_level)) {
            fprintf(g_log_stream, "%c %s: %s\n", getMsgLevel(level), function, message_buf);
        }
        return 0;
    }
    if (g_log_tap != nullptr && level >= LVL_ERROR && level <= LVL_INFO) {
        g_log_tap(level, file, function, line, message_buf);
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

    char file_field[30];
    char function_field[30];
    char stamp[64];
    normalize_line(file, file_field, sizeof(file_field));
    normalize_line(function, function_field, sizeof(function_field));
    getLTime(stamp, sizeof(stamp));

    scoped_file f(fopen(cur_log_name, "a+"));
    if (!f) {
        return 1;
    }
    fprintf(f.get(), "%s [%c] %s: %s: [%05d] %s\n", stamp, getMsgLevel(level), file_field,
            function_field, line, message_buf);
    --g_measure_size_step;
    return f.close() == 0 ? 0 : 1;
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
    return snprintf(out, static_cast<size_t>(size), "%s [%c] %s: %s: [%05d] %s\n", stamp,
                    getMsgLevel(level), file_field, function_field, line, text);
}
