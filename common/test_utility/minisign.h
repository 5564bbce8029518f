// Signatures of task packages in minisign's formats: the public-key and
// signature parsers (on bytes), the bounded file readers, a ring of trusted
// keys, and the verification of a file against a signature (libsodium).
//
// Public-key file:  "untrusted comment: <text>" line, then the base64 of
//                   "Ed" | key id (8) | Ed25519 public key (32).
// Signature file:   "untrusted comment: <text>" line,
//                   base64 of algorithm (2) | key id (8) | signature (64),
//                   "trusted comment: <text>" line,
//                   base64 of the global signature (64) over
//                   signature (64) | trusted comment text.
// The algorithm is "ED" (Ed25519 over the BLAKE2b-512 of the file) or "Ed"
// (Ed25519 over the file itself). Lines end in LF or CRLF.
//
// Only "ED" is ever verified: the two bytes that name the algorithm are not
// signed, so an "ED" signature of a file P, relabelled "Ed", would be valid
// for a 64-byte file holding BLAKE2b-512(P). The parser still reads "Ed", so
// that tools can name what they were given.
#pragma once

#include <stdint.h>

enum {
    MINISIGN_KEY_ID_SIZE = 8,
    MINISIGN_KEY_SIZE = 32,
    MINISIGN_SIG_SIZE = 64,
    // minisign's own limit for the trusted comment line.
    MINISIGN_TRUSTED_COMMENT_MAX = 8192,
    // Four lines: two comments of minisign's limits (1024, 8192), 100 and 88
    // base64 characters and their line ends fit with room to spare.
    MINISIGN_SIGNATURE_FILE_MAX = 12288,
    // A comment line of at most 1024 bytes and 56 base64 characters.
    MINISIGN_KEY_FILE_MAX = 2048,
    // Trusted keys held at once; more key files than this are not read (each
    // one left out is reported).
    MINISIGN_KEYRING_MAX = 256,
    // A key id as minisign prints it: 16 upper-case hex digits and a NUL.
    MINISIGN_KEY_ID_TEXT_SIZE = 17,
};

struct minisign_public_key {
    uint8_t key_id[MINISIGN_KEY_ID_SIZE];
    uint8_t key[MINISIGN_KEY_SIZE];
};

struct minisign_signature {
    int prehashed; // 1 for "ED", 0 for "Ed"
    uint8_t key_id[MINISIGN_KEY_ID_SIZE];
    uint8_t signature[MINISIGN_SIG_SIZE];
    char trusted_comment[MINISIGN_TRUSTED_COMMENT_MAX]; // NUL-terminated
    int trusted_comment_length;
    uint8_t global_signature[MINISIGN_SIG_SIZE];
};

struct minisign_keyring {
    int count;
    minisign_public_key keys[MINISIGN_KEYRING_MAX];
};

// The outcome of a check, in the order the checks are made.
enum minisign_verdict {
    MINISIGN_GOOD = 0,
    MINISIGN_NO_KEYS,               // no valid trusted key at all
    MINISIGN_NO_SIGNATURE,          // no signature file
    MINISIGN_MALFORMED,             // a signature file that does not parse
    MINISIGN_UNKNOWN_KEY,           // no trusted key with the signature's key id
    MINISIGN_BAD_SIGNATURE,         // the file's signature does not verify
    MINISIGN_BAD_COMMENT_SIGNATURE, // the trusted comment's does not
    MINISIGN_UNREADABLE,            // the signed file cannot be read
    MINISIGN_LEGACY,                // an "Ed" signature: never verified
};

// The reason given for MINISIGN_LEGACY.
#define MINISIGN_LEGACY_REASON "legacy signature: sign without -l"

// Standard base64 with padding, strict: the decoder refuses any other byte,
// misplaced padding and non-zero padding bits. The decoder returns the number
// of bytes written (at most size), or -1. The encoder writes a NUL-terminated
// text and returns its length, or -1 when out is too small.
int minisign_base64_decode(const char* text, int length, uint8_t* out, int size);
int minisign_base64_encode(const uint8_t* data, int length, char* out, int size);

// ---------------------------------------------------------------------------
// Parsers on bytes (the text need not end in NUL). 1 on success; otherwise 0
// with a short English reason in *why.

int minisign_parse_public_key(const char* text, int length, minisign_public_key* out,
                              const char** why);
int minisign_parse_signature(const char* text, int length, minisign_signature* out,
                             const char** why);

// The key id as minisign prints it: the 8 bytes read as a little-endian
// number, in 16 upper-case hex digits.
void minisign_key_id_text(const uint8_t key_id[MINISIGN_KEY_ID_SIZE],
                          char out[MINISIGN_KEY_ID_TEXT_SIZE]);

