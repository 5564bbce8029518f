// The receipt on the USB stick: "usb_tools_receipt.txt" at the top of the
// stick, written whenever a task package was found there, taken in or
// refused. It tells the service engineer, who never sees the board's console,
// which board read the stick, what became of the package and of each row of
// its work list, and the start-up phase's log lines (levels 1 to 3, whatever
// the log settings' level).
#pragma once

#include "../../common/test_utility/work_with_files.h"

#define RECEIPT_FILE_NAME "usb_tools_receipt.txt"
// Fixed, so that a receipt cut short by a pulled stick is replaced by the
// next one instead of piling up.
#define RECEIPT_TEMP_NAME "usb_tools_receipt.tmp"
#define RECEIPT_NOT_CHECKED "not checked"

enum {
    // The log part. A start-up phase with a package of 20 files and a work
    // list of 100 rows logs about 160 lines of 100 to 200 bytes: room to
    // spare. Lines that do not fit any more are counted, not kept.
    RECEIPT_LOG_SIZE = 32768,
};

// What became of one row of the work list.
enum {
    RECEIPT_ROW_NOT_RUN = 0,     // the walk ended before it
    RECEIPT_ROW_PASSED_OVER = 1, // a code the daemon does not run
    RECEIPT_ROW_FAILED = 2,      // it failed and ended the walk
    RECEIPT_ROW_ENDED = 3,       // a script that ran; its wait status is kept
    RECEIPT_ROW_DONE = 4,        // a built-in function that did its work
};

// Starts the receipt: from now on the log lines of levels 1 to 3 of the
// start-up states (USB search, task search, work list) are kept. version is
// the one "-about" prints.
void receipt_begin(int version);

// The log call's tap: keeps one line in the log part, escaped, in the log
// files' line format.
void receipt_capture_line(unsigned level, const char* file, const char* function, int line,
                          const char* text);

// Where the line "signature:" takes its text (default "not checked").
void receipt_set_signature_source(const char* (*source)());

// Before the first row runs: notes which file system the stick is, so that a
// receipt is never written into the mount folder of a stick a script
// unmounted.
void receipt_walk_begins();

// Records the outcome of row index of the work list; wait_status is the
// script's (RECEIPT_ROW_ENDED only).
void receipt_row_ran(int index, int outcome, int wait_status);

// The script's last output for row index (bytes as execute_script_captured
// kept them); shown below the row, its last RECEIPT_OUTPUT_LINES lines.
enum { RECEIPT_OUTPUT_LINES = 20 };
void receipt_row_output(int index, const char* bytes, int length);

// Where the last max_lines lines of an output begin (a final line end ends
// the last line, it does not begin another).
int receipt_output_start(const char* bytes, int length, int max_lines);

// The text after "row N: <code> name: " for an outcome: "exit status 3",
// "done", "not run", ...
void receipt_outcome_text(int outcome, int wait_status, char* out, int size);

// Writes the whole receipt text to fd: the header, the rows of the work list
// (when taken_in), the log part. 1 when every byte was written.
int receipt_emit(int fd, int taken_in);

// Writes the receipt at the top of the stick (dev_path) under a temporary
// name, syncs it, renames it to "usb_tools_receipt.txt" and syncs the folder,
// so that the stick holds the whole receipt or none. Stops keeping log lines.
// 1 when written; otherwise one level-1 line and nothing left on the stick.
int receipt_write(int taken_in);
