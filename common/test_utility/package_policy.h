// Packages for the boards they were made for, once. A signed package's
// trusted comment may carry fields that the board reads (minisign's own
// "name:value" fields, separated by tabs):
//
//   boards:ID[,ID...]     taken in only by a board whose id is listed
//   types:TYPE[,TYPE...]  taken in only by a board whose type is listed
//   sequence:N            taken in only when N (1 to 2^63-1) is above the
//                         highest sequence this board took in from the key
//
// The board's identity is the file "/etc/usb_tools/board" ("id = ...",
// "type = ...", "require = target, sequence"); the highest sequence per key
// id is kept in the ledger "/var/lib/usb_tools/ledger", one line
// "<KEY ID> <SEQUENCE>" per key id. This module holds the parsers (on bytes),
// the decision, and the bounded readers and the durable writer of the two
// files, for the daemon and for ut_pack alike.
#pragma once

#include <stdint.h>

#include "minisign.h"

#define POLICY_BOARD_FILE "/etc/usb_tools/board"
#define POLICY_LEDGER_FOLDER "/var/lib/usb_tools/"
#define POLICY_LEDGER_NAME "ledger"

enum {
    // A value of the board file, an id or a type in a list:
    // [A-Za-z0-9._-]{1,63}, and its NUL.
    POLICY_VALUE_SIZE = 64,
    // The board file is a few short lines.
    POLICY_BOARD_FILE_MAX = 1024,
    // One line per key id, as many as the board takes keys.
    POLICY_LEDGER_LINES = MINISIGN_KEYRING_MAX,
    // A line: 16 hex digits, a blank, at most 19 digits, LF.
    POLICY_LEDGER_FILE_MAX = POLICY_LEDGER_LINES * 37,
    // A reason or a decision, for a person to read.
    POLICY_TEXT_SIZE = 320,
};

// The outcome of reading a file that may be missing.
enum {
    POLICY_FILE_ABSENT = 0, // no such file: the default
    POLICY_FILE_READ = 1,   // read and parsed
    POLICY_FILE_BROKEN = 2, // there, but unreadable or malformed: fail closed
};

struct board_identity {
    char id[POLICY_VALUE_SIZE];   // "" when not given
    char type[POLICY_VALUE_SIZE]; // "" when not given
    int require_target;           // refuse packages that name neither boards nor types
    int require_sequence;         // refuse packages without a sequence
};

// The fields of one trusted comment. The lists point into the comment.
struct comment_fields {
    const char* boards; // null when the field is absent
    int boards_length;
    const char* types; // null when the field is absent
    int types_length;
    int has_sequence;
    uint64_t sequence;
};

struct ledger_line {
    uint8_t key_id[MINISIGN_KEY_ID_SIZE];
    uint64_t sequence;
};

struct sequence_ledger {
    int count;
    ledger_line lines[POLICY_LEDGER_LINES];
};

// What the board decides on one signed package.
struct policy_decision {
    int taken;                      // 1: taken in; 0: refused
    char reason[POLICY_TEXT_SIZE];  // refused: what did not match
    char summary[POLICY_TEXT_SIZE]; // the decision on each field present, or ""
    int sequenced;                  // the package carries a sequence
    uint64_t sequence;
};

// ---------------------------------------------------------------------------
// Parsers on bytes (need not end in NUL). 1 on success; otherwise 0 with the
// reason in why.

// The board file: one "key = value" per line, keys exactly "id", "type" and
// "require", each at most once; values trimmed of blanks and CR. Empty lines
// are allowed.
int policy_parse_board_file(const char* text, int length, board_identity* out, char* why,
                            int why_size);

// The fields of a trusted comment. Other fields (timestamp, file, hashed,
// anything unknown) are ignored; a field the board reads that is present
// but malformed (an empty list, a bad name, a value that is not a number,
// the same field twice) is an error.
int policy_parse_fields(const char* comment, int length, comment_fields* out, char* why,
                        int why_size);

// A decimal sequence number, 1 to 2^63-1, without sign or leading zero.
int policy_parse_sequence(const char* text, int length, uint64_t* out);

// The ledger: lines "<16 upper-case hex digits> <sequence>" ending in LF, a
// key id at most once, at most POLICY_LEDGER_LINES lines. An empty text is
// an empty ledger.
int policy_parse_ledger(const char* text, int length, sequence_ledger* out, char* why,
                        int why_size);

// The ledger's text; its length, or -1 when out is too small.
int policy_format_ledger(const sequence_ledger* ledger, char* out, int size);

// The line of a key id, or -1.
int policy_ledger_find(const sequence_ledger* ledger, const uint8_t key_id[MINISIGN_KEY_ID_SIZE]);

// Sets the highest sequence of a key id. 0 when the ledger is full.
int policy_ledger_set(sequence_ledger* ledger, const uint8_t key_id[MINISIGN_KEY_ID_SIZE],
                      uint64_t sequence);

// ---------------------------------------------------------------------------
// The decision

// Decides on a package signed by key_id whose comment is given. board_state
// and ledger_state are POLICY_FILE_* with the reasons board_why and
// ledger_why for POLICY_FILE_BROKEN (board: the identity, ledger: the
// ledger read, either may be null when absent). A broken board file refuses
// every package; a broken ledger refuses sequenced ones.
void policy_decide(const char* comment, int comment_length,
                   const uint8_t key_id[MINISIGN_KEY_ID_SIZE], int board_state,
                   const board_identity* board, const char* board_why, int ledger_state,
                   const sequence_ledger* ledger, const char* ledger_why, policy_decision* out);

// The trusted comment for a person: fields "name value" joined by ", ",
// minisign's timestamp as a UTC date and time, "hashed" left out, control
// bytes and "\" escaped once. "timestamp:1796988095\tfile:command.f\thashed"
// reads "timestamp 2026-12-11 11:21:35 UTC, file command.f".
void policy_comment_text(const char* comment, int length, char* out, int size);

// ---------------------------------------------------------------------------
// Files

// Reads the board file: bounded, never through a link, never from a FIFO.
// POLICY_FILE_ABSENT (out all empty), POLICY_FILE_READ or POLICY_FILE_BROKEN.
int policy_read_board_file(const char* path, board_identity* out, char* why, int why_size);

// Reads the ledger the same way; an absent ledger is empty.
int policy_read_ledger(const char* path, sequence_ledger* out, char* why, int why_size);

// Writes the ledger so that a power cut leaves the old one or the new one:
// a temporary file beside it (mode 0600), synced, renamed over it, then the
// folder synced. 1 when done; otherwise 0 with the reason.
int policy_write_ledger(const char* folder, const char* name, const sequence_ledger* ledger,
                        char* why, int why_size);
