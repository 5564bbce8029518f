#include "signature_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <sodium.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "common/test_utility/package_policy.h"
#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/text_escape.h"
#include "files.h"
#include "messages.h"
#include "options.h"
#include "temporaries.h"
#include "ut_pack.h"

namespace {

// minisign's secret-key file, after its comment line: the base64 of
//   "Ed" | "Sc" (or two NUL bytes: not encrypted) | "B2" | salt (32)
//   | scrypt opslimit (8, little-endian) | memlimit (8, little-endian)
//   | key id (8) | secret key (64) | checksum (32)
// where the last 104 bytes are XOR-ed with scrypt's output for the password,
// and the checksum is the BLAKE2b-256 of "Ed" | key id | secret key.
enum {
    SALT_SIZE = crypto_pwhash_scryptsalsa208sha256_SALTBYTES, // 32
    SECRET_SIZE = crypto_sign_SECRETKEYBYTES,                 // 64
    CHECKSUM_SIZE = crypto_generichash_BYTES,                 // 32
    KEYNUM_SK_SIZE = MINISIGN_KEY_ID_SIZE + SECRET_SIZE + CHECKSUM_SIZE,
    SECRET_KEY_BLOB = 6 + SALT_SIZE + 8 + 8 + KEYNUM_SK_SIZE, // 158
    PASSWORD_MAX = 1024,                                      // minisign's limit
    SECRET_KEY_FILE_MAX = 4096,
};

struct secret_key {
    uint8_t key_id[MINISIGN_KEY_ID_SIZE];
    uint8_t secret[SECRET_SIZE];
};

int crypto_ready() {
    if (sodium_init() < 0) {
        error("libsodium failed to start");
        return 0;
    }
    return 1;
}

void store_le64(uint8_t* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint64_t load_le64(const uint8_t* in) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | in[i];
    }
    return v;
}

void secret_checksum(const uint8_t* key_id, const uint8_t* secret, uint8_t* out) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, CHECKSUM_SIZE);
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>("Ed"), 2);
    crypto_generichash_update(&state, key_id, MINISIGN_KEY_ID_SIZE);
    crypto_generichash_update(&state, secret, SECRET_SIZE);
    crypto_generichash_final(&state, out, CHECKSUM_SIZE);
}

// Removes a line end from text read with fgets.
void chomp(char* text) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
        text[--n] = '\0';
    }
}

// Reads the first line of a file as the password.
int password_from_file(const char* path, char* out, int size) {
    scoped_file f(fopen(path, "r"));
    if (!f) {
        error("cannot read the password file %s: %s", esc(path), strerror(errno));
        return 0;
    }
    if (fgets(out, size, f.get()) == nullptr) {
        out[0] = '\0';
    }
    chomp(out);
    return 1;
}

// Asks on the terminal, without echo.
int password_from_terminal(const char* prompt, char* out, int size) {
    scoped_file tty(fopen("/dev/tty", "r+"));
    if (!tty) {
        error("no terminal to ask for the password on: give --password-file FILE");
        return 0;
    }
    const int fd = fileno(tty.get());
    struct termios old;
    const int have_termios = tcgetattr(fd, &old) == 0;
    if (have_termios) {
        struct termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    fputs(prompt, tty.get());
    fflush(tty.get());
    const int got = fgets(out, size, tty.get()) != nullptr;
    if (have_termios) {
        tcsetattr(fd, TCSAFLUSH, &old);
    }
    if (!got) {
        error("no password given");
        return 0;
    }
    chomp(out);
    return 1;
}

// XORs the key id, secret key and checksum with scrypt's stream for the
// password: encrypts and decrypts alike.
int apply_password(uint8_t* blob, const char* password) {
    uint8_t stream[KEYNUM_SK_SIZE];
    const uint8_t* salt = blob + 6;
    const uint64_t ops = load_le64(blob + 6 + SALT_SIZE);
    const uint64_t mem = load_le64(blob + 6 + SALT_SIZE + 8);
    if (ops > SIZE_MAX || mem > SIZE_MAX ||
        crypto_pwhash_scryptsalsa208sha256(stream, sizeof(stream), password, strlen(password), salt,
                                           static_cast<unsigned long long>(ops),
                                           static_cast<size_t>(mem)) != 0) {
        error("cannot derive a key from the password (scrypt opslimit %llu, memlimit %llu)",
              static_cast<unsigned long long>(ops), static_cast<unsigned long long>(mem));
        return 0;
    }
    uint8_t* keynum = blob + SECRET_KEY_BLOB - KEYNUM_SK_SIZE;
    for (int i = 0; i < KEYNUM_SK_SIZE; ++i) {
        keynum[i] ^= stream[i];
    }
    sodium_memzero(stream, sizeof(stream));
    return 1;
}

// The reason of minisign_read_small_file in words for a key file.
const char* key_file_reason(const char* why) {
    return strcmp(why, "missing") == 0 ? "no such file" : why;
}

// The second line of a key file, where the key is: its start and length
// (without its line end), or null.
const char* key_line(const char* text, int length, int* line_length) {
    const char* line = static_cast<const char*>(memchr(text, '\n', static_cast<size_t>(length)));
    if (line == nullptr) {
        return nullptr;
    }
    ++line;
    *line_length = static_cast<int>(text + length - line);
    const char* end =
        static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(*line_length)));
    if (end != nullptr) {
        *line_length = static_cast<int>(end - line);
    }
    if (*line_length > 0 && line[*line_length - 1] == '\r') {
        --*line_length;
    }
    return line;
}

