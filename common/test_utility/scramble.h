// Scrambling in place by XOR with a keystream keyed by the file's length:
// whole packages, database sectors; the scrambled-database test and the
// description block at the end of a file.
//
// The keystream comes from one generator whose state is a signed 64-bit
// integer, private to the module (initial value 1). One draw:
//   next = next * 65539 (modulo 2^64);  q = next / 65536 (truncated);
//   r = q % 2768 (truncated, so -2767 ... 2767).
// Keystream byte i is the low 8 bits of draw i + 1 after the seeding.
#pragma once

#include <stdint.h>

// Added to a file's length (in 32-bit signed arithmetic) to give the first
// seed of each operation. Scrambling and unscrambling use the same values.
// Changing any of them makes every file scrambled in the field unreadable.
enum : int32_t {
    CRYPT_FILE_SEED_OFFSET = 17,    // a packed file (crypt_file)
    ENCRYPT_FIRST_SEED_OFFSET = 29, // the first sector of a database (encrypt_db)
    ENCRYPT_LAST_SEED_OFFSET = 43,  // the last sector of a database (encrypt_db)
};

enum {
    CRYPT_CHUNK_SIZE = 4096,    // crypt_file converts a file in chunks of this size
    ENCRYPT_SECTOR_SIZE = 8000, // encrypt_db converts the first and the last sector
    DESCRIPTION_SIZE = 66,      // the description block at the end of a marked file
};

// The mark at the start of a description block, followed by a NUL byte.
#define DESCRIPTION_MARK "Velmarok"

// The next draw of the generator, -2767 ... 2767.
int cust_rand();

// Seeds the generator with seed and XORs the keystream into the first len
// bytes of buf. 0 when len is 0 (buf untouched), otherwise 1 (a negative
// length processes nothing).
int xor_buffer(unsigned char* buf, int32_t len, int32_t seed);

// Like xor_buffer, but starting from any 64-bit generator state: the first
// byte takes the draw that follows state. The generator is left after the
// last draw. 1 when len is above 0, else 0 (buf untouched).
int xor_keystream(unsigned char* buf, int32_t len, int64_t state);

// Scrambles or restores a whole file in place, 4096-byte chunk by chunk; the
// first chunk's seed is the length plus CRYPT_FILE_SEED_OFFSET, each further
// one the low 32 bits of the state the chunk before left. 1 on success (an
// empty file included).
int crypt_file(const char* path);

// Scrambles or restores the first and the last 8000 bytes of a database file
// (they overlap below 16000 bytes). 0 for a file shorter than 8000 bytes.
int encrypt_db(const char* path);

// Non-zero when the file does not start with the SQLite header (or is shorter
// than 16 bytes); 0 for a plain database and for a file that cannot be opened.
int is_encrypted(const char* path);

// Appends size bytes of block at the end of an existing file; 1 when all were
// written.
int add_description(const char* path, const unsigned char* block, int size);

// Copies the file's last 66 bytes into out, which must hold at least 66
// bytes: a size below 66 is refused (0).
int get_description(const char* path, unsigned char* out, int size);

// 1 when the file's last 66 bytes start with "Velmarok" and a NUL byte.
int is_descriptioned(const char* path);
