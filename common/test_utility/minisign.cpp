#include "minisign.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scoped_handle.h"
#include "test_utility.h"

namespace {

const char* const UNTRUSTED_PREFIX = "untrusted comment: ";
const char* const TRUSTED_PREFIX = "trusted comment: ";

enum {
    ALG_SIZE = 2,
    PUBLIC_KEY_BLOB = ALG_SIZE + MINISIGN_KEY_ID_SIZE + MINISIGN_KEY_SIZE, // 42
    SIGNATURE_BLOB = ALG_SIZE + MINISIGN_KEY_ID_SIZE + MINISIGN_SIG_SIZE,  // 74
    // The file is read in pieces of this size for the hash.
    HASH_CHUNK = 32768,
};

// One line of a text: [start, start + length), without its LF or CRLF.
struct line_view {
    const char* start;
    int length;
};

// Cuts the text into its first `want` lines. 0 when there are fewer, or a
// line holds a NUL byte.
int split_lines(const char* text, int length, line_view* lines, int want) {
    int at = 0;
    for (int i = 0; i < want; ++i) {
        if (at >= length) {
            return 0;
        }
        int end = at;
        while (end < length && text[end] != '\n') {
            if (text[end] == '\0') {
                return 0;
            }
            ++end;
        }
        int line_end = end;
        if (line_end > at && text[line_end - 1] == '\r') {
            --line_end;
        }
        lines[i].start = text + at;
        lines[i].length = line_end - at;
        at = end + 1;
    }
    return 1;
}

int starts_with(const line_view& line, const char* prefix) {
    int n = static_cast<int>(strlen(prefix));
    return line.length >= n && memcmp(line.start, prefix, static_cast<size_t>(n)) == 0;
}

// Decodes a whole line of standard base64 into exactly `want` bytes.
int decode_exact(const line_view& line, uint8_t* out, int want) {
    return minisign_base64_decode(line.start, line.length, out, want) == want ? 1 : 0;
}

uint8_t g_hash_chunk[HASH_CHUNK];
uint8_t g_comment_message[MINISIGN_SIG_SIZE + MINISIGN_TRUSTED_COMMENT_MAX];

int verify_comment(const minisign_signature* sig, const minisign_public_key* key) {
    int n = sig->trusted_comment_length;
    if (n < 0 || n >= MINISIGN_TRUSTED_COMMENT_MAX) {
        return MINISIGN_BAD_COMMENT_SIGNATURE;
    }
    memcpy(g_comment_message, sig->signature, MINISIGN_SIG_SIZE);
    memcpy(g_comment_message + MINISIGN_SIG_SIZE, sig->trusted_comment, static_cast<size_t>(n));
    return crypto_sign_ed25519_verify_detached(
               sig->global_signature, g_comment_message,
               static_cast<unsigned long long>(MINISIGN_SIG_SIZE + n), key->key) == 0
               ? MINISIGN_GOOD
               : MINISIGN_BAD_COMMENT_SIGNATURE;
}

ssize_t read_retry(int fd, void* buf, size_t size) {
    for (;;) {
        ssize_t got = read(fd, buf, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

} // namespace

#if UT_SODIUM_OWN_GUARD
#include <sys/auxv.h>

// The stack-protector guard of libsodium's objects on 32-bit ARM, where the
// C library keeps its own in the dynamic loader (see CMakeLists.txt). Set
// before main from the kernel's random bytes for this process (AT_RANDOM,
// which the C library's guard comes from too), so before any libsodium
// function runs; it never changes afterwards.
extern "C" {
uintptr_t ut_sodium_stack_guard = 0xff0a0000u; // stops string copies before a random value
}

namespace {

__attribute__((constructor)) void set_sodium_stack_guard() {
    const void* random = reinterpret_cast<const void*>(getauxval(AT_RANDOM));
    if (random != nullptr) {
        uintptr_t value;
        memcpy(&value, random, sizeof(value));
        // A zero low byte, as the C library's guard has: string copies stop.
        ut_sodium_stack_guard = value & ~static_cast<uintptr_t>(0xff);
    }
}

} // namespace
#endif

int minisign_base64_decode(const char* text, int length, uint8_t* out, int size) {
    if (length < 0 || length % 4 != 0) {
        return -1;
    }
    int written = 0;
    for (int at = 0; at < length; at += 4) {
        int values[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[at + k];
            int v;
            if (c >= 'A' && c <= 'Z') {
                v = c - 'A';
            } else if (c >= 'a' && c <= 'z') {
                v = c - 'a' + 26;
            } else if (c >= '0' && c <= '9') {
                v = c - '0' + 52;
            } else if (c == '+') {
                v = 62;
            } else if (c == '/') {
                v = 63;
            } else if (c == '=' && at + 4 == length && k >= 2) {
                v = 0;
                ++pad;
            } else {
                return -1;
            }
            // Padding only at the very end: "x=" never before a character.
            if (pad > 0 && c != '=') {
                return -1;
            }
            values[k] = v;
        }
        const uint32_t group =
            static_cast<uint32_t>(values[0]) << 18 | static_cast<uint32_t>(values[1]) << 12 |
            static_cast<uint32_t>(values[2]) << 6 | static_cast<uint32_t>(values[3]);
        // Bits that the padding drops must be zero, so each text has one
        // meaning.
        if ((pad == 1 && (group & 0xFF) != 0) || (pad == 2 && (group & 0xFFFF) != 0)) {
            return -1;
        }
        const int bytes = 3 - pad;
        if (written + bytes > size) {
            return -1;
        }
        for (int k = 0; k < bytes; ++k) {
            out[written++] = static_cast<uint8_t>(group >> (16 - 8 * k));
        }
    }
    return written;
}

int minisign_base64_encode(const uint8_t* data, int length, char* out, int size) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const int need = (length + 2) / 3 * 4;
    if (length < 0 || need + 1 > size) {
        return -1;
    }
    int w = 0;
    for (int at = 0; at < length; at += 3) {
        const int left = length - at;
        uint32_t group = static_cast<uint32_t>(data[at]) << 16;
        if (left > 1) {
            group |= static_cast<uint32_t>(data[at + 1]) << 8;
        }
        if (left > 2) {
            group |= data[at + 2];
        }
        out[w++] = alphabet[(group >> 18) & 63];
        out[w++] = alphabet[(group >> 12) & 63];
        out[w++] = left > 1 ? alphabet[(group >> 6) & 63] : '=';
        out[w++] = left > 2 ? alphabet[group & 63] : '=';
    }
    out[w] = '\0';
    return w;
}

int minisign_parse_public_key(const char* text, int length, minisign_public_key* out,
                              const char** why) {
    line_view lines[2];
    if (text == nullptr || length <= 0 || !split_lines(text, length, lines, 2)) {
        *why = "fewer than two lines";
        return 0;
    }
    if (!starts_with(lines[0], UNTRUSTED_PREFIX)) {
        *why = "no untrusted comment line";
        return 0;
    }
    uint8_t blob[PUBLIC_KEY_BLOB];
    if (!decode_exact(lines[1], blob, PUBLIC_KEY_BLOB)) {
        *why = "the key line is not the base64 of 42 bytes";
        return 0;
    }
    if (memcmp(blob, "Ed", ALG_SIZE) != 0) {
        *why = "unknown key algorithm";
        return 0;
    }
    memcpy(out->key_id, blob + ALG_SIZE, MINISIGN_KEY_ID_SIZE);
    memcpy(out->key, blob + ALG_SIZE + MINISIGN_KEY_ID_SIZE, MINISIGN_KEY_SIZE);
    return 1;
}

int minisign_parse_signature(const char* text, int length, minisign_signature* out,
                             const char** why) {
    line_view lines[4];
    if (text == nullptr || length <= 0 || !split_lines(text, length, lines, 4)) {
        *why = "fewer than four lines";
        return 0;
    }
    if (!starts_with(lines[0], UNTRUSTED_PREFIX)) {
        *why = "no untrusted comment line";
        return 0;
    }
    uint8_t blob[SIGNATURE_BLOB];
    if (!decode_exact(lines[1], blob, SIGNATURE_BLOB)) {
        *why = "the signature line is not the base64 of 74 bytes";
        return 0;
    }
    if (memcmp(blob, "ED", ALG_SIZE) == 0) {
        out->prehashed = 1;
    } else if (memcmp(blob, "Ed", ALG_SIZE) == 0) {
        out->prehashed = 0;
    } else {
        *why = "unknown signature algorithm";
        return 0;
    }
    if (!starts_with(lines[2], TRUSTED_PREFIX)) {
        *why = "no trusted comment line";
        return 0;
    }
    const int prefix = static_cast<int>(strlen(TRUSTED_PREFIX));
    const int comment = lines[2].length - prefix;
    // minisign reads the whole line, prefix and line end included, into
    // its buffer of this size.
    if (lines[2].length + 2 > MINISIGN_TRUSTED_COMMENT_MAX) {
        *why = "trusted comment too long";
        return 0;
    }
    if (!decode_exact(lines[3], out->global_signature, MINISIGN_SIG_SIZE)) {
        *why = "the global signature line is not the base64 of 64 bytes";
        return 0;
    }
    memcpy(out->key_id, blob + ALG_SIZE, MINISIGN_KEY_ID_SIZE);
    memcpy(out->signature, blob + ALG_SIZE + MINISIGN_KEY_ID_SIZE, MINISIGN_SIG_SIZE);
    memcpy(out->trusted_comment, lines[2].start + prefix, static_cast<size_t>(comment));
    out->trusted_comment[comment] = '\0';
    out->trusted_comment_length = comment;
    return 1;
}

void minisign_key_id_text(const uint8_t key_id[MINISIGN_KEY_ID_SIZE],
                          char out[MINISIGN_KEY_ID_TEXT_SIZE]) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < MINISIGN_KEY_ID_SIZE; ++i) {
        const uint8_t b = key_id[MINISIGN_KEY_ID_SIZE - 1 - i];
        out[2 * i] = digits[b >> 4];
        out[2 * i + 1] = digits[b & 15];
    }
    out[MINISIGN_KEY_ID_TEXT_SIZE - 1] = '\0';
}

