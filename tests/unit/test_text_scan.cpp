// The forgiving decimal readers behind the settings, pid and /proc parsers.

#include <gtest/gtest.h>

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

} // namespace
