// Names that come from outside (a package's entries, a work list's rows) on
// their way into a log line or onto a terminal: control bytes are shown, never
// passed on, so a name cannot forge a line or drive a terminal.
#pragma once

// 1 when the text holds a byte below 0x20 or the byte 0x7F.
int has_control_bytes(const char* text);

// Copies text into out with every byte below 0x20, 0x7F and "\" written as
// "\xNN" (two lower-case hex digits); other bytes are copied as they are.
// Never cuts an escape in half: when out is too small the copy ends before
// the byte that does not fit. Returns 1 when the whole text fitted.
int escape_text(const char* text, char* out, int out_size);

// The same, but a backslash is copied as it is: for text whose names were
// escaped already (a log line of the library), so none is escaped twice.
int escape_control_bytes(const char* text, char* out, int out_size);
