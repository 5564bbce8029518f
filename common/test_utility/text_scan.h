// Forgiving decimal readers for settings, pid and /proc texts. They stand in
// for sscanf's "%d" and "%*[^0-9]%d" but never overflow: a number too large
// for an int is saturated to INT_MAX or INT_MIN, the same on every target.
#pragma once

// Like "%d": skips leading white space, reads an optional sign and at least
// one digit. Returns 1 and stores the value when a number was read, else 0.
// When end is given it receives the position after the last digit.
int scan_int(const char* text, int* out, const char** end = nullptr);

// Like "%*[^0-9]%d": the first run of digits that follows at least one
// non-digit character at the start of the text. Returns 1 when one was read.
int scan_digits_after_text(const char* text, int* out, const char** end = nullptr);
