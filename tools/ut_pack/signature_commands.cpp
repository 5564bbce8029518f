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
#include "messages.h"
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
        error("cannot read the password file %s: %s", path, strerror(errno));
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

// Reads a secret key in minisign's format, asking for its password when it
// is encrypted. A wrong password is told by the checksum.
int load_secret_key(const char* path, const char* password_file, secret_key* out) {
    static char text[SECRET_KEY_FILE_MAX];
    int length = 0;
    const char* why = "";
    if (!minisign_read_small_file(path, 0, text, sizeof(text), &length, &why)) {
        error("cannot read the secret key %s: %s", path, why);
        return 0;
    }
    // The second line holds the key.
    const char* line = static_cast<const char*>(memchr(text, '\n', static_cast<size_t>(length)));
    if (line == nullptr) {
        error("%s is not a secret key: no key line", path);
        return 0;
    }
    ++line;
    int line_length = static_cast<int>(text + length - line);
    const char* end =
        static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(line_length)));
    if (end != nullptr) {
        line_length = static_cast<int>(end - line);
    }
    if (line_length > 0 && line[line_length - 1] == '\r') {
        --line_length;
    }
    uint8_t blob[SECRET_KEY_BLOB];
    if (minisign_base64_decode(line, line_length, blob, sizeof(blob)) != SECRET_KEY_BLOB) {
        error("%s is not a secret key: its key line is not the base64 of %d bytes", path,
              SECRET_KEY_BLOB);
        return 0;
    }
    if (memcmp(blob, "Ed", 2) != 0 || memcmp(blob + 4, "B2", 2) != 0) {
        error("%s: unsupported signature or checksum algorithm", path);
        return 0;
    }
    const int encrypted = memcmp(blob + 2, "Sc", 2) == 0;
    if (!encrypted && memcmp(blob + 2, "\0\0", 2) != 0) {
        error("%s: unsupported key derivation function", path);
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
            error("wrong password for the secret key %s", path);
        } else {
            error("%s: the secret key is damaged (its checksum does not match)", path);
        }
        return 0;
    }
    memcpy(out->key_id, keynum, MINISIGN_KEY_ID_SIZE);
    memcpy(out->secret, secret, SECRET_SIZE);
    sodium_memzero(blob, sizeof(blob));
    return 1;
}

// Writes text to a new file beside path and renames it into place, so that
// a failure never leaves a half-written file under the name.
int write_file_atomically(const char* path, const char* text, mode_t mode) {
    char temp[PATH_MAX];
    char copy[PATH_MAX];
    snprintf(copy, sizeof(copy), "%s", path);
    char base_copy[PATH_MAX];
    snprintf(base_copy, sizeof(base_copy), "%s", path);
    if (snprintf(temp, sizeof(temp), "%s/.%s.ut_pack-XXXXXX", dirname(copy), basename(base_copy)) >=
        static_cast<int>(sizeof(temp))) {
        error("path too long: %s", path);
        return 0;
    }
    scoped_fd fd(mkstemp(temp));
    if (!fd) {
        error("cannot write beside %s: %s", path, strerror(errno));
        return 0;
    }
    const size_t n = strlen(text);
    const int ok = fchmod(fd.get(), mode) == 0 &&
                   write(fd.get(), text, n) == static_cast<ssize_t>(n) && fsync(fd.get()) == 0 &&
                   fd.close() == 0 && rename(temp, path) == 0;
    if (!ok) {
        error("cannot write %s: %s", path, strerror(errno));
        unlink(temp);
        return 0;
    }
    return 1;
}

// The BLAKE2b-512 of a file, read in pieces.
int hash_file(const char* path, uint8_t* hash) {
    scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error("cannot read %s: %s", path, fd ? "not a file" : strerror(errno));
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
            error("cannot read %s: %s", path, strerror(errno));
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
        warning("%s holds no valid public key: %s", path, why);
    } else {
        warning("%s is not a key file, the board ignores it: %s", path, why);
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
        error("no board file %s", g_board_file);
        return 0;
    }
    int ledger_state = POLICY_FILE_READ;
    ledger.count = 0;
    if (g_ledger_file != nullptr) {
        ledger_state = policy_read_ledger(g_ledger_file, &ledger, ledger_why, sizeof(ledger_why));
        if (ledger_state == POLICY_FILE_ABSENT) {
            error("no ledger %s", g_ledger_file);
            return 0;
        }
    }
    static policy_decision decision;
    policy_decide(sig->trusted_comment, sig->trusted_comment_length, sig->key_id, board_state,
                  &board, board_why, ledger_state, &ledger, ledger_why, &decision);
    if (!decision.taken) {
        error("%s: the board refuses the package: %s", package, decision.reason);
        return 0;
    }
    printf("%s: the board %s takes it in%s%s\n", package, board.id[0] != '\0' ? board.id : "",
           decision.summary[0] != '\0' ? ": " : "", decision.summary);
    if (decision.sequenced && g_ledger_file == nullptr) {
        printf("%s: sequence not checked against a ledger: give --ledger\n", package);
    }
    return 1;
}

} // namespace

