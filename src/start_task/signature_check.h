// Signed task packages: a board with the folder of trusted keys
// "/etc/usb_tools/keys/" takes in only packages that carry a valid signature
// "command.f.minisig" (minisign's format) by one of its keys. Without that
// folder nothing is checked and the intake is as it always was.
#pragma once

#define UT_KEYS_FOLDER "/etc/usb_tools/keys/"
#define SIGNATURE_SUFFIX ".minisig"

#include <stddef.h>

// 1 when this board checks packages: the keys folder's name exists.
int signatures_checked();
int signatures_checked_with(const char* keys_folder);

// The package's BLAKE2b-512, taken while its copy is written: begin, then
// package_hash_feed as the copy's sink (copy_one_file). The next check
// takes its verdict on that hash instead of reading the copy again.
void package_hash_begin();
void package_hash_feed(void* context, const unsigned char* bytes, size_t size);

// Called once the package has been copied into the temporary folder
// (package: its path on the device; copy: its copy), before anything is
// unscrambled or unpacked. Reads the signature file from the device once and
// checks it and the copy against the trusted keys. 1 when the intake may go on:
// the package verified, or there is no keys folder. 0 after a level-1 line
// naming the reason.
int check_package_signature(const char* package, const char* copy);

// The same with another keys folder (ending in "/").
int check_package_signature_with(const char* keys_folder, const char* package, const char* copy);

// After a successful intake: removes the package's signature file from the
// device, when there is one.
void remove_package_signature(const char* package);

// What the last check found, for a person to read: "key id <id>, <the
// trusted comment, readable>[; <the decision on its fields>]", "not checked"
// or "refused: <reason>". Pieces from the stick are escaped once.
const char* signature_note();

// A package that verified is also decided on by the fields of its trusted
// comment (common/test_utility/package_policy.h): the board file
// "/etc/usb_tools/board" and the ledger "/var/lib/usb_tools/ledger".

// Once the work list was read, before the package leaves the stick and
// before the first row runs: writes the accepted package's sequence into the
// ledger (durably), so that it never runs again on this board. 1 when there
// was nothing to write or it was written; 0 after a level-1 "package
// refused: ..." line, when the ledger cannot be written.
int commit_package_sequence();

// At start: a level-2 line when the board file requires sequences and the
// ledger's folder is on a tmpfs, which forgets them at each boot.
void warn_if_ledger_forgets();

// Other paths for the board file and the ledger's folder (ending in "/"),
// for tests.
void set_package_policy_paths(const char* board_file, const char* ledger_folder);