enum { PUBLIC_KEY_BLOB = 2 + MINISIGN_KEY_ID_SIZE + MINISIGN_KEY_SIZE }; // 42

// The number of bytes the key line of a key file carries: PUBLIC_KEY_BLOB
// for a public key, SECRET_KEY_BLOB for a secret one; -1 when it is neither
// or cannot be read.
int key_blob_size(const char* path) {
    static char text[SECRET_KEY_FILE_MAX];
    int length = 0;
    int line_length = 0;
    const char* why = "";
    if (!minisign_read_small_file(path, 0, text, sizeof(text), &length, &why)) {
        return -1;
    }
    const char* line = key_line(text, length, &line_length);
    static uint8_t blob[SECRET_KEY_BLOB + 1];
    const int size =
        line != nullptr ? minisign_base64_decode(line, line_length, blob, sizeof(blob)) : -1;
    sodium_memzero(blob, sizeof(blob));
    sodium_memzero(text, sizeof(text));
    return size;
}

// Reads a secret key in minisign's format, asking for its password when it
// is encrypted. A wrong password is told by the checksum.
int load_secret_key(const char* path, const char* password_file, secret_key* out) {
    static char text[SECRET_KEY_FILE_MAX];
    int length = 0;
    const char* why = "";
    if (!minisign_read_small_file(path, 0, text, sizeof(text), &length, &why)) {
        error("cannot read the secret key %s: %s", esc(path), key_file_reason(why));
        return 0;
    }
    int line_length = 0;
    const char* line = key_line(text, length, &line_length);
    if (line == nullptr) {
        error("%s is not a secret key: no key line", esc(path));
        return 0;
    }
    uint8_t blob[SECRET_KEY_BLOB];
    const int size = minisign_base64_decode(line, line_length, blob, sizeof(blob));
    if (size == PUBLIC_KEY_BLOB) {
        error("%s is a public key, not a secret key: the two keys are swapped; sign with the "
              "secret key of the pair (keygen's first file)",
              esc(path));
        return 0;
    }
    if (size != SECRET_KEY_BLOB) {
        error("%s is not a secret key: its key line is not the base64 of %d bytes", esc(path),
              SECRET_KEY_BLOB);
        return 0;
    }
    if (memcmp(blob, "Ed", 2) != 0 || memcmp(blob + 4, "B2", 2) != 0) {
        error("%s: unsupported signature or checksum algorithm", esc(path));
        return 0;
    }
    const int encrypted = memcmp(blob + 2, "Sc", 2) == 0;
    if (!encrypted && memcmp(blob + 2, "\0\0", 2) != 0) {
        error("%s: unsupported key derivation function", esc(path));
        return 0;
    }
    if (encrypted) {
        static char password[PASSWORD_MAX];
        const int have = password_file != nullptr
                             ? password_from_file(password_file, password, sizeof(password))
                             : password_from_terminal("Password: ", password, sizeof(password));
        if (!have || !apply_password(blob, password)) {
            sodium_memzero(password, sizeof(password));
            return 0;
        }
        sodium_memzero(password, sizeof(password));
    }
    const uint8_t* keynum = blob + SECRET_KEY_BLOB - KEYNUM_SK_SIZE;
    const uint8_t* secret = keynum + MINISIGN_KEY_ID_SIZE;
    const uint8_t* stored = secret + SECRET_SIZE;
    uint8_t computed[CHECKSUM_SIZE];
    secret_checksum(keynum, secret, computed);
    static const uint8_t zero[CHECKSUM_SIZE] = {};
    const int checksum_good = sodium_memcmp(computed, stored, CHECKSUM_SIZE) == 0 ||
                              // minisign leaves it zero in a key without a password.
                              (!encrypted && memcmp(stored, zero, CHECKSUM_SIZE) == 0);
    // The secret key carries its public half: it must be the seed's.
    uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    uint8_t sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, secret);
    const int pair_good = sodium_memcmp(sk, secret, SECRET_SIZE) == 0;
    sodium_memzero(sk, sizeof(sk));
    if (!checksum_good || !pair_good) {
        sodium_memzero(blob, sizeof(blob));
        if (encrypted) {
            error("wrong password for the secret key %s", esc(path));
        } else {
            error("%s: the secret key is damaged (its checksum does not match)", esc(path));
        }
        return 0;
    }
    memcpy(out->key_id, keynum, MINISIGN_KEY_ID_SIZE);
    memcpy(out->secret, secret, SECRET_SIZE);
    sodium_memzero(blob, sizeof(blob));
    return 1;
}

