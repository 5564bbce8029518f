// ut_pack's messages on standard error: "ut_pack: COMMAND: error: ..." and
// "ut_pack: COMMAND: warning: ...", and the escaping of every outside text
// that goes into a message or a result.
#pragma once

#include <stddef.h>
#include <stdio.h>

// The command the messages name ("ut_pack" before one is chosen).
extern const char* g_command;

__attribute__((format(printf, 1, 2))) void error(const char* format, ...);
__attribute__((format(printf, 1, 2))) void warning(const char* format, ...);

// The first error said in this run, without its "ut_pack: COMMAND: error: "
// ("" when none), as the reason of a verdict.
const char* first_error();

// 1 while a command writes its results as one JSON object: the results
// the shared steps print as text are left out.
extern int g_json_results;

// An outside text made fit to print: control bytes shown as \xNN, in one of
// a few rotating buffers (so that up to four may stand in one message).
const char* esc(const char* text);

// A line of the library with its control bytes shown as \xNN; its
// backslashes stay, as the library may have escaped the names in it.
void show_library_text(const char* text, char* out, size_t size);

// The library's last error line, as the reason of a failed step.
const char* library_reason();

// The library's errors go to standard error as they are; with
// show_library_lines (-v) its progress lines too, one write a line with
// their control bytes shown. Never into a settings file or a log folder in
// the user's folder.
void show_library_errors();
void show_library_lines();
