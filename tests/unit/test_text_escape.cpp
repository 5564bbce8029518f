#include <gtest/gtest.h>

#include "common/test_utility/text_escape.h"

namespace {

struct escape_case {
    const char* text;
    const char* escaped;
    int control;
};

TEST(TextEscape, ControlBytesAndBackslashAreShownAsHex) {
    const escape_case cases[] = {
        {"update.sh", "update.sh", 0},
        {"a\nb", "a\\x0ab", 1},
        {"\x1b[2Jx", "\\x1b[2Jx", 1},
        {"del\x7f", "del\\x7f", 1},
        {"back\\slash", "back\\x5cslash", 0},
        {"\xd0\xbf\xd1\x80", "\xd0\xbf\xd1\x80", 0}, // UTF-8 passes as it is
        {"", "", 0},
    };
    for (const escape_case& c : cases) {
        char out[64];
        EXPECT_EQ(escape_text(c.text, out, sizeof(out)), 1) << c.escaped;
        EXPECT_STREQ(out, c.escaped);
        EXPECT_EQ(has_control_bytes(c.text), c.control) << c.escaped;
    }
}

TEST(TextEscape, AlreadyEscapedTextKeepsItsBackslashes) {
    char out[64];
    EXPECT_EQ(escape_control_bytes("name a\\x0ab\x1b[0m", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "name a\\x0ab\\x1b[0m");
}

TEST(TextEscape, TooSmallABufferNeverCutsAnEscape) {
    char out[6];
    EXPECT_EQ(escape_text("ab\ncd", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "ab"); // "\x0a" would not fit whole
    EXPECT_EQ(escape_text("abcde", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(escape_text("abcdef", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "abcde");
}

} // namespace
