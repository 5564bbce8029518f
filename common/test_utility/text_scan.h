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

// The "%d" of scan_int on a text that comes in pieces (a file read chunk by
// chunk), so that the number is found wherever it starts: however much white
// space comes before it, and across the end of a piece.
struct int_scan {
    int state;       // the part of the text the scan is in (text_scan.cpp)
    int negative;    // a "-" came before the digits
    long long value; // the digits so far, negated; stops below INT_MIN
};

void int_scan_start(int_scan* scan);

// Feeds the next size bytes of the text; a NUL is a byte like any other that
// neither is white space nor begins a number. Returns how many bytes the scan
// took: fewer than size once it has ended (at the byte after the number, or
// at a byte that cannot begin one); that byte and all after it are not taken.
int int_scan_feed(int_scan* scan, const char* bytes, int size);

// 1 once the result is known: bytes fed later change nothing.
int int_scan_ended(const int_scan* scan);

// 1 while everything fed so far (nothing, too) is white space.
int int_scan_only_blanks(const int_scan* scan);

// 1 and the value in out when a number was read (the text may end right
// after its last digit); 0 and out unchanged otherwise.
int int_scan_result(const int_scan* scan, int* out);
