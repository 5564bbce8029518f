// ut_pack's signatures: key pairs and signatures in minisign's formats, and
// the check of a package's signature as the board makes it.
#pragma once

#include "common/test_utility/minisign.h"

// ut_pack keygen [--no-password] [--password-file FILE] SECRET_KEY PUBLIC_KEY
int cmd_keygen(int argc, char** argv);

// ut_pack sign [-t COMMENT] [--board ID]... [--type TYPE]... [--sequence N]
//               [--password-file FILE] SECRET_KEY PACKAGE
int cmd_sign(int argc, char** argv);

// The fields the board reads (common/test_utility/package_policy.h), as
// given by --board ID and --type TYPE (each repeatable) and --sequence N.
struct field_options {
    char boards[1024]; // "ID,ID"
    char types[1024];
    int board_count; // how many --board were given
    int type_count;
    const char* sequence; // null when not given
};

// Takes argv[*at] when it is one of those options (and its value, *at then
// on the value): 1. 0 when it is another argument; -1 after an error.
int take_field_option(int argc, char** argv, int* at, field_options* fields);

// Checks that the comment (null: minisign's default one), with the fields
// added, is one the board can read: well-formed fields, none given twice.
// 1 when it is; otherwise 0 after an error line.
int check_comment_fields(const char* comment, const field_options* fields);

// Signs PACKAGE into PACKAGE.minisig ("ED") with the secret key; comment null
// for minisign's default trusted comment, fields (may be null) added to it,
// password_file null to ask on the terminal when the key is encrypted. 1 on
// success; messages carry `command` as the command's name.
int sign_package(const char* command, const char* secret_key, const char* password_file,
                 const char* comment, const field_options* fields, const char* package);

// Takes the options "--key PATH" (a public-key file or a folder of "*.pub"),
// "--board-file FILE" and "--ledger FILE" (the board's identity and ledger,
// for check_signature_for_board to predict the board's decision) out of argv
// (the rest is left in order in argv, its count in *argc). 1 when every key
// path given held at least one valid key; *keys_given counts the options.
int take_key_options(const char* command, int* argc, char** argv, minisign_keyring* ring,
                     int* keys_given);

// Checks the package's signature file (PACKAGE.minisig) as the board does,
// on copies made into the private folder (ending in "/"). Prints the key,
// the trusted comment and its fields; with --board-file (and --ledger) also
// the board's decision on them. 1 when the board would accept it.
int check_signature_for_board(const char* command, const char* package, const char* folder,
                              const char* copy, const minisign_keyring* ring);

// One line on standard output about the package's signature file, without
// checking it: none, the key id it names, or why it is malformed.
void report_signature_file(const char* package);