// Writes text to a new file beside path and renames it into place, so that
// a failure (or a signal) never leaves a half-written file under the name.
int write_file_atomically(const char* path, const char* text, mode_t mode) {
    char temp[PATH_MAX];
    const int slot = write_beside(path, text, strlen(text), mode, temp, sizeof(temp));
    return slot >= 0 && move_into_place(slot, temp, path);
}

// The BLAKE2b-512 of a file, read in pieces.
int hash_file(const char* path, uint8_t* hash) {
    scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error("cannot read %s: %s", esc(path), fd ? "not a file" : strerror(errno));
        return 0;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    static uint8_t chunk[65536];
    for (;;) {
        ssize_t got = read(fd.get(), chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error("cannot read %s: %s", esc(path), strerror(errno));
            return 0;
        }
        if (got == 0) {
            break;
        }
        crypto_generichash_update(&state, chunk, static_cast<unsigned long long>(got));
    }
    crypto_generichash_final(&state, hash, crypto_generichash_BYTES_MAX);
    return 1;
}

const char* verdict_text(int verdict) {
    switch (verdict) {
    case MINISIGN_NO_KEYS:
        return "no valid key";
    case MINISIGN_NO_SIGNATURE:
        return "no signature file";
    case MINISIGN_MALFORMED:
        return "malformed signature file";
    case MINISIGN_UNKNOWN_KEY:
        return "no trusted key with its key id";
    case MINISIGN_BAD_SIGNATURE:
        return "bad signature";
    case MINISIGN_BAD_COMMENT_SIGNATURE:
        return "bad trusted-comment signature";
    case MINISIGN_UNREADABLE:
        return "the package cannot be read";
    case MINISIGN_LEGACY:
        return MINISIGN_LEGACY_REASON;
    default:
        return "good";
    }
}

void warn_invalid_key(const char* path, int named_as_key, const char* why) {
    if (named_as_key) {
        warning("%s holds no valid public key: %s", esc(path), why);
    } else {
        warning("%s is not a key file, the board ignores it: %s", esc(path), why);
    }
}

// --board-file and --ledger of verify.
const char* g_board_file;
const char* g_ledger_file;

// The fields of a trusted comment as one line: "fields: boards A,B; sequence
// 7", "fields: none", or why the board refuses them.
void print_fields(const char* comment, int length) {
    comment_fields f;
    char why[POLICY_TEXT_SIZE];
    if (!policy_parse_fields(comment, length, &f, why, sizeof(why))) {
        printf("fields: malformed: %s (the board refuses the package)\n", why);
        return;
    }
    char line[2 * POLICY_TEXT_SIZE] = "";
    if (f.boards != nullptr) {
        snprintf(line, sizeof(line), "boards %.*s", f.boards_length, f.boards);
    }
    if (f.types != nullptr) {
        const size_t n = strlen(line);
        snprintf(line + n, sizeof(line) - n, "%stypes %.*s", n > 0 ? "; " : "", f.types_length,
                 f.types);
    }
    if (f.has_sequence) {
        const size_t n = strlen(line);
        snprintf(line + n, sizeof(line) - n, "%ssequence %llu", n > 0 ? "; " : "",
                 static_cast<unsigned long long>(f.sequence));
    }
    printf("fields: %s\n", line[0] != '\0' ? line : "none (any board, any number of times)");
}

// The board's decision on a package that verified, from the board file and
// the ledger given. 1 when it takes the package in.
int predict_board(const char* package, const minisign_signature* sig) {
    static board_identity board;
    static sequence_ledger ledger;
    char board_why[POLICY_TEXT_SIZE] = "";
    char ledger_why[POLICY_TEXT_SIZE] = "";
    const int board_state =
        policy_read_board_file(g_board_file, &board, board_why, sizeof(board_why));
    if (board_state == POLICY_FILE_ABSENT) {
        error("no board file %s", esc(g_board_file));
        return 0;
    }
    int ledger_state = POLICY_FILE_READ;
    ledger.count = 0;
    if (g_ledger_file != nullptr) {
        ledger_state = policy_read_ledger(g_ledger_file, &ledger, ledger_why, sizeof(ledger_why));
        if (ledger_state == POLICY_FILE_ABSENT) {
            error("no ledger %s", esc(g_ledger_file));
            return 0;
        }
    }
    static policy_decision decision;
    policy_decide(sig->trusted_comment, sig->trusted_comment_length, sig->key_id, board_state,
                  &board, board_why, ledger_state, &ledger, ledger_why, &decision);
    if (!decision.taken) {
        error("%s: the board refuses the package: %s", esc(package), decision.reason);
        return 0;
    }
    if (!g_json_results) {
        printf("%s: the board %s takes it in%s%s\n", esc(package),
               board.id[0] != '\0' ? board.id : "", decision.summary[0] != '\0' ? ": " : "",
               decision.summary);
        if (decision.sequenced && g_ledger_file == nullptr) {
            printf("%s: sequence not checked against a ledger: give --ledger\n", esc(package));
        }
    }
    return 1;
}

