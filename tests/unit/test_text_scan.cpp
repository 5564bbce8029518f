// The forgiving decimal readers behind the settings, pid and /proc parsers.

#include <gtest/gtest.h>

#include <limits.h>

#include <string>

#include "common/test_utility/text_scan.h"

namespace {

struct ScanCase {
    const char* text;
    int converted;
    int value;
    int rest; // characters consumed up to the end of the digits
};

TEST(TextScan, LeadingNumber) {
    const ScanCase cases[] = {
        {"1234", 1, 1234, 4},
        {"  \t\n-5 kB", 1, -5, 6},
        {"+7x", 1, 7, 2},
        {"abc", 0, -1, 0},
        {"", 0, -1, 0},
        {"-", 0, -1, 0},
        {"- 5", 0, -1, 0},
        {"2147483647", 1, 2147483647, 10},
        {"2147483648", 1, 2147483647, 10},
        {"-2147483648", 1, -2147483647 - 1, 11},
        {"-99999999999999999999", 1, -2147483647 - 1, 21},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.text);
        int value = -1;
        const char* end = nullptr;
        EXPECT_EQ(scan_int(c.text, &value, &end), c.converted);
        EXPECT_EQ(value, c.value);
        if (c.converted) {
            EXPECT_EQ(end - c.text, c.rest);
        }
    }
}

TEST(TextScan, DigitsAfterText) {
    const ScanCase cases[] = {
        {"pid 1234 x", 1, 1234, 8},          {"level = -2", 1, 2, 10}, {"VmRSS:\t 0 kB", 1, 0, 9},
        {"12 at start", 0, -1, 0},           {"no digits", 0, -1, 0},  {"", 0, -1, 0},
        {"x99999999999", 1, 2147483647, 12},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.text);
        int value = -1;
        const char* end = nullptr;
        EXPECT_EQ(scan_digits_after_text(c.text, &value, &end), c.converted);
        EXPECT_EQ(value, c.value);
        if (c.converted) {
            EXPECT_EQ(end - c.text, c.rest);
        }
    }
}

// The pieces of a file read chunk by chunk: wherever the text is cut, the
// scan finds what scan_int finds in the whole.
TEST(TextScan, PiecesGiveWhatTheWholeGives) {
    const std::string texts[] = {
        "1234",          "  \t\n-5 kB", "+7x", "abc",  "",      "-",
        "- 5",           "-2147483648", "x12", "\n\n", "12 34", std::string(600, ' ') + "42",
        "99999999999x5", "-0",          "  +", "0007", "5\n6",
    };
    for (const std::string& text : texts) {
        int whole = -1;
        const char* end = nullptr;
        int whole_ok = scan_int(text.c_str(), &whole, &end);
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            SCOPED_TRACE(testing::PrintToString(text) + " cut at " + std::to_string(cut));
            int_scan scan;
            int_scan_start(&scan);
            int taken = int_scan_feed(&scan, text.data(), static_cast<int>(cut));
            taken +=
                int_scan_feed(&scan, text.data() + taken, static_cast<int>(text.size()) - taken);
            int value = -1;
            EXPECT_EQ(int_scan_result(&scan, &value), whole_ok);
            EXPECT_EQ(value, whole);
            if (whole_ok) {
                EXPECT_EQ(text.data() + taken, end) << "the scan takes the number, no more";
            }
        }
    }
}

TEST(TextScan, ScanStateAcrossPieces) {
    int_scan scan;
    int_scan_start(&scan);
    EXPECT_EQ(int_scan_only_blanks(&scan), 1) << "nothing fed yet";
    std::string blanks(100000, ' ');
    EXPECT_EQ(int_scan_feed(&scan, blanks.data(), static_cast<int>(blanks.size())), 100000);
    EXPECT_EQ(int_scan_only_blanks(&scan), 1);
    EXPECT_EQ(int_scan_ended(&scan), 0);
    // A number cut between two pieces, and a third piece after its end.
    EXPECT_EQ(int_scan_feed(&scan, "-12", 3), 3);
    EXPECT_EQ(int_scan_only_blanks(&scan), 0);
    EXPECT_EQ(int_scan_ended(&scan), 0) << "more digits may follow";
    int value = 0;
    EXPECT_EQ(int_scan_result(&scan, &value), 1) << "a text that ends here holds -12";
    EXPECT_EQ(value, -12);
    EXPECT_EQ(int_scan_feed(&scan, "345 6", 5), 3);
    EXPECT_EQ(int_scan_ended(&scan), 1);
    EXPECT_EQ(int_scan_feed(&scan, "789", 3), 0) << "nothing is taken after the end";
    EXPECT_EQ(int_scan_result(&scan, &value), 1);
    EXPECT_EQ(value, -12345);

    // A NUL ends the scan like any byte that cannot begin a number.
    int_scan_start(&scan);
    EXPECT_EQ(int_scan_feed(&scan,
                            " \0"
                            "5",
                            3),
              1);
    EXPECT_EQ(int_scan_ended(&scan), 1);
    EXPECT_EQ(int_scan_only_blanks(&scan), 0);
    value = 77;
    EXPECT_EQ(int_scan_result(&scan, &value), 0);
    EXPECT_EQ(value, 77);

    // Digits beyond any int, fed one by one, saturate.
    int_scan_start(&scan);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(int_scan_feed(&scan, "9", 1), 1);
    }
    EXPECT_EQ(int_scan_result(&scan, &value), 1);
    EXPECT_EQ(value, INT_MAX);
}

} // namespace
