#include "messages.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/log/log_c.h"
#include "common/test_utility/text_escape.h"

const char* g_command = "ut_pack";
int g_json_results = 0;

namespace {

char g_first_error[4096];

__attribute__((format(printf, 2, 0))) void say(const char* kind, const char* format, va_list args) {
    if (strcmp(kind, "error") == 0 && g_first_error[0] == '\0') {
        va_list copy;
        va_copy(copy, args);
        vsnprintf(g_first_error, sizeof(g_first_error), format, copy);
        va_end(copy);
    }
    if (strcmp(g_command, "ut_pack") == 0) {
        fprintf(stderr, "ut_pack: %s: ", kind);
    } else {
        fprintf(stderr, "ut_pack: %s: %s: ", g_command, kind);
    }
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

const char* first_error() {
    return g_first_error;
}

void warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    say("warning", format, args);
    va_end(args);
}

// An outside text made fit to print: escape_text into one of a few rotating
// buffers, each large enough for a path escaped whole.
const char* esc(const char* text) {
    static char buffers[4][4 * PATH_MAX + 1];
    static int next = 0;
    char* out = buffers[next];
    next = (next + 1) % 4;
    escape_text(text, out, sizeof(buffers[0]));
    return out;
}

// A line of the library with its control bytes shown as \xNN. The
// backslash stays as it is: the library may have escaped the names in it.
void show_library_text(const char* text, char* out, size_t size) {
    escape_control_bytes(text, out, static_cast<int>(size));
}

// The library's last error line, as the reason of a failed step.
const char* library_reason() {
    static char shown[4 * 512 + 1];
    const char* last = log_last_error();
    show_library_text(last[0] != '\0' ? last : "no reason given", shown, sizeof(shown));
    return shown;
}

namespace {

// The library's progress lines (-v) pass through here on their way to
// standard error: one write a line, its control bytes shown but its own
// line end kept.
ssize_t write_library_lines(void*, const char* data, size_t size) {
    char line[4 * 1024 + 2];
    char text[1024 + 1];
    size_t length = size < sizeof(text) - 1 ? size : sizeof(text) - 1;
    memcpy(text, data, length);
    text[length] = '\0';
    const int ends_line = length > 0 && text[length - 1] == '\n';
    if (ends_line) {
        text[length - 1] = '\0';
    }
    show_library_text(text, line, sizeof(line) - 1);
    if (ends_line) {
        strcat(line, "\n");
    }
    size_t done = 0;
    const size_t total = strlen(line);
    while (done < total) {
        ssize_t n = write(STDERR_FILENO, line + done, total - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

} // namespace

void show_library_errors() {
    log_to_stream(stderr, 0);
}

void show_library_lines() {
    static FILE* stream = nullptr;
    if (stream == nullptr) {
        cookie_io_functions_t functions = {nullptr, write_library_lines, nullptr, nullptr};
        stream = fopencookie(nullptr, "w", functions);
        if (stream == nullptr) {
            stream = stderr;
        } else {
            // Unbuffered: each line of the library reaches the filter in one
            // piece.
            setvbuf(stream, nullptr, _IONBF, 0);
        }
    }
    log_to_stream(stream, LVL_DEBUG);
}
