// The parsers of package signatures on arbitrary bytes: a public-key file and
// a signature file. A parse is 0 or 1 with a reason for 0; what parses comes
// back the same when written out again; the file reader agrees with the
// parser of its bytes; a parsed signature can be checked without harm; and
// base64 has one text for each byte string.
#include <stdio.h>
#include <string.h>

#include "common/test_utility/minisign.h"
#include "fuzz_support.h"

namespace {

minisign_signature g_sig;
minisign_signature g_again;
char g_text[MINISIGN_SIGNATURE_FILE_MAX + 1];

int same_signature(const minisign_signature* a, const minisign_signature* b) {
    return a->prehashed == b->prehashed && memcmp(a->key_id, b->key_id, 8) == 0 &&
           memcmp(a->signature, b->signature, 64) == 0 &&
           memcmp(a->global_signature, b->global_signature, 64) == 0 &&
           strcmp(a->trusted_comment, b->trusted_comment) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const int length = static_cast<int>(size < 1 << 20 ? size : 1 << 20);

    // Public key: what parses is written out and parses to the same key.
    minisign_public_key key;
    const char* why = nullptr;
    const int key_ok = minisign_parse_public_key(text, length, &key, &why);
    FUZZ_CHECK(key_ok == 0 || key_ok == 1);
    FUZZ_CHECK(key_ok == 1 || (why != nullptr && why[0] != '\0'));
    if (key_ok) {
        uint8_t blob[42];
        memcpy(blob, "Ed", 2);
        memcpy(blob + 2, key.key_id, 8);
        memcpy(blob + 10, key.key, 32);
        char line[128];
        FUZZ_CHECK(minisign_base64_encode(blob, 42, line, sizeof(line)) == 56);
        char file[200];
        const int n = snprintf(file, sizeof(file), "untrusted comment: k\n%s\n", line);
        minisign_public_key again;
        FUZZ_CHECK(minisign_parse_public_key(file, n, &again, &why) == 1);
        FUZZ_CHECK(memcmp(&again, &key, sizeof(key)) == 0);
    }

    // Signature: the comment is a NUL-free text of its stated length.
    why = nullptr;
    const int sig_ok = minisign_parse_signature(text, length, &g_sig, &why);
    FUZZ_CHECK(sig_ok == 0 || sig_ok == 1);
    FUZZ_CHECK(sig_ok == 1 || (why != nullptr && why[0] != '\0'));
    if (sig_ok) {
        FUZZ_CHECK(g_sig.prehashed == 0 || g_sig.prehashed == 1);
        FUZZ_CHECK(g_sig.trusted_comment_length >= 0 &&
                   g_sig.trusted_comment_length < MINISIGN_TRUSTED_COMMENT_MAX);
        FUZZ_CHECK(strlen(g_sig.trusted_comment) ==
                   static_cast<size_t>(g_sig.trusted_comment_length));
        // Checked against the key parsed above, or a zero key: a verdict,
        // never a crash, and never good for bytes nobody signed; a legacy
        // signature is refused as such.
        minisign_public_key some = {};
        const int verdict = minisign_verify_buffer(data, size, &g_sig, key_ok ? &key : &some);
        FUZZ_CHECK(g_sig.prehashed ? verdict == MINISIGN_BAD_SIGNATURE ||
                                         verdict == MINISIGN_BAD_COMMENT_SIGNATURE
                                   : verdict == MINISIGN_LEGACY);
    }

    // The file reader hands the parser exactly the file's bytes.
    const char* path = fuzz_write_file("input", data, size);
    int read_length = -1;
    const char* read_why = nullptr;
    const int read_ok = minisign_read_small_file(path, 1, g_text, MINISIGN_SIGNATURE_FILE_MAX,
                                                 &read_length, &read_why);
    FUZZ_CHECK(read_ok == (size <= MINISIGN_SIGNATURE_FILE_MAX ? 1 : 0));
    if (read_ok) {
        FUZZ_CHECK(read_length == length && memcmp(g_text, data, size) == 0);
        FUZZ_CHECK(minisign_parse_signature(g_text, read_length, &g_again, &why) == sig_ok);
        FUZZ_CHECK(!sig_ok || same_signature(&g_again, &g_sig));
    }

    // Base64: a text that decodes is the one text of its bytes.
    static uint8_t decoded[1 << 20];
    static char encoded[(1 << 20) / 3 * 4 + 8];
    const int got = minisign_base64_decode(text, length, decoded, sizeof(decoded));
    FUZZ_CHECK(got >= -1 && got <= length);
    if (got >= 0) {
        FUZZ_CHECK(minisign_base64_encode(decoded, got, encoded, sizeof(encoded)) == length);
        FUZZ_CHECK(memcmp(encoded, text, static_cast<size_t>(length)) == 0);
    }
    return 0;
}