int minisign_read_small_file(const char* path, int no_follow, char* buf, int size, int* length,
                             const char** why) {
    *length = 0;
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (no_follow) {
        flags |= O_NOFOLLOW;
    }
    scoped_fd fd(open_path(path, flags));
    if (!fd) {
        *why = errno == ENOENT ? "missing" : (errno == ELOOP ? "a symbolic link" : "unreadable");
        return 0;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        return 0;
    }
    int have = 0;
    for (;;) {
        if (have == size) {
            // One byte more tells a file of exactly size bytes from a longer one.
            char extra;
            ssize_t more = read_retry(fd.get(), &extra, 1);
            if (more != 0) {
                *why = more > 0 ? "too large" : "unreadable";
                return 0;
            }
            break;
        }
        ssize_t got = read_retry(fd.get(), buf + have, static_cast<size_t>(size - have));
        if (got < 0) {
            *why = "unreadable";
            return 0;
        }
        if (got == 0) {
            break;
        }
        have += static_cast<int>(got);
    }
    *length = have;
    return 1;
}

int minisign_add_key_file(const char* path, minisign_keyring* ring, const char** why) {
    static_assert(MINISIGN_KEYRING_MAX == 256, "the reason names the limit");
    if (ring->count >= MINISIGN_KEYRING_MAX) {
        *why = "too many keys: the board takes 256";
        return 0;
    }
    static char text[MINISIGN_KEY_FILE_MAX];
    int length = 0;
    if (!minisign_read_small_file(path, 0, text, sizeof(text), &length, why) ||
        !minisign_parse_public_key(text, length, &ring->keys[ring->count], why)) {
        return 0;
    }
    ++ring->count;
    return 1;
}