// ---------------------------------------------------------------------------
// Files

// Reads a whole small file into buf (not NUL-terminated); *length gets its
// size. Refuses anything but a regular file, and a file of more than size
// bytes. With no_follow a symbolic link is refused too. Never waits on a
// FIFO or a device. 1 on success; otherwise 0 with a reason in *why.
int minisign_read_small_file(const char* path, int no_follow, char* buf, int size, int* length,
                             const char** why);

// Adds the key of one public-key file to the ring. 1 when it held a valid
// key; otherwise 0 with a reason in *why.
int minisign_add_key_file(const char* path, minisign_keyring* ring, const char** why);

// 1 when an entry of a keys folder with this name is read as a key file:
// "*.pub" in any letter case (a FAT stick gives "RELEASE.PUB"), not hidden.
// Otherwise 0 with the reason in *why.
int minisign_key_file_name(const char* name, const char** why);

// Adds the keys of every key file (minisign_key_file_name) of a folder. Every
// other entry but "." and "..", and every key file that holds no valid key
// or does not fit in the ring, is reported through on_skipped (may be null)
// with named_as_key telling the two apart. 0 when the folder cannot be read
// (errno tells why).
int minisign_add_key_folder(const char* folder, minisign_keyring* ring,
                            void (*on_skipped)(const char* path, int named_as_key,
                                               const char* why));

// The first key of the ring with this key id after position `after` (-1 to
// start), or -1.
int minisign_find_key(const minisign_keyring* ring, const uint8_t key_id[MINISIGN_KEY_ID_SIZE],
                      int after);

// ---------------------------------------------------------------------------
// Verification

// Checks the signature of the file at path with key: the file's signature
// (the file streamed through BLAKE2b-512), then the global signature over the
// trusted comment. MINISIGN_GOOD, MINISIGN_BAD_SIGNATURE,
// MINISIGN_BAD_COMMENT_SIGNATURE, MINISIGN_UNREADABLE, or MINISIGN_LEGACY for
// an "Ed" signature. Verification needs no randomness and no
// initialisation of libsodium: this module never calls sodium_init(), whose
// seeding of a random source may wait for the kernel's entropy pool on a
// board early in its boot, and links no random source at all.
int minisign_verify_file(const char* path, const minisign_signature* sig,
                         const minisign_public_key* key);

// The same on bytes in memory.
int minisign_verify_buffer(const uint8_t* data, uint64_t length, const minisign_signature* sig,
                           const minisign_public_key* key);

// The BLAKE2b-512 of a file, for a prehashed ("ED") signature.
enum { MINISIGN_HASH_SIZE = 64 };

// Checks a prehashed ("ED") signature on the hash of the signed file, taken
// by the caller (while it copied the file, say), against every key of the
// ring that has the signature's key id; *key_index as minisign_check_file.
// A legacy ("Ed") signature cannot be checked on a hash: MINISIGN_UNREADABLE.
int minisign_check_hash(const uint8_t hash[MINISIGN_HASH_SIZE], const minisign_signature* sig,
                        const minisign_keyring* ring, int* key_index);

// Checks the file against every key of the ring that has the signature's key
// id. *key_index gets the key that verified (or -1).
int minisign_check_file(const char* path, const minisign_signature* sig,
                        const minisign_keyring* ring, int* key_index);

// The whole check of a package as the board makes it, on a signature file
// and the file it signs: no key in the ring, a missing or malformed
// signature file (a link, a special file, an oversized one, one that does
// not parse; the reason in *why), a legacy "Ed" signature, no key with its
// key id, or a signature that does not verify. *sig gets the parsed signature and *key_index the
// key that verified.
int minisign_check_signed_file(const char* signature_path, const char* path,
                               const minisign_keyring* ring, minisign_signature* sig,
                               int* key_index, const char** why);

// The same, with the signed file's BLAKE2b-512 already taken (hash; nullptr:
// none): a prehashed signature is checked on it and the file is not read
// again.
int minisign_check_signed_file_hashed(const char* signature_path, const char* path,
                                      const uint8_t* hash, const minisign_keyring* ring,
                                      minisign_signature* sig, int* key_index, const char** why);

// The same on the signature file's text, read already (a ring that is not
// empty): a malformed or legacy signature, or the verdict on hash or on the
// file at path as above.
int minisign_check_signature_text(const char* text, int length, const char* path,
                                  const uint8_t* hash, const minisign_keyring* ring,
                                  minisign_signature* sig, int* key_index, const char** why);
