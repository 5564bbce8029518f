#include "signature_check.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/minisign.h"
#include "../../common/test_utility/scoped_handle.h"
#include "../../common/test_utility/test_utility.h"

namespace {

enum { PATH_SIZE = 256, NOTE_SIZE = 320 };

char g_note[NOTE_SIZE] = "not checked";

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

void report_invalid_key(const char* path, const char* why) {
    LOG_MSG(LVL_WARNING, "invalid key file: %s: %s", path, why);
}

// Copies the signature file from the device into the temporary folder,
// refusing a link, a special file or an oversized one. 1 when copied.
int copy_signature(const char* from, const char* to, const char** why) {
    int length = 0;
    if (!minisign_read_small_file(from, 1, g_signature_text, sizeof(g_signature_text), &length,
                                  why)) {
        return 0;
    }
    scoped_fd out(open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out || write(out.get(), g_signature_text, static_cast<size_t>(length)) != length ||
        out.close() != 0) {
        *why = "cannot copy it into the temporary folder";
        return 0;
    }
    return 1;
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
    default:
        LOG_MSG(LVL_ERROR, "package refused: cannot read the package copy");
        set_note("refused: cannot read the package copy");
        break;
    }
    return 0;
}

} // namespace

int check_package_signature_with(const char* keys_folder, const char* package, const char* copy) {
    char on_device[PATH_SIZE];
    char signature_copy[PATH_SIZE];
    const int names_fit =
        snprintf(on_device, sizeof(on_device), "%s%s", package, SIGNATURE_SUFFIX) < PATH_SIZE &&
        snprintf(signature_copy, sizeof(signature_copy), "%s%s", copy, SIGNATURE_SUFFIX) <
            PATH_SIZE;

    struct stat st;
    if (stat(keys_folder, &st) != 0 && errno == ENOENT) {
        // No keys: nothing is checked, as on every board before signatures.
        set_note("not checked");
        if (names_fit && lstat(on_device, &st) == 0) {
            LOG_MSG(LVL_INFO, "signature file ignored, no keys folder: %s", on_device);
        }
        return 1;
    }

    // From here on every package must prove itself: any doubt refuses it.
    g_ring.count = 0;
    if (!minisign_add_key_folder(keys_folder, &g_ring, report_invalid_key)) {
        LOG_MSG(LVL_ERROR, "failed to read keys folder: %s", keys_folder);
    }
    if (g_ring.count == 0) {
        return refuse(MINISIGN_NO_KEYS, keys_folder, on_device, "", "");
    }
    if (!names_fit) {
        return refuse(MINISIGN_MALFORMED, keys_folder, package, "file name too long", "");
    }
    const char* why = "";
    if (!copy_signature(on_device, signature_copy, &why)) {
        return refuse(strcmp(why, "missing") == 0 ? MINISIGN_NO_SIGNATURE : MINISIGN_MALFORMED,
                      keys_folder, on_device, why, "");
    }
    // What is checked is the copies: exactly what will be unpacked.
    int key_index = -1;
    const int verdict =
        minisign_check_signed_file(signature_copy, copy, &g_ring, &g_signature, &key_index, &why);
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE] = "";
    if (verdict >= MINISIGN_UNKNOWN_KEY) {
        minisign_key_id_text(g_signature.key_id, key_id);
    }
    if (verdict != MINISIGN_GOOD) {
        return refuse(verdict, keys_folder, on_device, why, key_id);
    }
    minisign_key_id_text(g_signature.key_id, key_id);
    // The comment comes from the stick: the log call and the receipt show
    // its control bytes escaped, each once.
    const char* comment = g_signature.trusted_comment;
    LOG_MSG(LVL_INFO, "package signed by key id %s, trusted comment: %s", key_id, comment);
    set_note("key id %s, trusted comment: %s", key_id, comment);
    delete_test_file(signature_copy);
    return 1;
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