int minisign_key_file_name(const char* name, const char** why) {
    const size_t n = strlen(name);
    if (name[0] == '.') {
        *why = "a hidden name";
        return 0;
    }
    if (n < 5 || strcasecmp(name + n - 4, ".pub") != 0) {
        *why = "the name does not end in .pub";
        return 0;
    }
    return 1;
}

int minisign_add_key_folder(const char* folder, minisign_keyring* ring,
                            void (*on_skipped)(const char* path, int named_as_key,
                                               const char* why)) {
    scoped_dir dir(opendir(folder));
    if (!dir) {
        return 0;
    }
    const size_t folder_length = strlen(folder);
    const char* slash = folder_length > 0 && folder[folder_length - 1] == '/' ? "" : "/";
    while (struct dirent* e = readdir(dir.get())) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) {
            continue;
        }
        char path[512];
        const char* why = "path too long";
        const int named_as_key = minisign_key_file_name(e->d_name, &why);
        if (snprintf(path, sizeof(path), "%s%s%s", folder, slash, e->d_name) >=
            static_cast<int>(sizeof(path))) {
            why = "path too long";
        } else if (named_as_key && minisign_add_key_file(path, ring, &why)) {
            continue;
        }
        if (on_skipped != nullptr) {
            on_skipped(path, named_as_key, why);
        }
    }
    return 1;
}

int minisign_find_key(const minisign_keyring* ring, const uint8_t key_id[MINISIGN_KEY_ID_SIZE],
                      int after) {
    for (int i = after + 1; i < ring->count; ++i) {
        if (memcmp(ring->keys[i].key_id, key_id, MINISIGN_KEY_ID_SIZE) == 0) {
            return i;
        }
    }
    return -1;
}

int minisign_verify_buffer(const uint8_t* data, uint64_t length, const minisign_signature* sig,
                           const minisign_public_key* key) {
    if (!sig->prehashed) {
        return MINISIGN_LEGACY;
    }
    uint8_t hash[crypto_generichash_blake2b_BYTES_MAX];
    crypto_generichash_blake2b(hash, sizeof(hash), data, length, nullptr, 0);
    const int good =
        crypto_sign_ed25519_verify_detached(sig->signature, hash, sizeof(hash), key->key) == 0;
    return good ? verify_comment(sig, key) : MINISIGN_BAD_SIGNATURE;
}

