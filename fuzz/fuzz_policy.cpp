// The trusted comment's fields, the board file and the ledger on arbitrary
// bytes. A parse is 0 or 1 with a reason for 0; the lists found lie inside
// the comment and hold names only; a sequence is 1 to 2^63-1; a ledger that
// parses is written back to the very same bytes (one text per ledger); the
// readable comment holds no control byte; a decision is taken, or refused
// with a reason.
#include <string.h>

#include "common/test_utility/package_policy.h"
#include "common/test_utility/text_escape.h"
#include "fuzz_support.h"

namespace {

sequence_ledger g_ledger;
sequence_ledger g_again;
char g_text[POLICY_LEDGER_FILE_MAX + 1];
char g_comment[MINISIGN_TRUSTED_COMMENT_MAX];

int names_only(const char* list, int length) {
    for (int i = 0; i < length; ++i) {
        const char c = list[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == ',')) {
            return 0;
        }
    }
    return length > 0 && list[0] != ',' && list[length - 1] != ',';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const int length = static_cast<int>(size < 1 << 16 ? size : 1 << 16);
    char why[POLICY_TEXT_SIZE];

    // Comment fields, on the comment as the board holds it (no NUL, bounded).
    int comment_length = 0;
    while (comment_length < length && comment_length < MINISIGN_TRUSTED_COMMENT_MAX - 1 &&
           text[comment_length] != '\0') {
        g_comment[comment_length] = text[comment_length];
        ++comment_length;
    }
    g_comment[comment_length] = '\0';
    comment_fields f;
    why[0] = '\0';
    const int fields_ok = policy_parse_fields(g_comment, comment_length, &f, why, sizeof(why));
    FUZZ_CHECK(fields_ok == 0 || fields_ok == 1);
    FUZZ_CHECK(fields_ok == 1 || why[0] != '\0');
    if (fields_ok) {
        for (int k = 0; k < 2; ++k) {
            const char* list = k == 0 ? f.boards : f.types;
            const int n = k == 0 ? f.boards_length : f.types_length;
            if (list != nullptr) {
                FUZZ_CHECK(list >= g_comment && list + n <= g_comment + comment_length);
                FUZZ_CHECK(names_only(list, n));
            }
        }
        FUZZ_CHECK(!f.has_sequence || (f.sequence >= 1 && f.sequence <= 0x7FFFFFFFFFFFFFFFull));
    }
    char readable[POLICY_TEXT_SIZE];
    policy_comment_text(g_comment, comment_length, readable, sizeof(readable));
    FUZZ_CHECK(strlen(readable) < sizeof(readable) && !has_control_bytes(readable));

    // Board file.
    board_identity board;
    char board_why[POLICY_TEXT_SIZE] = "";
    const int board_ok =
        policy_parse_board_file(text, length, &board, board_why, sizeof(board_why));
    FUZZ_CHECK(board_ok == 1 || board_why[0] != '\0');
    if (board_ok) {
        const char* values[] = {board.id, board.type};
        for (const char* value : values) {
            FUZZ_CHECK(strlen(value) < POLICY_VALUE_SIZE);
            FUZZ_CHECK(value[0] == '\0' || (names_only(value, static_cast<int>(strlen(value))) &&
                                            strchr(value, ',') == nullptr));
        }
    }

    // Ledger: what parses is its own one text.
    why[0] = '\0';
    const int ledger_ok = policy_parse_ledger(text, length, &g_ledger, why, sizeof(why));
    FUZZ_CHECK(ledger_ok == 1 || why[0] != '\0');
    if (ledger_ok) {
        FUZZ_CHECK(g_ledger.count >= 0 && g_ledger.count <= POLICY_LEDGER_LINES);
        const int n = policy_format_ledger(&g_ledger, g_text, sizeof(g_text));
        FUZZ_CHECK(n == length && memcmp(g_text, text, static_cast<size_t>(n)) == 0);
        FUZZ_CHECK(policy_parse_ledger(g_text, n, &g_again, why, sizeof(why)) == 1);
        FUZZ_CHECK(g_again.count == g_ledger.count);
    }

    // The decision on the comment, with the board and ledger just parsed.
    policy_decision d;
    const uint8_t key_id[MINISIGN_KEY_ID_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
    policy_decide(g_comment, comment_length, key_id,
                  board_ok ? POLICY_FILE_READ : POLICY_FILE_BROKEN, &board, board_why,
                  ledger_ok ? POLICY_FILE_READ : POLICY_FILE_BROKEN, &g_ledger, why, &d);
    FUZZ_CHECK(d.taken == 1 || d.reason[0] != '\0');
    FUZZ_CHECK(!d.taken || !fields_ok || (d.sequenced == f.has_sequence));
    FUZZ_CHECK(!d.taken || fields_ok);
    return 0;
}
