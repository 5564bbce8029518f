// The daemon's intake of a package, played by ut_pack in a private folder:
// the package's copy is unpacked by the daemon's own code, and its record,
// checksums and work list are kept for the commands to show and judge.
#pragma once

#include <limits.h>
#include <stdint.h>

#include "common/test_utility/file_pack.h"
#include "common/test_utility/minisign.h"
#include "common/test_utility/work_with_files.h"
#include "package_check.h"

// 1 when a record is a plain package's (not scrambled).
int is_plain_record(const packed_info* info);

struct intake {
    char folder[PATH_MAX];  // the daemon's temporary folder, ends in "/"
    char package[PATH_MAX]; // the package's copy in it
    int slot;
    int copied; // the package was copied: its length is known
    long long length;
    int scrambled;
    packed_info info; // the record, unscrambled
    int info_read;
    int not_a_package; // no package's record, plain or scrambled
    int crc_known;
    uint16_t stored_crc;
    uint16_t computed_crc;
    long long needed_length; // what the record describes, checksum included
    int taken_in;            // the package was unpacked
    char refusal[4 * 512 + 1];
    int has_work_list;
    int work_list_loaded;
    char work_list_why[4 * 512 + 1];
    work_list_table list;
    folder_listing files; // the files the daemon's folder holds afterwards
};

// Takes the package in as the daemon does: copies it into an emptied folder,
// unpacks it there, deletes the copy, finds and loads the work list. With
// keys, the board's signature check comes first. 0 after saying why when the
// host failed or the signature is refused (the package's faults are in `in`).
int take_in(const char* package, intake* in, const minisign_keyring* keys = nullptr);

// 1 when the package's record was read and is a package's: its entries,
// checksums and form (plain or scrambled) are then known.
int record_known(const intake* in);

// Removes the private folder.
void end_intake(intake* in);

// The faults that make verify fail; each said as an error when `say` (list
// counts them only), and all into reason, joined by "; ". Returns their
// number.
int package_faults(const char* package, const intake* in, int say, char* reason, int size);

// Warns about every row that has something to say; row errors become
// errors when `as_errors`. Returns the number of warnings given.
int warn_rows(const work_list_table* list, const row_review* reviews, int as_errors);

// Warnings about the work list as a whole and the package's name. Returns
// their number.
int warn_package(const char* package, const char* list_path, const work_list_table* list,
                 const folder_listing* files);

// Warnings about hidden files (".DS_Store") and editors' backup files
// ("run.sh~"): harmless on the board, but seldom meant to be packed.
void warn_stray_files(const folder_listing* files);

// The rows as a table on standard output, with what the daemon does with
// each.
void print_rows(const work_list_table* list, const row_review* reviews);

// One entry's name as it may be printed, also when it fills its 32 bytes.
const char* entry_name(const packed_entry* e);
