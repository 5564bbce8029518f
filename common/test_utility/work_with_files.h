// Device list, mount table and mount; the work list reader and the shell
// steps; the CRC-16; the readers of settings, /proc and pid files; the file copy.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------------------
// File copy

// Copies source to destination byte for byte (the destination is created with
// mode 0644 or emptied first). 1 when the whole source was copied.
int copy_one_file(const char* source, const char* destination);

// ---------------------------------------------------------------------------
// CRC-16


// ---------------------------------------------------------------------------
// USB storage: device list, mount table, mount


// ---------------------------------------------------------------------------
// Work list file


// ---------------------------------------------------------------------------
// Shell steps


// ---------------------------------------------------------------------------
// Service settings, process and file information readers

// The service settings file: its first item is the service mode, a signed
// decimal number after optional white space; -1 counts as no value.
// 1 with the value in out, else 0 (out unchanged).
int get_service_settings_from_file(const char* path, int* out);
// The same on the file's first bytes (text ends at its first NUL).
int parse_service_settings_text(const char* text, int* out);

// Copies into out the last line of the text file that contains word (newline
// included, cut to out_size - 1 characters). Lines are read in pieces of at
// most 511 characters. A matching piece longer than out_size stops the search
// with a log line; the result is then 1 only when an earlier line was found.
// out is written only when the result is 1.
int get_line_from_file(const char* path, const char* word, char* out, int out_size);

// The first number of a line: a signed number at its start, else the first
// run of digits after the leading non-digits. A number 0 counts as none.
int get_number_from_line(const char* line, int* out);

// The resident memory in kB, from the "VmRSS:" line of a /proc/<pid>/status.
int get_memory_from_status_file(const char* path, int* out);

// The pid of a running process whose first command-line word is name, or -1.
// The calling process itself is never returned.
int proc_find_by_name(const char* name);
// 1 when the first word of the first argument of a /proc/<pid>/cmdline
// (size bytes, arguments ended by NUL) equals name.
int cmdline_first_word_is(const char* cmdline, int size, const char* name);

// Reads the decimal number at the start of a pid file into out. 0 when the
// file is missing, unreadable, or holds nothing but white space; 1 otherwise,
// leaving out unchanged when the file does not start with a number.
int get_main_pid_from_file(const char* path, int* out);
// The same on the file's first size bytes (a NUL follows them in text).
int parse_pid_text(const char* text, int size, int* out);

// The file's status-change time in seconds since the epoch, kept in 32 bits
// (the low 32 bits of the time), or 0 when it cannot be had.
int32_t get_modify_time_of_file(const char* path);
// Seconds from a time given by get_modify_time_of_file to now, in 64 bits;
// right across the year 2038, when the 32-bit time wraps. An unknown time (0)
// counts as the epoch.
long long seconds_since_file_time(int32_t file_time, long long now);
