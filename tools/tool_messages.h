// ut_pack's messages on standard error: "ut_pack: COMMAND: error: ..." and
// "ut_pack: COMMAND: warning: ...".
#pragma once

// The command the messages name ("ut_pack" before one is chosen).
extern const char* g_command;

__attribute__((format(printf, 1, 2))) void error(const char* format, ...);
__attribute__((format(printf, 1, 2))) void warning(const char* format, ...);
