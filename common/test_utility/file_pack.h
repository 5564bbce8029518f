// The package format: a fixed 808-byte info record of up to 20 entries, the
// files' contents, and a CRC-16 at the end. Reader and writer.
//
// Layout (integers 32-bit two's complement, little-endian):
//   0    pack_struct_size, 808
//   4    files_count, 0 ... 20
//   8    20 entries of 40 bytes: name[32] (NUL-terminated, no folder),
//        start_pointer (offset of the file's first byte), size
//   808  the files' contents in entry order
//   S    CRC-16/MODBUS of the first S - 1 bytes (not S), low byte first
// A package is plain when pack_struct_size and entry 0's start_pointer are
// both 808; any other record marks it as scrambled as a whole (crypt_file).
#pragma once

#include <stdint.h>

enum {
    PACK_INFO_SIZE = 808, // the info record, read and written as one block
    PACK_MAX_FILES = 20,
    PACK_ENTRY_SIZE = 40,
    PACK_NAME_SIZE = 32, // up to 31 characters and a NUL
};

struct packed_entry {
    char name[PACK_NAME_SIZE];
    int32_t start_pointer;
    int32_t size;
};

struct packed_info {
    int32_t pack_struct_size;
    int32_t files_count;
    packed_entry entries[PACK_MAX_FILES];
};

static_assert(sizeof(packed_entry) == PACK_ENTRY_SIZE, "an entry is 40 bytes");
static_assert(sizeof(packed_info) == PACK_INFO_SIZE, "the info record is 808 bytes");

// The record as it lies in the file, and back. Every byte of the 808 is
// carried: names are copied whole, whatever follows their NUL.
void encode_packed_info(const packed_info* info, unsigned char* out);
void decode_packed_info(const unsigned char* in, packed_info* info);

// 1 when the entries in use can be extracted into a folder: files_count is 0
// to 20 and every name in use is a bare file name (NUL-terminated within its
// 32 bytes, not empty, no "/", not "." or "..", no byte below 0x20 nor 0x7F).
// Otherwise logs the reason, with the name's control bytes shown escaped.
int check_packed_info(const packed_info* info);

// The most bytes that unpacking a package of package_size bytes with this
// record can write: each entry in use its declared size, but never more than
// the package holds from the entry's start on (the unpacker reads nothing
// past the package's end); a negative size or a start outside the package
// counts 0, and a files_count out of range counts no entry. For a scrambled
// record, which cannot be read before the package is unscrambled, the
// package's own size: a package's entries together are smaller than the
// package. The unpacker weighs the real record again before it writes.
int64_t unpacked_size_bound(const packed_info* info, int64_t package_size);

// 1 when the package is plain by its record: pack_struct_size and entry 0's
// start_pointer both 808.
int is_plain_packed_info(const packed_info* info);

// Weighs a package before it is copied into folder: its size plus
// unpacked_size_bound of its record (read from the package's first 808
// bytes), against the room check_room leaves. 0 after check_room's line when
// it does not fit. A package that cannot be opened as a regular file by its
// own name is not weighed here (1): its copy fails with its own lines.
int check_room_for_package(const char* package, const char* folder);

// Reading.

// Checks the package (unscrambling it in place and testing its checksum when
// it is scrambled) and extracts every entry into unpack_folder, which ends in
// "/". An existing file of an entry's name is appended to. 1 when all were
// extracted. With weigh_room, the entries that the record (read again once
// unscrambled) declares are weighed by check_room before anything is
// written: the board's data partition is not to be filled.
int unpack_files(const char* packed_name, const char* unpack_folder, int weigh_room = 0);

// Reads the info record; its values are not checked.
int get_info_of_packed(const char* packed_name, packed_info* info);

// Appends size bytes of the package from start_pointer on to file_name
// (created when missing). A package that ends first gives a shorter file.
// Nothing at or past package_end is read (-1: the package's length when it
// is opened), so an entry written into the package itself ends.
int extract_file(const char* packed_name, const char* file_name, int32_t start_pointer,
                 int32_t size, int64_t package_end = -1);

// Writing.

// Packs the files of source_folder (ending in "/"), in the order in which the
// folder lists them, into the package source_folder + packed_name. A
// sub-folder whose name does not begin with "." ends the packing at once
// with 0 and no log line; more than 20 files fail.
int pack_files(const char* source_folder, const char* packed_name);

// Appends the source file to the package; *copied_size receives the bytes
// appended, also after a failure.
int copy_file_to_packed(const char* packed_name, const char* source_name, int32_t* copied_size);

// The writer's core, for callers that choose the files and their order:
//   pack_begin   creates the package (emptying a file of that name) with a
//                provisional record: 808, no files, all other bytes zero;
//   pack_add_file appends one file under entry_name (cut to 31 characters)
//                and records its entry; refuses a 21st file;
//   pack_finish  writes the final record over the provisional one and
//                appends the checksum.
// A package that was not finished carries no checksum. Unused record bytes
// are zero, except in a package of no files: there entry 0's start_pointer
// holds 808, so that the package reads as plain.
struct pack_writer {
    packed_info info;
    int32_t offset; // where the next file's bytes begin
    char path[256];
};

int pack_begin(pack_writer* w, const char* package_path);
int pack_add_file(pack_writer* w, const char* source_path, const char* entry_name);
int pack_finish(pack_writer* w);