int minisign_verify_file(const char* path, const minisign_signature* sig,
                         const minisign_public_key* key) {
    if (!sig->prehashed) {
        return MINISIGN_LEGACY;
    }
    scoped_fd fd(open_path(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return MINISIGN_UNREADABLE;
    }
    crypto_generichash_blake2b_state state;
    crypto_generichash_blake2b_init(&state, nullptr, 0, crypto_generichash_blake2b_BYTES_MAX);
    for (;;) {
        ssize_t got = read_retry(fd.get(), g_hash_chunk, sizeof(g_hash_chunk));
        if (got < 0) {
            return MINISIGN_UNREADABLE;
        }
        if (got == 0) {
            break;
        }
        crypto_generichash_blake2b_update(&state, g_hash_chunk,
                                          static_cast<unsigned long long>(got));
    }
    uint8_t hash[crypto_generichash_blake2b_BYTES_MAX];
    crypto_generichash_blake2b_final(&state, hash, sizeof(hash));
    const int good =
        crypto_sign_ed25519_verify_detached(sig->signature, hash, sizeof(hash), key->key) == 0;
    return good ? verify_comment(sig, key) : MINISIGN_BAD_SIGNATURE;
}

int minisign_check_hash(const uint8_t hash[MINISIGN_HASH_SIZE], const minisign_signature* sig,
                        const minisign_keyring* ring, int* key_index) {
    *key_index = -1;
    if (!sig->prehashed) {
        return MINISIGN_UNREADABLE;
    }
    int verdict = MINISIGN_UNKNOWN_KEY;
    for (int at = minisign_find_key(ring, sig->key_id, -1); at >= 0;
         at = minisign_find_key(ring, sig->key_id, at)) {
        const minisign_public_key* key = &ring->keys[at];
        verdict = crypto_sign_ed25519_verify_detached(sig->signature, hash, MINISIGN_HASH_SIZE,
                                                      key->key) == 0
                      ? verify_comment(sig, key)
                      : MINISIGN_BAD_SIGNATURE;
        if (verdict == MINISIGN_GOOD) {
            *key_index = at;
            return verdict;
        }
    }
    return verdict;
}

int minisign_check_file(const char* path, const minisign_signature* sig,
                        const minisign_keyring* ring, int* key_index) {
    *key_index = -1;
    int at = minisign_find_key(ring, sig->key_id, -1);
    if (at < 0) {
        return MINISIGN_UNKNOWN_KEY;
    }
    int verdict = MINISIGN_UNKNOWN_KEY;
    // Two trusted files may carry the same key id: any of them may vouch.
    for (; at >= 0; at = minisign_find_key(ring, sig->key_id, at)) {
        verdict = minisign_verify_file(path, sig, &ring->keys[at]);
        if (verdict == MINISIGN_GOOD || verdict == MINISIGN_UNREADABLE ||
            verdict == MINISIGN_LEGACY) {
            *key_index = verdict == MINISIGN_GOOD ? at : -1;
            return verdict;
        }
    }
    return verdict;
}

int minisign_check_signed_file(const char* signature_path, const char* path,
                               const minisign_keyring* ring, minisign_signature* sig,
                               int* key_index, const char** why) {
    return minisign_check_signed_file_hashed(signature_path, path, nullptr, ring, sig, key_index,
                                             why);
}

int minisign_check_signed_file_hashed(const char* signature_path, const char* path,
                                      const uint8_t* hash, const minisign_keyring* ring,
                                      minisign_signature* sig, int* key_index, const char** why) {
    *key_index = -1;
    *why = "";
    if (ring->count == 0) {
        return MINISIGN_NO_KEYS;
    }
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    int length = 0;
    if (!minisign_read_small_file(signature_path, 1, text, sizeof(text), &length, why)) {
        return strcmp(*why, "missing") == 0 ? MINISIGN_NO_SIGNATURE : MINISIGN_MALFORMED;
    }
    return minisign_check_signature_text(text, length, path, hash, ring, sig, key_index, why);
}

int minisign_check_signature_text(const char* text, int length, const char* path,
                                  const uint8_t* hash, const minisign_keyring* ring,
                                  minisign_signature* sig, int* key_index, const char** why) {
    *key_index = -1;
    *why = "";
    if (!minisign_parse_signature(text, length, sig, why)) {
        return MINISIGN_MALFORMED;
    }
    if (!sig->prehashed) {
        *why = MINISIGN_LEGACY_REASON;
        return MINISIGN_LEGACY;
    }
    if (hash != nullptr) {
        return minisign_check_hash(hash, sig, ring, key_index);
    }
    return minisign_check_file(path, sig, ring, key_index);
}