// Values joined by commas into out; 0 when they do not fit.
int join_values(const char* const* values, int count, char* out, int size) {
    out[0] = '\0';
    for (int i = 0; i < count; ++i) {
        const size_t n = strlen(out);
        if (snprintf(out + n, static_cast<size_t>(size) - n, "%s%s", i > 0 ? "," : "", values[i]) >=
            size - static_cast<int>(n)) {
            return 0;
        }
    }
    return 1;
}

// The trusted comment to sign: the given one or minisign's default, with
// the fields added. 1 when it is one the board reads; otherwise 0 after an
// error line.
int compose_comment(const char* comment, const field_options* fields, const char* package,
                    char* out, int size) {
    if (comment == nullptr) {
        char name[PATH_MAX];
        base_name(package != nullptr ? package : PACKAGE_NAME, name, sizeof(name));
        snprintf(out, static_cast<size_t>(size), "timestamp:%lld\tfile:%s\thashed",
                 static_cast<long long>(time(nullptr)), name);
    } else if (snprintf(out, static_cast<size_t>(size), "%s", comment) >= size) {
        error("the trusted comment is too long");
        return 0;
    }
    comment_fields given;
    char why[POLICY_TEXT_SIZE];
    if (!policy_parse_fields(out, static_cast<int>(strlen(out)), &given, why, sizeof(why))) {
        error("the trusted comment's fields are malformed: %s", why);
        return 0;
    }
    if (fields == nullptr) {
        return 1;
    }
    // The lists given one value at a time, joined by commas.
    static char boards[MINISIGN_TRUSTED_COMMENT_MAX];
    static char types[MINISIGN_TRUSTED_COMMENT_MAX];
    if (!join_values(fields->boards, fields->board_count, boards, sizeof(boards)) ||
        !join_values(fields->types, fields->type_count, types, sizeof(types))) {
        error("the trusted comment is too long");
        return 0;
    }
    const struct {
        const char* name;
        int present;
        const char* value;
    } added[] = {
        {"boards", given.boards != nullptr, fields->board_count > 0 ? boards : nullptr},
        {"types", given.types != nullptr, fields->type_count > 0 ? types : nullptr},
        {"sequence", given.has_sequence, fields->sequence},
    };
    for (const auto& a : added) {
        if (a.value == nullptr) {
            continue;
        }
        if (a.present) {
            error("the trusted comment already holds the field %s", a.name);
            return 0;
        }
        const size_t n = strlen(out);
        if (snprintf(out + n, static_cast<size_t>(size) - n, "\t%s:%s", a.name, a.value) >=
            size - static_cast<int>(n)) {
            error("the trusted comment is too long");
            return 0;
        }
    }
    if (!policy_parse_fields(out, static_cast<int>(strlen(out)), &given, why, sizeof(why))) {
        error("%s", why);
        return 0;
    }
    return 1;
}

// 1 when the two paths name one file, existing or not: the same folder and
// the same last component.
int same_file(const char* a, const char* b) {
    char folder_a[PATH_MAX];
    char folder_b[PATH_MAX];
    char real_a[PATH_MAX];
    char real_b[PATH_MAX];
    char base_a[PATH_MAX];
    char base_b[PATH_MAX];
    parent_folder(a, folder_a, sizeof(folder_a));
    parent_folder(b, folder_b, sizeof(folder_b));
    base_name(a, base_a, sizeof(base_a));
    base_name(b, base_b, sizeof(base_b));
    if (strcmp(base_a, base_b) != 0) {
        return 0;
    }
    if (realpath(folder_a, real_a) == nullptr || realpath(folder_b, real_b) == nullptr) {
        return strcmp(folder_a, folder_b) == 0;
    }
    return strcmp(real_a, real_b) == 0;
}

