// ut_pack's signatures: key pairs and signatures in minisign's formats, and
// the check of a package's signature as the board makes it.
#pragma once

#include "common/test_utility/minisign.h"

// ut_pack keygen [--no-password] [--password-file FILE] SECRET_KEY PUBLIC_KEY
int cmd_keygen(int argc, char** argv);

// ut_pack sign [-t COMMENT] [--password-file FILE] SECRET_KEY PACKAGE
int cmd_sign(int argc, char** argv);

// Signs PACKAGE into PACKAGE.minisig ("ED") with the secret key; comment null
// for minisign's default trusted comment, password_file null to ask on the
// terminal when the key is encrypted. 1 on success; messages carry
// `command` as the command's name.
int sign_package(const char* command, const char* secret_key, const char* password_file,
                 const char* comment, const char* package);

// Takes the options "--key PATH" (a public-key file or a folder of "*.pub"),
// and "--password-file FILE" when password_file is not null, out of argv
// (the rest is left in order in argv, its count in *argc). 1 when every key
// path given held at least one valid key; *keys_given counts the options.
int take_key_options(const char* command, int* argc, char** argv, minisign_keyring* ring,
                     int* keys_given);

// Checks the package's signature file (PACKAGE.minisig) as the board does,
// on copies made into the private folder (ending in "/"). Prints the key and
// the trusted comment; 1 when the board would accept it.
int check_signature_for_board(const char* command, const char* package, const char* folder,
                              const char* copy, const minisign_keyring* ring);

// One line on standard output about the package's signature file, without
// checking it: none, the key id it names, or why it is malformed.
void report_signature_file(const char* package);
