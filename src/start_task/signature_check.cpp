#include "signature_check.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/minisign.h"
#include "../../common/test_utility/package_policy.h"
#include "../../common/test_utility/scoped_handle.h"
#include "../../common/test_utility/test_utility.h"

namespace {

enum { PATH_SIZE = 256, NOTE_SIZE = 1024 };

char g_note[NOTE_SIZE] = "not checked";

char g_board_file[PATH_SIZE] = POLICY_BOARD_FILE;
char g_ledger_folder[PATH_SIZE] = POLICY_LEDGER_FOLDER;

// The ledger as read at the check, and the sequence to write into it once
// the work list was read.
sequence_ledger g_ledger;
policy_decision g_decision;
int g_sequence_pending;
uint8_t g_pending_key_id[MINISIGN_KEY_ID_SIZE];

// Large enough to be kept out of the stack.
minisign_keyring g_ring;
minisign_signature g_signature;
char g_signature_text[MINISIGN_SIGNATURE_FILE_MAX];

__attribute__((format(printf, 1, 2))) void set_note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(g_note, sizeof(g_note), format, args);
    va_end(args);
}

// The hash of the copy being written; 1 while it is being taken.
crypto_generichash_blake2b_state g_copy_hash;
int g_copy_hashing = 0;

void report_skipped_entry(const char* path, int named_as_key, const char* why) {
    if (named_as_key) {
        LOG_MSG(LVL_WARNING, "invalid key file: %s: %s", path, why);
    } else {
        LOG_MSG(LVL_WARNING, "not a key file, ignored: %s: %s", path, why);
    }
}

enum { FOLDER_ABSENT, FOLDER_THERE, FOLDER_BROKEN };

// What stands at a name on the way to the keys. Only a name that does not
// exist at all is absent: a link whose target is missing (a data partition
// not mounted yet), a link loop or a file is broken, and fails closed. A link
// to a folder is that folder.
int folder_state(const char* name, const char** why) {
    struct stat st;
    if (lstat(name, &st) != 0) {
        if (errno == ENOENT) {
            return FOLDER_ABSENT;
        }
        *why = strerror(errno);
        return FOLDER_BROKEN;
    }
    if (S_ISDIR(st.st_mode)) {
        return FOLDER_THERE;
    }
    if (!S_ISLNK(st.st_mode)) {
        *why = "not a folder";
        return FOLDER_BROKEN;
    }
    if (stat(name, &st) != 0) {
        *why = errno == ENOENT  ? "a link whose target is missing"
               : errno == ELOOP ? "a link loop"
                                : "a link that cannot be followed";
        return FOLDER_BROKEN;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = "a link to something that is not a folder";
        return FOLDER_BROKEN;
    }
    return FOLDER_THERE;
}

// The state of the keys folder and of the folder that holds it, each looked
// at by its name without the trailing "/" (with it, lstat follows a link).
// *name gets the name that is broken.
int keys_folder_state(const char* keys_folder, char* name, int size, const char** why) {
    if (snprintf(name, static_cast<size_t>(size), "%s", keys_folder) >= size) {
        *why = "name too long";
        return FOLDER_BROKEN;
    }
    size_t n = strlen(name);
    while (n > 1 && name[n - 1] == '/') {
        name[--n] = '\0';
    }
    char* last = strrchr(name, '/');
    if (last != nullptr && last != name) {
        *last = '\0';
        const int above = folder_state(name, why);
        if (above != FOLDER_THERE) {
            return above;
        }
        *last = '/';
    }
    return folder_state(name, why);
}