// 1 when keygen may write the two keys: two paths, neither of which exists
// (not even as a dangling link); else says why. keygen never overwrites a
// file: an old secret key lost is every board that trusts it lost.
int new_key_paths(const char* secret_path, const char* public_path) {
    if (same_file(secret_path, public_path)) {
        error("%s is given for both keys: the public key would overwrite the secret key; give "
              "two paths (e.g. release.key release.pub)",
              esc(secret_path));
        return 0;
    }
    const char* paths[] = {secret_path, public_path};
    const char* what[] = {"secret", "public"};
    for (int i = 0; i < 2; ++i) {
        struct stat st;
        if (lstat(paths[i], &st) == 0) {
            const int size = S_ISREG(st.st_mode) ? key_blob_size(paths[i]) : -1;
            error("%s exists%s: a file is never overwritten; give the %s key a new path",
                  esc(paths[i]),
                  size == SECRET_KEY_BLOB   ? " and is a secret key"
                  : size == PUBLIC_KEY_BLOB ? " and is a public key"
                                            : "",
                  what[i]);
            return 0;
        }
    }
    return 1;
}

} // namespace

int cmd_keygen(int argc, char** argv) {
    int no_password = 0;
    const char* password_file = nullptr;
    const option options[] = {
        {"--no-password", &no_password, nullptr, nullptr, nullptr, 0},
        {"--password-file", nullptr, &password_file, nullptr, nullptr, 0},
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, 2, &status)) {
        return status;
    }
    if (argc != 2) {
        error("expects [--no-password] [--password-file FILE] SECRET_KEY PUBLIC_KEY");
        return EXIT_USAGE;
    }
    const int encrypt = !no_password;
    const char* secret_path = argv[0];
    const char* public_path = argv[1];
    if (!new_key_paths(secret_path, public_path)) {
        return EXIT_FAILED;
    }
    if (!crypto_ready()) {
        return EXIT_FAILED;
    }
    static char password[PASSWORD_MAX];
    if (encrypt) {
        if (password_file != nullptr) {
            if (!password_from_file(password_file, password, sizeof(password))) {
                return EXIT_FAILED;
            }
        } else {
            static char again[PASSWORD_MAX];
            if (!password_from_terminal("Password: ", password, sizeof(password)) ||
                !password_from_terminal("Password (one more time): ", again, sizeof(again))) {
                return EXIT_FAILED;
            }
            const int same = strcmp(password, again) == 0;
            sodium_memzero(again, sizeof(again));
            if (!same) {
                error("the passwords do not match");
                return EXIT_FAILED;
            }
        }
        if (password[0] == '\0') {
            error("an empty password: use --no-password for a key without one");
            return EXIT_FAILED;
        }
    }

    uint8_t blob[SECRET_KEY_BLOB] = {};
    memcpy(blob, encrypt ? "EdScB2" : "Ed\0\0B2", 6);
    uint8_t* keynum = blob + SECRET_KEY_BLOB - KEYNUM_SK_SIZE;
    uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    randombytes_buf(keynum, MINISIGN_KEY_ID_SIZE);
    crypto_sign_keypair(pk, keynum + MINISIGN_KEY_ID_SIZE);
    secret_checksum(keynum, keynum + MINISIGN_KEY_ID_SIZE,
                    keynum + MINISIGN_KEY_ID_SIZE + SECRET_SIZE);
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisign_key_id_text(keynum, key_id);
    // The public key, before the key id is encrypted with the rest.
    uint8_t public_blob[2 + MINISIGN_KEY_ID_SIZE + MINISIGN_KEY_SIZE];
    memcpy(public_blob, "Ed", 2);
    memcpy(public_blob + 2, keynum, MINISIGN_KEY_ID_SIZE);
    memcpy(public_blob + 2 + MINISIGN_KEY_ID_SIZE, pk, MINISIGN_KEY_SIZE);
    if (encrypt) {
        // minisign's parameters: scrypt's "sensitive" limits (1 GiB).
        randombytes_buf(blob + 6, SALT_SIZE);
        store_le64(blob + 6 + SALT_SIZE, crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE);
        store_le64(blob + 6 + SALT_SIZE + 8, crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE);
        fprintf(stderr, "Deriving a key from the password to encrypt the secret key...\n");
        const int ok = apply_password(blob, password);
        sodium_memzero(password, sizeof(password));
        if (!ok) {
            return EXIT_FAILED;
        }
    }

    // Both files are written under temporary names first, and named only
    // when both are whole: a failure leaves neither.
    static char text[1024];
    char b64[256];
    minisign_base64_encode(blob, sizeof(blob), b64, sizeof(b64));
    snprintf(text, sizeof(text), "untrusted comment: minisign encrypted secret key\n%s\n", b64);
    sodium_memzero(blob, sizeof(blob));
    char secret_temp[PATH_MAX];
    const int secret_slot =
        write_beside(secret_path, text, strlen(text), 0600, secret_temp, sizeof(secret_temp));
    sodium_memzero(text, sizeof(text));
    sodium_memzero(b64, sizeof(b64));
    if (secret_slot < 0) {
        return EXIT_FAILED;
    }
    minisign_base64_encode(public_blob, sizeof(public_blob), b64, sizeof(b64));
    snprintf(text, sizeof(text), "untrusted comment: minisign public key %s\n%s\n", key_id, b64);
    char public_temp[PATH_MAX];
    const int public_slot =
        write_beside(public_path, text, strlen(text), 0644, public_temp, sizeof(public_temp));
    if (public_slot < 0) {
        remove_temporary(secret_slot);
        return EXIT_FAILED;
    }
    // The paths were checked above; a file that appeared since is not
    // replaced either.
    if (!new_key_paths(secret_path, public_path)) {
        remove_temporary(secret_slot);
        remove_temporary(public_slot);
        return EXIT_FAILED;
    }
    if (!move_into_place(secret_slot, secret_temp, secret_path)) {
        remove_temporary(public_slot);
        return EXIT_FAILED;
    }
    if (!move_into_place(public_slot, public_temp, public_path)) {
        return EXIT_FAILED;
    }
    printf("key id %s: secret key %s (%s), public key %s\n", key_id, esc(secret_path),
           encrypt ? "encrypted" : "NOT encrypted", esc(public_path));
    return EXIT_OK;
}

