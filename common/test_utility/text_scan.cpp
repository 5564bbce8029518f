#include "text_scan.h"

#include <limits.h>

namespace {

int is_digit(char c) {
    return c >= '0' && c <= '9';
}

int is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the digits at text (at least one is there) with the given sign.
const char* read_digits(const char* text, int negative, int* out) {
    // Accumulate as a negative number so that INT_MIN itself is reachable.
    long long value = 0;
    for (; is_digit(*text); ++text) {
        if (value > -(static_cast<long long>(INT_MAX) + 1)) {
            value = value * 10 - (*text - '0');
        }
    }
    if (!negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        value = INT_MAX;
    } else if (value < INT_MIN) {
        value = INT_MIN;
    }
    *out = static_cast<int>(value);
    return text;
}

} // namespace

int scan_int(const char* text, int* out, const char** end) {
    const char* p = text;
    while (is_space(*p)) {
        ++p;
    }
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!is_digit(*p)) {
        return 0;
    }
    p = read_digits(p, negative, out);
    if (end != nullptr) {
        *end = p;
    }
    return 1;
}

int scan_digits_after_text(const char* text, int* out, const char** end) {
    if (*text == '\0' || is_digit(*text)) {
        return 0;
    }
    const char* p = text;
    while (*p != '\0' && !is_digit(*p)) {
        ++p;
    }
    if (*p == '\0') {
        return 0;
    }
    p = read_digits(p, 0, out);
    if (end != nullptr) {
        *end = p;
    }
    return 1;
}
