// The log settings file: default file, forgiving parser, value ranges, and
// what is not a settings file under its name.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/log/log_c.h"
#include "test_support.h"

using ut_test::read_file;
using ut_test::write_file;

namespace {

class LogSettings : public ut_test::TempDirTest {};

struct SettingsCase {
    const char* name;
    const char* file;
    int level;
    int rotate;
    int max_size;
};

void PrintTo(const SettingsCase& c, std::ostream* os) {
    *os << c.name;
}

class LogSettingsParse : public LogSettings, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(LogSettingsParse, FileGivesSettings) {
    const SettingsCase& c = GetParam();
    write_file(path(LOG_SETTINGS_FILE), c.file);
    ASSERT_EQ(InitSettings(), 1);
    EXPECT_EQ(gLSett.level, c.level);
    EXPECT_EQ(gLSett.rotate, c.rotate);
    EXPECT_EQ(gLSett.max_size, c.max_size);
    // An existing file is never rewritten.
    EXPECT_EQ(read_file(path(LOG_SETTINGS_FILE)), c.file);
}

const std::string long_line = std::string(515, 'x') + "rotate = 7\n";

const SettingsCase settings_cases[] = {
    {"empty", "", 1, 5, 1024},
    {"upper_case_key", "LEVEL=3", 3, 5, 1024},
    {"level_out_of_range", "Level = 7", 1, 5, 1024},
    {"level_without_number_keeps_value", "level = 3\nlevel\n", 3, 5, 1024},
    {"minus_after_key_is_skipped", "level = -2", 2, 5, 1024},
    {"number_first", "4 level", 4, 5, 1024},
    {"level_zero", "level = 0", 0, 5, 1024},
    {"rotate_zero", "rotate = 0", 1, 5, 1024},
    {"rotate_above", "rotate = 20", 1, 15, 1024},
    {"rotate_top", "rotate = 15", 1, 15, 1024},
    {"mb", "max_size = 2MB", 1, 5, 2097152},
    {"mb_with_blanks", "max_size = 2 m b", 1, 5, 2097152},
    {"mb_above_limit", "max_size = 10mb", 1, 5, 5242880},
    {"kb", "max_size = 512kb", 1, 5, 524288},
    {"kb_upper", "max_size = 5000 KB", 1, 5, 5120000},
    {"bytes_below_minimum", "max_size = 100", 1, 5, 1024},
    {"unknown_unit_is_bytes", "max_size = 3gb", 1, 5, 1024},
    {"zero_mb", "max_size = 0mb", 1, 5, 1024},
    {"kb_product_too_large", "max_size = 4194304kb", 1, 5, 5242880},
    {"number_too_large_for_int", "max_size = 99999999999kb", 1, 5, 5242880},
    {"carriage_return_spoils_unit", "max_size = 2MB\r\n", 1, 5, 1024},
    {"blank_inside_key_sets_nothing", "max_size = 2MB\nmax size = 4MB\n", 1, 5, 2097152},
    {"later_line_wins", "level = 2\nlevel = 2\nlevel = 3\n", 3, 5, 1024},
    {"two_keys_one_number", "level = 2, rotate\n", 2, 2, 1024},
    {"all_three", "level = 4\nrotate = 3\nmax_size = 1 mb\n", 4, 3, 1048576},
    {"long_line_read_in_pieces", long_line.c_str(), 1, 7, 1024},
};

INSTANTIATE_TEST_SUITE_P(Cases, LogSettingsParse, ::testing::ValuesIn(settings_cases),
                         [](const ::testing::TestParamInfo<SettingsCase>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(LogSettings, MissingFileIsCreatedWithDefaults) {
    ASSERT_EQ(InitSettings(), 1);
    EXPECT_EQ(read_file(path(LOG_SETTINGS_FILE)), "level = 1\nrotate = 5\nmax_size = 1024byte");
    EXPECT_EQ(gLSett.level, 1);
    EXPECT_EQ(gLSett.rotate, 5);
    EXPECT_EQ(gLSett.max_size, 1024);
}

TEST_F(LogSettings, UncreatableFileIsReportedAndLogCallRetries) {
    // A working folder that is gone: nothing can be created in it.
    ASSERT_EQ(rmdir(dir_.c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "g", 1, 0), 1);
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "g", 2, 0), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "can't create default .ini file: c_log.ini\nFailed to get settings\n"
                   "can't create default .ini file: c_log.ini\nFailed to get settings\n");
    EXPECT_EQ(gSettingsOn, 0);
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
}

TEST_F(LogSettings, UnreadableFileIsReportedNotRewritten) {
    // A folder under the settings file's name opens but cannot be read.
    ASSERT_EQ(mkdir(path(LOG_SETTINGS_FILE).c_str(), 0700), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "g", 1, 0), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "can't get log settings from file: c_log.ini\nFailed to get settings\n");
    EXPECT_FALSE(ut_test::exists(path("logs")));
}