int take_field_option(int argc, char** argv, int* at, field_options* fields) {
    const char* option = argv[*at];
    const int is_board = strcmp(option, "--board") == 0;
    const int is_type = strcmp(option, "--type") == 0;
    const int is_sequence = strcmp(option, "--sequence") == 0;
    if (!is_board && !is_type && !is_sequence) {
        return 0;
    }
    if (*at + 1 >= argc) {
        error("%s needs a value", option);
        return -1;
    }
    const char* value = argv[++*at];
    if (is_sequence) {
        if (fields->sequence != nullptr) {
            error("--sequence given twice");
            return -1;
        }
        fields->sequence = value;
        return 1;
    }
    char* list = is_board ? fields->boards : fields->types;
    const size_t n = strlen(list);
    if (snprintf(list + n, sizeof(fields->boards) - n, "%s%s", n > 0 ? "," : "", value) >=
        static_cast<int>(sizeof(fields->boards) - n)) {
        error("too many %s", option);
        return -1;
    }
    ++(is_board ? fields->board_count : fields->type_count);
    return 1;
}

namespace {

// The trusted comment to sign: the given one or minisign's default, with
// the fields added. 1 when it is one the board reads; otherwise 0 after an
// error line.
int compose_comment(const char* comment, const field_options* fields, const char* package,
                    char* out, int size) {
    if (comment == nullptr) {
        char copy[PATH_MAX];
        snprintf(copy, sizeof(copy), "%s", package != nullptr ? package : "command.f");
        snprintf(out, static_cast<size_t>(size), "timestamp:%lld\tfile:%s\thashed",
                 static_cast<long long>(time(nullptr)), basename(copy));
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
    const struct {
        const char* name;
        int present;
        const char* value;
    } added[] = {
        {"boards", given.boards != nullptr, fields->board_count > 0 ? fields->boards : nullptr},
        {"types", given.types != nullptr, fields->type_count > 0 ? fields->types : nullptr},
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

} // namespace

int check_comment_fields(const char* comment, const field_options* fields) {
    static char text[MINISIGN_TRUSTED_COMMENT_MAX];
    return compose_comment(comment, fields, nullptr, text, sizeof(text));
}

int cmd_keygen(int argc, char** argv) {
    g_command = "keygen";
    int encrypt = 1;
    const char* password_file = nullptr;
    int at = 0;
    while (at < argc && argv[at][0] == '-') {
        if (strcmp(argv[at], "--no-password") == 0) {
            encrypt = 0;
        } else if (strcmp(argv[at], "--password-file") == 0 && at + 1 < argc) {
            password_file = argv[++at];
        } else {
            error("unknown option %s (see ut_pack keygen --help)", argv[at]);
            return EXIT_USAGE;
        }
        ++at;
    }
    if (argc - at != 2) {
        error("expects [--no-password] [--password-file FILE] SECRET_KEY PUBLIC_KEY");
        return EXIT_USAGE;
    }
    const char* secret_path = argv[at];
    const char* public_path = argv[at + 1];
    struct stat st;
    if (stat(secret_path, &st) == 0) {
        error("%s exists: a secret key is never overwritten", secret_path);
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

    static char text[1024];
    char b64[256];
    minisign_base64_encode(blob, sizeof(blob), b64, sizeof(b64));
    snprintf(text, sizeof(text), "untrusted comment: minisign encrypted secret key\n%s\n", b64);
    sodium_memzero(blob, sizeof(blob));
    int ok = write_file_atomically(secret_path, text, 0600);
    sodium_memzero(text, sizeof(text));
    sodium_memzero(b64, sizeof(b64));
    if (!ok) {
        return EXIT_FAILED;
    }
    minisign_base64_encode(public_blob, sizeof(public_blob), b64, sizeof(b64));
    snprintf(text, sizeof(text), "untrusted comment: minisign public key %s\n%s\n", key_id, b64);
    if (!write_file_atomically(public_path, text, 0644)) {
        return EXIT_FAILED;
    }
    printf("key id %s: secret key %s (%s), public key %s\n", key_id, secret_path,
           encrypt ? "encrypted" : "NOT encrypted", public_path);
    return EXIT_OK;
}

int sign_package(const char* command, const char* secret_path, const char* password_file,
                 const char* given_comment, const field_options* fields, const char* package) {
    g_command = command;
    static char comment[MINISIGN_TRUSTED_COMMENT_MAX];
    if (!compose_comment(given_comment, fields, package, comment, sizeof(comment))) {
        return 0;
    }
    const size_t comment_length = strlen(comment);
    if (strpbrk(comment, "\r\n") != nullptr) {
        error("the trusted comment must be one line");
        return 0;
    }
    if (comment_length + 20 > MINISIGN_TRUSTED_COMMENT_MAX) {
        error("the trusted comment has %zu bytes; at most %d", comment_length,
              MINISIGN_TRUSTED_COMMENT_MAX - 20);
        return 0;
    }
    if (!crypto_ready()) {
        return 0;
    }
    static secret_key key;
    if (!load_secret_key(secret_path, password_file, &key)) {
        return 0;
    }
    uint8_t hash[crypto_generichash_BYTES_MAX];
    if (!hash_file(package, hash)) {
        sodium_memzero(&key, sizeof(key));
        return 0;
    }
    uint8_t blob[2 + MINISIGN_KEY_ID_SIZE + MINISIGN_SIG_SIZE];
    memcpy(blob, "ED", 2);
    memcpy(blob + 2, key.key_id, MINISIGN_KEY_ID_SIZE);
    uint8_t* signature = blob + 2 + MINISIGN_KEY_ID_SIZE;
    crypto_sign_detached(signature, nullptr, hash, sizeof(hash), key.secret);
    static uint8_t message[MINISIGN_SIG_SIZE + MINISIGN_TRUSTED_COMMENT_MAX];
    memcpy(message, signature, MINISIGN_SIG_SIZE);
    memcpy(message + MINISIGN_SIG_SIZE, comment, comment_length);
    uint8_t global[MINISIGN_SIG_SIZE];
    crypto_sign_detached(global, nullptr, message, MINISIGN_SIG_SIZE + comment_length, key.secret);
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisign_key_id_text(key.key_id, key_id);
    sodium_memzero(&key, sizeof(key));

    char signature_b64[128];
    char global_b64[128];
    minisign_base64_encode(blob, sizeof(blob), signature_b64, sizeof(signature_b64));
    minisign_base64_encode(global, sizeof(global), global_b64, sizeof(global_b64));
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    snprintf(text, sizeof(text),
             "untrusted comment: signature from ut_pack secret key\n%s\ntrusted comment: "
             "%s\n%s\n",
             signature_b64, comment, global_b64);
    char signature_path[PATH_MAX];
    if (snprintf(signature_path, sizeof(signature_path), "%s.minisig", package) >=
        static_cast<int>(sizeof(signature_path))) {
        error("path too long: %s", package);
        return 0;
    }
    if (!write_file_atomically(signature_path, text, 0644)) {
        return 0;
    }
    printf("%s: signed by key id %s\n", signature_path, key_id);
    return 1;
}

int cmd_sign(int argc, char** argv) {
    g_command = "sign";
    const char* comment = nullptr;
    const char* password_file = nullptr;
    static field_options fields;
    int at = 0;
    while (at < argc && argv[at][0] == '-') {
        const int taken = take_field_option(argc, argv, &at, &fields);
        if (taken < 0) {
            return EXIT_USAGE;
        }
        if (taken > 0) {
            ++at;
            continue;
        }
        if (strcmp(argv[at], "-t") == 0 && at + 1 < argc) {
            comment = argv[++at];
        } else if (strcmp(argv[at], "--password-file") == 0 && at + 1 < argc) {
            password_file = argv[++at];
        } else {
            error("unknown option %s (see ut_pack sign --help)", argv[at]);
            return EXIT_USAGE;
        }
        ++at;
    }
    if (argc - at != 2) {
        error("expects [-t COMMENT] [--board ID]... [--type TYPE]... [--sequence N] "
              "[--password-file FILE] SECRET_KEY PACKAGE");
        return EXIT_USAGE;
    }
    return sign_package("sign", argv[at], password_file, comment, &fields, argv[at + 1])
               ? EXIT_OK
               : EXIT_FAILED;
}

int take_key_options(const char* command, int* argc, char** argv, minisign_keyring* ring,
                     int* keys_given) {
    g_command = command;
    *keys_given = 0;
    int ok = 1;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        const int board_file = strcmp(argv[i], "--board-file") == 0;
        if ((board_file || strcmp(argv[i], "--ledger") == 0) && i + 1 < *argc) {
            (board_file ? g_board_file : g_ledger_file) = argv[++i];
            continue;
        }
        if (strcmp(argv[i], "--key") != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        if (i + 1 >= *argc) {
            error("--key needs a public-key file or a folder of them");
            return 0;
        }
        const char* path = argv[++i];
        ++*keys_given;
        const int before = ring->count;
        struct stat st;
        const char* why = "";
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            if (!minisign_add_key_folder(path, ring, warn_invalid_key)) {
                error("cannot read the keys folder %s: %s", path, strerror(errno));
                ok = 0;
            } else if (ring->count == before) {
                error("%s holds no valid public key: the board refuses every package", path);
                ok = 0;
            }
        } else if (!minisign_add_key_file(path, ring, &why)) {
            error("%s is not a public key: %s", path, why);
            ok = 0;
        }
    }
    *argc = kept;
    if ((g_board_file != nullptr || g_ledger_file != nullptr) && *keys_given == 0) {
        error("--board-file and --ledger need --key: the board decides on packages that verify");
        return 0;
    }
    if (g_ledger_file != nullptr && g_board_file == nullptr) {
        error("--ledger needs --board-file");
        return 0;
    }
    return ok;
}

int check_signature_for_board(const char* command, const char* package, const char* folder,
                              const char* copy, const minisign_keyring* ring) {
    g_command = command;
    char on_disk[PATH_MAX];
    char signature_copy[PATH_MAX];
    if (snprintf(on_disk, sizeof(on_disk), "%s.minisig", package) >=
            static_cast<int>(sizeof(on_disk)) ||
        snprintf(signature_copy, sizeof(signature_copy), "%scommand.f.minisig", folder) >=
            static_cast<int>(sizeof(signature_copy))) {
        error("path too long: %s", package);
        return 0;
    }
    // As the board does: the signature is read without following a link,
    // copied beside the package's copy, and the copies are checked.
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    int length = 0;
    const char* why = "";
    int verdict = MINISIGN_GOOD;
    if (ring->count == 0) {
        verdict = MINISIGN_NO_KEYS;
    } else if (!minisign_read_small_file(on_disk, 1, text, sizeof(text), &length, &why)) {
        verdict = strcmp(why, "missing") == 0 ? MINISIGN_NO_SIGNATURE : MINISIGN_MALFORMED;
    } else {
        scoped_fd out(open(signature_copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!out || write(out.get(), text, static_cast<size_t>(length)) != length ||
            out.close() != 0) {
            error("cannot copy %s: %s", on_disk, strerror(errno));
            return 0;
        }
    }
    static minisign_signature sig;
    int key_index = -1;
    if (verdict == MINISIGN_GOOD) {
        verdict = minisign_check_signed_file(signature_copy, copy, ring, &sig, &key_index, &why);
    }
    unlink(signature_copy);
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE] = "";
    if (verdict == MINISIGN_GOOD || verdict >= MINISIGN_UNKNOWN_KEY) {
        minisign_key_id_text(sig.key_id, key_id);
    }
    if (verdict != MINISIGN_GOOD) {
        if (verdict == MINISIGN_NO_SIGNATURE) {
            error("%s: the board refuses the package: no signature file %s", package, on_disk);
        } else if (verdict == MINISIGN_MALFORMED) {
            error("%s: the board refuses the package: malformed signature file %s: %s", package,
                  on_disk, why);
        } else if (key_id[0] != '\0') {
            error("%s: the board refuses the package: %s (key id %s)", package,
                  verdict_text(verdict), key_id);
        } else {
            error("%s: the board refuses the package: %s", package, verdict_text(verdict));
        }
        return 0;
    }
    char comment[512];
    escape_text(sig.trusted_comment, comment, sizeof(comment));
    printf("%s: signature good: key id %s, trusted comment: %s\n", package, key_id, comment);
    print_fields(sig.trusted_comment, sig.trusted_comment_length);
    return g_board_file == nullptr || predict_board(package, &sig);
}

void report_signature_file(const char* package) {
    char on_disk[PATH_MAX];
    if (snprintf(on_disk, sizeof(on_disk), "%s.minisig", package) >=
        static_cast<int>(sizeof(on_disk))) {
        return;
    }
    static char text[MINISIGN_SIGNATURE_FILE_MAX];
    static minisign_signature sig;
    int length = 0;
    const char* why = "";
    if (!minisign_read_small_file(on_disk, 1, text, sizeof(text), &length, &why)) {
        if (strcmp(why, "missing") == 0) {
            printf("signature: none (a board with keys refuses the package)\n");
        } else {
            printf("signature: %s: %s (a board with keys refuses the package)\n", on_disk, why);
        }
        return;
    }
    if (!minisign_parse_signature(text, length, &sig, &why)) {
        printf("signature: %s is malformed: %s (a board with keys refuses the package)\n", on_disk,
               why);
        return;
    }
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisign_key_id_text(sig.key_id, key_id);
    if (!sig.prehashed) {
        printf("signature: %s names key id %s (Ed: boards refuse it: %s)\n", on_disk, key_id,
               MINISIGN_LEGACY_REASON);
        return;
    }
    printf("signature: %s names key id %s (ED; not checked: give --key)\n", on_disk, key_id);
    print_fields(sig.trusted_comment, sig.trusted_comment_length);
}
