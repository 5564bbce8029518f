// ut_pack's signatures: key pairs and signatures in minisign's formats, and
// the check of a package's signature as the board makes it.
#pragma once

#include <limits.h>
#include <stdint.h>

#include "common/test_utility/minisign.h"

// ut_pack keygen [--no-password] [--password-file FILE] SECRET_KEY PUBLIC_KEY
int cmd_keygen(int argc, char** argv);

// ut_pack sign [-t COMMENT] [--board ID]... [--type TYPE]... [--sequence N]
//               [--password-file FILE] SECRET_KEY PACKAGE
int cmd_sign(int argc, char** argv);

// The fields the board reads (common/test_utility/package_policy.h), as
// given by --board ID and --type TYPE (each repeatable) and --sequence N.
enum { FIELD_VALUES_MAX = 64 };
struct field_options {
    const char* boards[FIELD_VALUES_MAX];
    int board_count;
    const char* types[FIELD_VALUES_MAX];
    int type_count;
    const char* sequence; // null when not given
};

// The three options in a command's table of options (options.h).
#define FIELD_OPTIONS(f)                                                                           \
    {"--board", nullptr, nullptr, (f).boards, &(f).board_count, FIELD_VALUES_MAX},                 \
        {"--type", nullptr, nullptr, (f).types, &(f).type_count, FIELD_VALUES_MAX}, {              \
        "--sequence", nullptr, &(f).sequence, nullptr, nullptr, 0                                  \
    }

// 1 when any of the fields is given.
inline int has_fields(const field_options* f) {
    return f->board_count > 0 || f->type_count > 0 || f->sequence != nullptr;
}

// A secret key in memory, for one signing.
struct signing_key {
    uint8_t key_id[MINISIGN_KEY_ID_SIZE];
    uint8_t secret[64];
};

// Reads a secret key (minisign's format), asking for its password on the
// terminal when it is encrypted and password_file is null. 1 on success;
// else says why (no such file, a public key given, a wrong password).
int load_signing_key(const char* secret_path, const char* password_file, signing_key* key);

// Wipes a key from memory.
void forget_signing_key(signing_key* key);

// The trusted comment into out: `comment`, or when null minisign's default
// (timestamp:<seconds> file:<the package's name> hashed, separated by tabs),
// with the fields (may be null) added. 0 after saying why when it is not one
// line, too long, or not one the board can read (malformed fields, a field
// given twice).
int trusted_comment(const char* comment, const field_options* fields, const char* package,
                    char* out, int size);

// The text of a signature file ("ED") of `file` with the trusted comment
// into text; the key id as text into key_id (MINISIGN_KEY_ID_TEXT_SIZE). 0
// after saying why when the file cannot be read.
int make_signature(const signing_key* key, const char* comment, const char* file, char* text,
                   int size, char* key_id);

// PACKAGE.minisig into out; 0 after saying so when the path is too long.
int signature_path_of(const char* package, char* out, int size);

// Removes PACKAGE.minisig when it is there, as the package's bytes have
// changed, and says so. 0 after saying why when it cannot be removed.
int remove_stale_signature(const char* package);

// Signs PACKAGE into PACKAGE.minisig ("ED") with the secret key; comment null
// for minisign's default trusted comment, fields (may be null) added to it,
// password_file null to ask on the terminal when the key is encrypted. 1 on success; messages carry
// `command` as the command's name.
int sign_package(const char* command, const char* secret_key, const char* password_file,
                 const char* comment, const field_options* fields, const char* package);

// Adds the keys of the paths given with --key to the ring: each a
// public-key file or a folder of "*.pub" files. 1 when every path held at
// least one valid key; else says why.
int load_public_keys(const char* const* paths, int count, minisign_keyring* ring);

// verify's --board-file FILE (the board's /etc/usb_tools/board) and
// --ledger FILE (its /var/lib/usb_tools/ledger), for check_signature_for_board
// to predict the board's decision on the fields; each may be null. 0 after
// saying why when they cannot go together with the keys given.
int use_board_files(const char* board_file, const char* ledger_file, int keys_given);

// Checks the package's signature file (PACKAGE.minisig) as the board does:
// read once, without following a link, against the package's copy. Prints
// the key, the trusted comment and its fields; with a board file
// (use_board_files) also the board's decision on them. 1 when the board
// would accept it.
int check_signature_for_board(const char* command, const char* package, const char* copy,
                              const minisign_keyring* ring);

// The package's signature file (PACKAGE.minisig) as it stands, not checked.
enum { SIGNATURE_NONE, SIGNATURE_UNREADABLE, SIGNATURE_MALFORMED, SIGNATURE_FOUND };
struct signature_facts {
    int state;
    const char* why; // unreadable or malformed: why
    char file[PATH_MAX];
    int prehashed;
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE];
    char trusted_comment[MINISIGN_TRUSTED_COMMENT_MAX]; // as signed, not escaped
    int trusted_comment_length;
};

// Reads the signature file beside the package without checking it, as the
// board reads it (a link is not followed). Returns out->state.
int read_signature_facts(const char* package, signature_facts* out);

// One line on standard output about the package's signature file, without
// checking it: none, the key id it names (and the fields of its trusted
// comment), or why it is malformed or what boards refuse.
void report_signature_file(const char* package);