TEST(LogSettingsText, LowerCaseSpaceOff) {
    char text[] = "Max_Size = 2 MB\r\n\tX";
    to_lower_case_space_off(text);
    EXPECT_STREQ(text, "max_size=2mb\r\tx");
}

TEST(LogSettingsText, MaxSizeLineSplitsNumberAndUnit) {
    int number = -1;
    char unit[8];
    parsing_max_size_line("max_size = 12 K B and more text", &number, unit, sizeof(unit));
    EXPECT_EQ(number, 12);
    EXPECT_STREQ(unit, "kbandmo"); // cut to the caller's buffer
    parsing_max_size_line("max_size = 0 mb", &number, unit, sizeof(unit));
    EXPECT_EQ(number, 0);
    EXPECT_STREQ(unit, "");
}

// Under the settings file's name, something that is not a file: it is not
// read (no open may wait on a FIFO or follow a link), nothing is written
// through it, and the defaults are in force while the log call reports the
// file as unreadable.
struct ForeignSettingsCase {
    const char* name;
    void (*make)();
};

void PrintTo(const ForeignSettingsCase& c, std::ostream* os) {
    *os << c.name;
}

class LogSettingsForeign : public LogSettings,
                           public ::testing::WithParamInterface<ForeignSettingsCase> {};

TEST_P(LogSettingsForeign, IsUnreadableAndNothingGoesThroughIt) {
    write_file("target", "level = 4\nrotate = 9\n");
    GetParam().make();
    struct stat before;
    ASSERT_EQ(lstat(LOG_SETTINGS_FILE, &before), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "g", 1, 0), 1);
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "g", 2, 0), 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string complaint = "can't get log settings from file: c_log.ini\nFailed to get settings\n";
    EXPECT_EQ(out, complaint + complaint);
    EXPECT_EQ(gSettingsOn, 0);
    EXPECT_EQ(gLSett.level, 1);
    EXPECT_EQ(gLSett.rotate, 5);
    EXPECT_EQ(gLSett.max_size, 1024);
    struct stat after;
    ASSERT_EQ(lstat(LOG_SETTINGS_FILE, &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file("target"), "level = 4\nrotate = 9\n");
    EXPECT_FALSE(ut_test::exists("nowhere"));
    EXPECT_FALSE(ut_test::exists("logs"));
    // The parts say the same.
    EXPECT_EQ(read_log_settings(LOG_SETTINGS_FILE), 0);
    EXPECT_EQ(create_default_settings_file(LOG_SETTINGS_FILE), 0);
    EXPECT_EQ(read_file("target"), "level = 4\nrotate = 9\n");
    EXPECT_FALSE(ut_test::exists("nowhere"));
}

const ForeignSettingsCase foreign_settings_cases[] = {
    {"dangling_link", [] { ASSERT_EQ(symlink("nowhere", LOG_SETTINGS_FILE), 0); }},
    {"fifo", [] { ASSERT_EQ(mkfifo(LOG_SETTINGS_FILE, 0600), 0); }},
    {"link_to_a_fifo",
     [] {
         ASSERT_EQ(mkfifo("pipe", 0600), 0);
         ASSERT_EQ(symlink("pipe", LOG_SETTINGS_FILE), 0);
     }},
};

// A link to a regular file is read through, as the file itself would be; the
// default file is never written through it.
TEST_F(LogSettings, LinkToASettingsFileIsReadNeverWrittenThrough) {
    write_file("target", "level = 4\nrotate = 9\n");
    ASSERT_EQ(symlink("target", LOG_SETTINGS_FILE), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_msg(LVL_DEBUG, "f", "g", 1, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(gSettingsOn, 1);
    EXPECT_EQ(gLSett.level, 4);
    EXPECT_EQ(gLSett.rotate, 9);
    EXPECT_TRUE(ut_test::exists("logs"));
    EXPECT_EQ(create_default_settings_file(LOG_SETTINGS_FILE), 0);
    EXPECT_EQ(read_file("target"), "level = 4\nrotate = 9\n");
    struct stat st;
    ASSERT_EQ(lstat(LOG_SETTINGS_FILE, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

INSTANTIATE_TEST_SUITE_P(Cases, LogSettingsForeign, ::testing::ValuesIn(foreign_settings_cases),
                         [](const ::testing::TestParamInfo<ForeignSettingsCase>& param) {
                             return std::string(param.param.name);
                         });

} // namespace