// The level-1 line and the note of a refused package.
int refuse(int verdict, const char* keys_folder, const char* on_device, const char* why,
           const char* key_id) {
    switch (verdict) {
    case MINISIGN_NO_KEYS:
        LOG_MSG(LVL_ERROR, "package refused: no valid key in %s", keys_folder);
        set_note("refused: no valid key on the board");
        break;
    case MINISIGN_NO_SIGNATURE:
        LOG_MSG(LVL_ERROR, "package refused: no signature file: %s", on_device);
        set_note("refused: no signature file");
        break;
    case MINISIGN_MALFORMED:
        LOG_MSG(LVL_ERROR, "package refused: malformed signature file: %s: %s", on_device, why);
        set_note("refused: malformed signature file: %s", why);
        break;
    case MINISIGN_UNKNOWN_KEY:
        LOG_MSG(LVL_ERROR, "package refused: no trusted key with key id %s", key_id);
        set_note("refused: no trusted key with key id %s", key_id);
        break;
    case MINISIGN_BAD_SIGNATURE:
        LOG_MSG(LVL_ERROR, "package refused: bad signature by key id %s", key_id);
        set_note("refused: bad signature by key id %s", key_id);
        break;
    case MINISIGN_BAD_COMMENT_SIGNATURE:
        LOG_MSG(LVL_ERROR, "package refused: bad trusted-comment signature by key id %s", key_id);
        set_note("refused: bad trusted-comment signature by key id %s", key_id);
        break;
    case MINISIGN_LEGACY:
        LOG_MSG(LVL_ERROR, "package refused: %s (key id %s)", MINISIGN_LEGACY_REASON, key_id);
        set_note("refused: %s (key id %s)", MINISIGN_LEGACY_REASON, key_id);
        break;
    default:
        LOG_MSG(LVL_ERROR, "package refused: cannot read the package copy");
        set_note("refused: cannot read the package copy");
        break;
    }
    return 0;
}

// The ledger's folder: absent (an empty ledger; the folder is made when the
// ledger is first written), or a folder only the daemon's user can write.
int ledger_folder_state(char* why, int size) {
    char name[PATH_SIZE];
    snprintf(name, sizeof(name), "%s", g_ledger_folder);
    size_t n = strlen(name);
    while (n > 1 && name[n - 1] == '/') {
        name[--n] = '\0';
    }
    struct stat st;
    if (lstat(name, &st) != 0) {
        if (errno == ENOENT) {
            return POLICY_FILE_ABSENT;
        }
        snprintf(why, static_cast<size_t>(size), "%s: %s", name, strerror(errno));
        return POLICY_FILE_BROKEN;
    }
    if (!S_ISDIR(st.st_mode)) {
        snprintf(why, static_cast<size_t>(size), "%s is not a folder", name);
        return POLICY_FILE_BROKEN;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        snprintf(why, static_cast<size_t>(size), "%s can be written by others than root", name);
        return POLICY_FILE_BROKEN;
    }
    return POLICY_FILE_READ;
}

// The board's decision on the trusted comment's fields of a package that
// verified: its board file, its ledger. 1 when taken in.
int decide_for_this_board(const char* key_id, const char* comment) {
    static board_identity board;
    char board_why[POLICY_TEXT_SIZE] = "";
    const int board_state =
        policy_read_board_file(g_board_file, &board, board_why, sizeof(board_why));
    char ledger_why[POLICY_TEXT_SIZE] = "";
    int ledger_state = ledger_folder_state(ledger_why, sizeof(ledger_why));
    g_ledger.count = 0;
    if (ledger_state == POLICY_FILE_READ) {
        char path[PATH_SIZE];
        if (snprintf(path, sizeof(path), "%s%s", g_ledger_folder, POLICY_LEDGER_NAME) >=
            static_cast<int>(sizeof(path))) {
            snprintf(ledger_why, sizeof(ledger_why), "name too long");
            ledger_state = POLICY_FILE_BROKEN;
        } else {
            ledger_state = policy_read_ledger(path, &g_ledger, ledger_why, sizeof(ledger_why));
        }
    }
    policy_decide(g_signature.trusted_comment, g_signature.trusted_comment_length,
                  g_signature.key_id, board_state, &board, board_why, ledger_state, &g_ledger,
                  ledger_why, &g_decision);
    if (!g_decision.taken) {
        LOG_MSG(LVL_ERROR, "package refused: %s", g_decision.reason);
        set_note("refused: %s", g_decision.reason);
        return 0;
    }
    if (g_decision.summary[0] != '\0') {
        LOG_MSG(LVL_INFO, "package made for this board: %s", g_decision.summary);
    }
    set_note("key id %s%s%s%s%s", key_id, comment[0] != '\0' ? ", " : "", comment,
             g_decision.summary[0] != '\0' ? "; " : "", g_decision.summary);
    g_sequence_pending = g_decision.sequenced;
    memcpy(g_pending_key_id, g_signature.key_id, MINISIGN_KEY_ID_SIZE);
    return 1;
}

} // namespace

