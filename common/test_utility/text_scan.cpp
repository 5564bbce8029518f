#include "text_scan.h"

#include <limits.h>
#include <string.h>

namespace {

// The parts of a "%d" text, in order.
enum {
    SCAN_BLANKS = 0, // white space before the number
    SCAN_SIGNED,     // a sign was taken, a digit must follow
    SCAN_DIGITS,     // at least one digit was taken
    SCAN_NO_NUMBER,  // ended: a byte that cannot begin a number
    SCAN_NUMBER,     // ended: the byte after the digits
};

int is_digit(char c) {
    return c >= '0' && c <= '9';
}

int is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

void int_scan_start(int_scan* scan) {
    scan->state = SCAN_BLANKS;
    scan->negative = 0;
    scan->value = 0;
}

int int_scan_feed(int_scan* scan, const char* bytes, int size) {
    int at = 0;
    for (; at < size; ++at) {
        const char c = bytes[at];
        if (scan->state == SCAN_BLANKS) {
            if (is_space(c)) {
                continue;
            }
            if (c == '+' || c == '-') {
                scan->negative = c == '-';
                scan->state = SCAN_SIGNED;
                continue;
            }
            scan->state = SCAN_SIGNED;
        }
        if (scan->state == SCAN_SIGNED || scan->state == SCAN_DIGITS) {
            if (!is_digit(c)) {
                scan->state = scan->state == SCAN_DIGITS ? SCAN_NUMBER : SCAN_NO_NUMBER;
                return at;
            }
            // Accumulated as a negative number, so that INT_MIN itself is
            // reachable; once past it the value only has to stay there.
            if (scan->value > -(static_cast<long long>(INT_MAX) + 1)) {
                scan->value = scan->value * 10 - (c - '0');
            }
            scan->state = SCAN_DIGITS;
            continue;
        }
        return at;
    }
    return at;
}

int int_scan_ended(const int_scan* scan) {
    return scan->state == SCAN_NO_NUMBER || scan->state == SCAN_NUMBER ? 1 : 0;
}

int int_scan_only_blanks(const int_scan* scan) {
    return scan->state == SCAN_BLANKS ? 1 : 0;
}

int int_scan_result(const int_scan* scan, int* out) {
    if (scan->state != SCAN_DIGITS && scan->state != SCAN_NUMBER) {
        return 0;
    }
    long long value = scan->negative ? scan->value : -scan->value;
    if (value > INT_MAX) {
        value = INT_MAX;
    } else if (value < INT_MIN) {
        value = INT_MIN;
    }
    *out = static_cast<int>(value);
    return 1;
}

int scan_int(const char* text, int* out, const char** end) {
    int_scan scan;
    int_scan_start(&scan);
    int taken = int_scan_feed(&scan, text, static_cast<int>(strlen(text)));
    if (!int_scan_result(&scan, out)) {
        return 0;
    }
    if (end != nullptr) {
        *end = text + taken;
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
    // From the first digit on: digits alone, without sign or white space.
    return scan_int(p, out, end);
}
