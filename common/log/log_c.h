// The log call and its files: one line per call, appended to the current file
// of a numbered series "logs/common-DD-MM-YYYY-N.log" in the working
// directory, governed by the settings file "c_log.ini".
#pragma once

#include <stdio.h>

// Message levels; the settings' level is the highest one written.
enum {
    LVL_ERROR = 1,
    LVL_WARNING = 2,
    LVL_INFO = 3,
    LVL_DEBUG = 4,
};

// The one call-site form: formats into message_buf, bounded by its size, and
// passes the formatting result as the fifth argument of the same expression,
// so the text is complete before log_msg begins.
#define LOG_MSG(level, ...)                                                                        \
    log_msg((level), __FILE__, __func__, __LINE__,                                                 \
            snprintf(message_buf, sizeof(message_buf), __VA_ARGS__))

#define LOG_SETTINGS_FILE "c_log.ini"
#define LOG_FOLDER "logs/"
#define LOG_SERIES_NAME "common"
#define LOG_NO_PREVIOUS "No previous log"

// Settings defaults and ranges.
enum {
    LSETT_DEFAULT_LEVEL = 1,
    LSETT_DEFAULT_ROTATE = 5,
    LSETT_MIN_ROTATE = 1,
    LSETT_MAX_ROTATE = 15,
    LSETT_MIN_SIZE = 1024,
    LSETT_MAX_SIZE = 5 * 1048576,
    LSETT_DEFAULT_SIZE = 1024,
    // Lines are assumed to take this many bytes when the room left in the
    // current file is turned into the number of lines before the next measure.
    LOG_LINE_ESTIMATE = 150,
    // Numbers of the series run from 1 to one below this; a name whose number
    // is this or more is a foreign entry (its number could not grow).
    LOG_NUMBER_LIMIT = 2147483647,
    // A message as a line shows it: 511 bytes, each escaped to at most 4.
    LOG_TEXT_SIZE = 4 * 511 + 1,
    // One line: time stamp, level, the two 29-character fields, the line
    // number (up to 11 characters) and the message shown, 2153 at most.
    LOG_LINE_SIZE = LOG_TEXT_SIZE + 512,
};

struct LSett {
    int level;    // highest message level written, 0 to 4
    int rotate;   // number of log files kept in "logs/", 1 to 15
    int max_size; // size in bytes above which a new file is begun
};

extern char message_buf[512];
extern int gSettingsOn;
extern LSett gLSett;
extern char cur_log_name[256];
extern int g_measure_size_step;

// Writes one line. Returns 0 when written or filtered out by its level, 1 when
// the line was lost (settings, folder or file could not be made or opened).
// The message is shown as log_escape_message makes it: callers pass any text.
int log_msg(unsigned level, const char* file, const char* function, int line, int formatted);

// A message as the log lines, the stream and the tap show it: every byte
// below 0x20, 0x7F and the backslash written as "\xNN" (escape_text), but
// the message's own line end, its last newlines, left as they are. The
// message is read up to 511 bytes. Returns 1 when the whole of it fitted
// into out.
int log_escape_message(const char* message, char* out, int out_size);

// For host programs: sends every line of a level up to max_level to the
// stream as "<letter> <function>: <message>", and touches no settings file,
// log folder or log file. A null stream returns to the log files.
void log_to_stream(FILE* stream, int max_level);

// While lines go to a stream: the text of the last error line, whatever the
// stream's level ("" when there was none).
const char* log_last_error();

// Time stamp "DD.MM.YYYY hh:mm:ss mmm" of the current local time.
int getLTime(char* buf, int size);
// Date "DD-MM-YYYY" of today, as the log file names carry it.
int getDate(char* buf, int size);
char getMsgLevel(unsigned level);
// Left-justifies text in a field of exactly size - 1 characters.
void normalize_line(const char* text, char* dst, int size);
// Size of a log file into size_out; result 0, size_out untouched, when it
// cannot be opened or is no regular file.
int get_f_size(const char* path, long long* size_out);
void set_measure_size_step(long long size);
// Measures the current file; 1 when it has grown above max_size, or when
// something other than a regular file is under its name.
int need_new_one();

// Settings file.
void LSett_Init();
int InitSettings();
// Writes the default settings; never through a symbolic link.
int create_default_settings_file(const char* path);
// Loads the settings file, through a symbolic link too; 0 when it is
// missing, leads to no regular file (a link whose target is missing, a FIFO)
// or cannot be read.
int read_log_settings(const char* path);
void ParsingOfLine(const char* line);
void to_lower_case_space_off(char* text);
void parsing_max_size_line(const char* line, int* number_out, char* unit_out, int unit_size);
int convert_size_to_byte(int number, const char* unit);
int is_f_existed(const char* path);

// Log files.
int create_logs_folder(const char* path);
int set_cur_log_name();
void build_new_log_name(int number);
void set_new_log_name();
// The number of a log entry's name; 0 for a foreign entry (no number, or one
// of LOG_NUMBER_LIMIT or more).
int get_previous_log_number(const char* name);
int get_logs_count(const char* folder, int* count_out);
// Bare name of the newest (newest = 1) or oldest (0) log entry of the folder,
// or "No previous log".
int get_previous_log_name(const char* folder, char* name_out, int name_size, int newest);
void write_header(char* buf, int size, const char* previous);
// Makes the file named by cur_log_name with its opening block, only where no
// entry of that name is: on a clash cur_log_name moves on to the next free
// name of the series.
int create_new_log_file();
int write_tail(const char* path);
int need_rotate();
// Deletes the oldest log entry (lowest number, then name) unless it is the
// current file; 1 when it is gone.
int delete_oldest_log_file(const char* folder);
int get_full_f_name(const char* folder, const char* name, char* dst, int size);
// 1 when the entry is gone afterwards or was not there; a symbolic link is
// never followed and counts as not there.
int delete_file(const char* path);

// A tap on the log call: receives every line of levels 1 to 3 before the level
// filter, whatever the settings' level (the receipt on the USB stick). The
// text is message_buf as the caller formatted it, escaped as a log line shows
// it (log_escape_message). A null tap removes it.
typedef void (*log_tap_fn)(unsigned level, const char* file, const char* function, int line,
                           const char* text);
void log_set_tap(log_tap_fn tap);

// Formats one line as log_msg writes it into the log files (time stamp of
// now, level letter, file and function fields, line number, text, newline).
// Returns the formatting result, as snprintf does.
int log_format_line(char* out, int size, unsigned level, const char* file, const char* function,
                    int line, const char* text);