void set_package_policy_paths(const char* board_file, const char* ledger_folder) {
    snprintf(g_board_file, sizeof(g_board_file), "%s", board_file);
    snprintf(g_ledger_folder, sizeof(g_ledger_folder), "%s", ledger_folder);
}

int commit_package_sequence() {
    if (!g_sequence_pending) {
        return 1;
    }
    g_sequence_pending = 0;
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisign_key_id_text(g_pending_key_id, key_id);
    const unsigned long long sequence = static_cast<unsigned long long>(g_decision.sequence);
    char why[POLICY_TEXT_SIZE] = "";
    int written = policy_ledger_set(&g_ledger, g_pending_key_id, g_decision.sequence);
    if (!written) {
        snprintf(why, sizeof(why), "the ledger is full");
    } else {
        char name[PATH_SIZE];
        snprintf(name, sizeof(name), "%s", g_ledger_folder);
        // Made on first use; the folder above must be there.
        if (mkdir(name, 0700) != 0 && errno != EEXIST) {
            snprintf(why, sizeof(why), "cannot make %s: %s", name, strerror(errno));
            written = 0;
        } else if (ledger_folder_state(why, sizeof(why)) != POLICY_FILE_READ) {
            written = 0;
        } else {
            written = policy_write_ledger(g_ledger_folder, POLICY_LEDGER_NAME, &g_ledger, why,
                                          sizeof(why));
        }
    }
    if (!written) {
        LOG_MSG(LVL_ERROR,
                "package refused: sequence %llu of key id %s: the ledger cannot be written: %s",
                sequence, key_id, why);
        set_note("refused: sequence %llu of key id %s: the ledger cannot be written: %s", sequence,
                 key_id, why);
        return 0;
    }
    LOG_MSG(LVL_INFO, "sequence %llu of key id %s taken in; it will not run again on this board",
            sequence, key_id);
    const size_t used = strlen(g_note);
    snprintf(g_note + used, sizeof(g_note) - used,
             "; sequence %llu taken in; it will not run again on this board", sequence);
    return 1;
}

void warn_if_ledger_forgets() {
    static board_identity board;
    char why[POLICY_TEXT_SIZE];
    if (policy_read_board_file(g_board_file, &board, why, sizeof(why)) != POLICY_FILE_READ ||
        !board.require_sequence) {
        return;
    }
    // The ledger's folder, or the one it would be made in.
    char name[PATH_SIZE];
    snprintf(name, sizeof(name), "%s", g_ledger_folder);
    struct statfs fs;
    while (statfs(name, &fs) != 0) {
        char* last = strrchr(name, '/');
        if (last == nullptr || last == name) {
            return;
        }
        *last = '\0';
    }
    const unsigned long tmpfs_magic = 0x01021994;
    const unsigned long ramfs_magic = 0x858458f6;
    const unsigned long type = static_cast<unsigned long>(fs.f_type);
    if (type == tmpfs_magic || type == ramfs_magic) {
        LOG_MSG(LVL_WARNING,
                "ledger folder %s is on a tmpfs: every sequence taken in is forgotten at the "
                "next boot, and an old sequenced package runs again",
                g_ledger_folder);
    }
}