int load_signing_key(const char* secret_path, const char* password_file, signing_key* key) {
    static secret_key loaded;
    if (!crypto_ready() || !load_secret_key(secret_path, password_file, &loaded)) {
        return 0;
    }
    memcpy(key->key_id, loaded.key_id, sizeof(key->key_id));
    memcpy(key->secret, loaded.secret, sizeof(key->secret));
    sodium_memzero(&loaded, sizeof(loaded));
    return 1;
}

void forget_signing_key(signing_key* key) {
    sodium_memzero(key, sizeof(*key));
}

int trusted_comment(const char* comment, const field_options* fields, const char* package,
                    char* out, int size) {
    if (!compose_comment(comment, fields, package, out, size)) {
        return 0;
    }
    const size_t length = strlen(out);
    if (strpbrk(out, "\r\n") != nullptr) {
        error("the trusted comment must be one line%s",
              comment == nullptr ? " (it names the package: rename it)" : "");
        return 0;
    }
    if (length + 20 > MINISIGN_TRUSTED_COMMENT_MAX) {
        error("the trusted comment has %zu bytes; at most %d", length,
              MINISIGN_TRUSTED_COMMENT_MAX - 20);
        return 0;
    }
    return 1;
}

int make_signature(const signing_key* key, const char* comment, const char* file, char* text,
                   int size, char* key_id) {
    uint8_t hash[crypto_generichash_BYTES_MAX];
    if (!hash_file(file, hash)) {
        return 0;
    }
    const size_t comment_length = strlen(comment);
    uint8_t blob[2 + MINISIGN_KEY_ID_SIZE + MINISIGN_SIG_SIZE];
    memcpy(blob, "ED", 2);
    memcpy(blob + 2, key->key_id, MINISIGN_KEY_ID_SIZE);
    uint8_t* signature = blob + 2 + MINISIGN_KEY_ID_SIZE;
    crypto_sign_detached(signature, nullptr, hash, sizeof(hash), key->secret);
    static uint8_t message[MINISIGN_SIG_SIZE + MINISIGN_TRUSTED_COMMENT_MAX];
    memcpy(message, signature, MINISIGN_SIG_SIZE);
    memcpy(message + MINISIGN_SIG_SIZE, comment, comment_length);
    uint8_t global[MINISIGN_SIG_SIZE];
    crypto_sign_detached(global, nullptr, message, MINISIGN_SIG_SIZE + comment_length, key->secret);
    minisign_key_id_text(key->key_id, key_id);

    char signature_b64[128];
    char global_b64[128];
    minisign_base64_encode(blob, sizeof(blob), signature_b64, sizeof(signature_b64));
    minisign_base64_encode(global, sizeof(global), global_b64, sizeof(global_b64));
    snprintf(text, static_cast<size_t>(size),
             "untrusted comment: signature from ut_pack secret key\n%s\ntrusted comment: "
             "%s\n%s\n",
             signature_b64, comment, global_b64);
    return 1;
}

int signature_path_of(const char* package, char* out, int size) {
    if (snprintf(out, static_cast<size_t>(size), "%s.minisig", package) >= size) {
        error("path too long: %s", esc(package));
        return 0;
    }
    return 1;
}

