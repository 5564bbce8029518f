#include "tool_messages.h"

#include <stdarg.h>
#include <stdio.h>

const char* g_command = "ut_pack";

namespace {

__attribute__((format(printf, 2, 0))) void say(const char* kind, const char* format, va_list args) {
    fprintf(stderr, "ut_pack: %s: %s: ", g_command, kind);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

} // namespace

void error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    say("error", format, args);
    va_end(args);
}

void warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    say("warning", format, args);
    va_end(args);
}