int check_package_signature_with(const char* keys_folder, const char* package, const char* copy) {
    char on_device[PATH_SIZE];
    const int names_fit =
        snprintf(on_device, sizeof(on_device), "%s%s", package, SIGNATURE_SUFFIX) < PATH_SIZE;

    g_sequence_pending = 0;
    // The hash taken while the copy was written, if it was.
    uint8_t copy_hash[MINISIGN_HASH_SIZE];
    const int hashed = g_copy_hashing;
    if (hashed) {
        crypto_generichash_blake2b_final(&g_copy_hash, copy_hash, sizeof(copy_hash));
        g_copy_hashing = 0;
    }
    char folder[PATH_SIZE];
    const char* broken = "";
    const int state = keys_folder_state(keys_folder, folder, sizeof(folder), &broken);
    if (state == FOLDER_ABSENT) {
        // No keys: nothing is checked, as on every board before signatures.
        set_note("not checked");
        struct stat st;
        if (names_fit && lstat(on_device, &st) == 0) {
            LOG_MSG(LVL_INFO, "signature file ignored, no keys folder: %s", on_device);
        }
        return 1;
    }

    // From here on every package must prove itself: any doubt refuses it.
    if (state == FOLDER_BROKEN) {
        LOG_MSG(LVL_ERROR, "package refused: keys folder unusable: %s: %s", folder, broken);
        set_note("refused: keys folder unusable: %s: %s", folder, broken);
        return 0;
    }
    g_ring.count = 0;
    if (!minisign_add_key_folder(keys_folder, &g_ring, report_skipped_entry)) {
        const char* why = strerror(errno);
        LOG_MSG(LVL_ERROR, "package refused: keys folder unusable: %s: cannot be read: %s",
                keys_folder, why);
        set_note("refused: keys folder unusable: %s: cannot be read: %s", keys_folder, why);
        return 0;
    }
    if (g_ring.count == 0) {
        return refuse(MINISIGN_NO_KEYS, keys_folder, on_device, "", "");
    }
    if (!names_fit) {
        return refuse(MINISIGN_MALFORMED, keys_folder, package, "file name too long", "");
    }
    // The signature file is read once, refusing a link, a special file or an
    // oversized one; its bytes are checked as read.
    const char* why = "";
    int length = 0;
    if (!minisign_read_small_file(on_device, 1, g_signature_text, sizeof(g_signature_text), &length,
                                  &why)) {
        return refuse(strcmp(why, "missing") == 0 ? MINISIGN_NO_SIGNATURE : MINISIGN_MALFORMED,
                      keys_folder, on_device, why, "");
    }
    // What is checked is the package's copy: exactly what will be unpacked.
    int key_index = -1;
    const int verdict =
        minisign_check_signature_text(g_signature_text, length, copy, hashed ? copy_hash : nullptr,
                                      &g_ring, &g_signature, &key_index, &why);
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE] = "";
    if (verdict >= MINISIGN_UNKNOWN_KEY) {
        minisign_key_id_text(g_signature.key_id, key_id);
    }
    if (verdict != MINISIGN_GOOD) {
        return refuse(verdict, keys_folder, on_device, why, key_id);
    }
    minisign_key_id_text(g_signature.key_id, key_id);
    // The comment comes from the stick: the log call shows its control bytes
    // escaped, once; the receipt shows it readably (policy_comment_text).
    const char* comment = g_signature.trusted_comment;
    LOG_MSG(LVL_INFO, "package signed by key id %s, trusted comment: %s", key_id, comment);
    char readable[POLICY_TEXT_SIZE];
    policy_comment_text(g_signature.trusted_comment, g_signature.trusted_comment_length, readable,
                        sizeof(readable));
    return decide_for_this_board(key_id, readable);
}

int signatures_checked_with(const char* keys_folder) {
    char folder[PATH_SIZE];
    const char* why = "";
    return keys_folder_state(keys_folder, folder, sizeof(folder), &why) == FOLDER_ABSENT ? 0 : 1;
}

int signatures_checked() {
    return signatures_checked_with(UT_KEYS_FOLDER);
}

void package_hash_begin() {
    crypto_generichash_blake2b_init(&g_copy_hash, nullptr, 0, MINISIGN_HASH_SIZE);
    g_copy_hashing = 1;
}

void package_hash_feed(void*, const unsigned char* bytes, size_t size) {
    crypto_generichash_blake2b_update(&g_copy_hash, bytes, static_cast<unsigned long long>(size));
}

int check_package_signature(const char* package, const char* copy) {
    return check_package_signature_with(UT_KEYS_FOLDER, package, copy);
}

void remove_package_signature(const char* package) {
    char on_device[PATH_SIZE];
    struct stat st;
    if (snprintf(on_device, sizeof(on_device), "%s%s", package, SIGNATURE_SUFFIX) >= PATH_SIZE ||
        lstat(on_device, &st) != 0) {
        return;
    }
    if (unlink(on_device) != 0) {
        LOG_MSG(LVL_ERROR, "failed to delete signature from usb: %s", on_device);
    }
}

const char* signature_note() {
    return g_note;
}