int sign_package(const char* command, const char* secret_path, const char* password_file,
                 const char* comment, const field_options* fields, const char* package) {
    g_command = command;
    static char comment_text[MINISIGN_TRUSTED_COMMENT_MAX];
    char signature_path[PATH_MAX];
    if (!trusted_comment(comment, fields, package, comment_text, sizeof(comment_text)) ||
        !signature_path_of(package, signature_path, sizeof(signature_path))) {
        return 0;
    }
    static signing_key key;
    if (!load_signing_key(secret_path, password_file, &key)) {
        return 0;
    }
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE];
    const int made = make_signature(&key, comment_text, package, text, sizeof(text), key_id);
    forget_signing_key(&key);
    if (!made || !write_file_atomically(signature_path, text, 0644)) {
        return 0;
    }
    printf("%s: signed by key id %s\n", esc(signature_path), key_id);
    return 1;
}

int remove_stale_signature(const char* package) {
    char signature_path[PATH_MAX];
    struct stat st;
    if (!signature_path_of(package, signature_path, sizeof(signature_path))) {
        return 0;
    }
    if (lstat(signature_path, &st) != 0) {
        return 1;
    }
    if (unlink(signature_path) != 0) {
        error("cannot remove %s: %s: it signs the old bytes of %s, and the board refuses the "
              "package with it",
              esc(signature_path), strerror(errno), esc(package));
        return 0;
    }
    warning("removed %s: it signed the old bytes of %s; sign the new ones with ut_pack sign "
            "SECRET_KEY %s",
            esc(signature_path), esc(package), esc(package));
    return 1;
}

int cmd_sign(int argc, char** argv) {
    const char* comment = nullptr;
    const char* password_file = nullptr;
    static field_options fields;
    const option options[] = {
        {"-t", nullptr, &comment, nullptr, nullptr, 0},
        {"--password-file", nullptr, &password_file, nullptr, nullptr, 0},
        FIELD_OPTIONS(fields),
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, sizeof(options) / sizeof(options[0]), &status)) {
        return status;
    }
    if (argc != 2) {
        error("expects [-t COMMENT] [--board ID]... [--type TYPE]... [--sequence N] "
              "[--password-file FILE] SECRET_KEY PACKAGE");
        return EXIT_USAGE;
    }
    return sign_package("sign", argv[0], password_file, comment, &fields, argv[1]) ? EXIT_OK
                                                                                   : EXIT_FAILED;
}

int use_board_files(const char* board_file, const char* ledger_file, int keys_given) {
    if ((board_file != nullptr || ledger_file != nullptr) && keys_given == 0) {
        error("--board-file and --ledger need --key: the board decides on packages that verify");
        return 0;
    }
    if (ledger_file != nullptr && board_file == nullptr) {
        error("--ledger needs --board-file");
        return 0;
    }
    g_board_file = board_file;
    g_ledger_file = ledger_file;
    return 1;
}

int load_public_keys(const char* const* paths, int count, minisign_keyring* ring) {
    int ok = 1;
    for (int i = 0; i < count; ++i) {
        const char* path = paths[i];
        const int before = ring->count;
        struct stat st;
        const char* why = "";
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            if (!minisign_add_key_folder(path, ring, warn_invalid_key)) {
                error("cannot read the keys folder %s: %s", esc(path), strerror(errno));
                ok = 0;
            } else if (ring->count == before) {
                error("%s holds no valid public key: the board refuses every package", esc(path));
                ok = 0;
            }
        } else if (!minisign_add_key_file(path, ring, &why)) {
            if (key_blob_size(path) == SECRET_KEY_BLOB) {
                error("%s is a secret key, not a public key: the two keys are swapped; give the "
                      "public key of the pair (keygen's second file), and never put a secret "
                      "key on a board",
                      esc(path));
            } else if (strcmp(why, "missing") == 0 || strcmp(why, "a symbolic link") == 0 ||
                       strcmp(why, "unreadable") == 0 || strcmp(why, "not a regular file") == 0 ||
                       strcmp(why, "too large") == 0) {
                error("cannot read the public key %s: %s", esc(path), key_file_reason(why));
            } else {
                error("%s is not a public key: %s", esc(path), why);
            }
            ok = 0;
        }
    }
    return ok;
}

int check_signature_for_board(const char* command, const char* package, const char* copy,
                              const minisign_keyring* ring) {
    g_command = command;
    char on_disk[PATH_MAX];
    if (snprintf(on_disk, sizeof(on_disk), "%s.minisig", package) >=
        static_cast<int>(sizeof(on_disk))) {
        error("path too long: %s", esc(package));
        return 0;
    }
    // As the board does: the signature is read once, without following a
    // link, and its text is checked against the package's copy.
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    int length = 0;
    const char* why = "";
    int verdict = MINISIGN_GOOD;
    static minisign_signature sig;
    int key_index = -1;
    if (ring->count == 0) {
        verdict = MINISIGN_NO_KEYS;
    } else if (!minisign_read_small_file(on_disk, 1, text, sizeof(text), &length, &why)) {
        verdict = strcmp(why, "missing") == 0 ? MINISIGN_NO_SIGNATURE : MINISIGN_MALFORMED;
    } else {
        verdict = minisign_check_signature_text(text, length, copy, nullptr, ring, &sig, &key_index,
                                                &why);
    }
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE] = "";
    if (verdict == MINISIGN_GOOD || verdict >= MINISIGN_UNKNOWN_KEY) {
        minisign_key_id_text(sig.key_id, key_id);
    }
    if (verdict != MINISIGN_GOOD) {
        if (verdict == MINISIGN_NO_SIGNATURE) {
            error("%s: the board refuses the package: no signature file %s", esc(package),
                  esc(on_disk));
        } else if (verdict == MINISIGN_MALFORMED) {
            error("%s: the board refuses the package: malformed signature file %s: %s",
                  esc(package), esc(on_disk), why);
        } else if (verdict == MINISIGN_UNKNOWN_KEY) {
            // Which key is needed, and which were given.
            char given[MINISIGN_KEYRING_MAX * (MINISIGN_KEY_ID_TEXT_SIZE + 2)] = "";
            for (int i = 0; i < ring->count; ++i) {
                char id[MINISIGN_KEY_ID_TEXT_SIZE];
                minisign_key_id_text(ring->keys[i].key_id, id);
                if (strstr(given, id) == nullptr) {
                    strcat(given, given[0] != '\0' ? ", " : "");
                    strcat(given, id);
                }
            }
            error("%s: the board refuses the package: %s (key id %s): it is signed by key id "
                  "%s, and the keys given have key id%s %s; give the public key %s, or sign "
                  "with the secret key of one given",
                  esc(package), verdict_text(verdict), key_id, key_id,
                  strchr(given, ',') != nullptr ? "s" : "", given, key_id);
        } else if (key_id[0] != '\0') {
            error("%s: the board refuses the package: %s (key id %s)", esc(package),
                  verdict_text(verdict), key_id);
        } else {
            error("%s: the board refuses the package: %s", esc(package), verdict_text(verdict));
        }
        return 0;
    }
    char comment[512];
    escape_text(sig.trusted_comment, comment, sizeof(comment));
    if (!g_json_results) {
        printf("%s: signature good: key id %s, trusted comment: %s\n", esc(package), key_id,
               comment);
        print_fields(sig.trusted_comment, sig.trusted_comment_length);
    }
    return g_board_file == nullptr || predict_board(package, &sig);
}

int read_signature_facts(const char* package, signature_facts* out) {
    out->state = SIGNATURE_NONE;
    out->why = "";
    out->key_id[0] = '\0';
    out->trusted_comment[0] = '\0';
    if (snprintf(out->file, sizeof(out->file), "%s.minisig", package) >=
        static_cast<int>(sizeof(out->file))) {
        out->state = SIGNATURE_UNREADABLE;
        out->why = "path too long";
        return out->state;
    }
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    static minisign_signature sig;
    int length = 0;
    if (!minisign_read_small_file(out->file, 1, text, sizeof(text), &length, &out->why)) {
        out->state = strcmp(out->why, "missing") == 0 ? SIGNATURE_NONE : SIGNATURE_UNREADABLE;
        return out->state;
    }
    if (!minisign_parse_signature(text, length, &sig, &out->why)) {
        out->state = SIGNATURE_MALFORMED;
        return out->state;
    }
    out->state = SIGNATURE_FOUND;
    out->prehashed = sig.prehashed;
    minisign_key_id_text(sig.key_id, out->key_id);
    memcpy(out->trusted_comment, sig.trusted_comment, sizeof(out->trusted_comment));
    out->trusted_comment_length = sig.trusted_comment_length;
    return out->state;
}

void report_signature_file(const char* package) {
    static signature_facts facts;
    switch (read_signature_facts(package, &facts)) {
    case SIGNATURE_NONE:
        printf("signature: none (a board with keys refuses the package)\n");
        break;
    case SIGNATURE_UNREADABLE:
        printf("signature: %s: %s (a board with keys refuses the package)\n", esc(facts.file),
               facts.why);
        break;
    case SIGNATURE_MALFORMED:
        printf("signature: %s is malformed: %s (a board with keys refuses the package)\n",
               esc(facts.file), facts.why);
        break;
    default:
        if (!facts.prehashed) {
            printf("signature: %s names key id %s (Ed: boards refuse it: %s)\n", esc(facts.file),
                   facts.key_id, MINISIGN_LEGACY_REASON);
            break;
        }
        printf("signature: %s names key id %s (ED; not checked: give --key)\n", esc(facts.file),
               facts.key_id);
        print_fields(facts.trusted_comment, facts.trusted_comment_length);
        break;
    }
}
