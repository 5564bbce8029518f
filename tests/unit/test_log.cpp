// The log call: line format, levels, first use, file naming, continuation,
// size-check pacing, change of files and rotation, and what it does with
// entries of logs/ that are not its own files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/work_with_files.h"
#include "test_support.h"

using ut_test::exists;
using ut_test::list_dir;
using ut_test::read_file;
using ut_test::split_lines;
using ut_test::today;
using ut_test::write_file;

namespace {

const std::string rule = "==* common *======================================================";

std::string opening_block(int level, int rotate, int max_size, const std::string& middle) {
    return rule + "[\ncommon level=" + std::to_string(level) +
           ", rotate=" + std::to_string(rotate) + ", max_size=" + std::to_string(max_size) + "\n" +
           middle + "\n" + rule + "]\n";
}

std::string closing_block(int level, int rotate, int max_size, const std::string& next) {
    return rule + "[\ncommon level=" + std::to_string(level) +
           ", rotate=" + std::to_string(rotate) + ", max_size=" + std::to_string(max_size) +
           "\nFile has reached max size. Log is closing.\nNext log file is <" + next + ">\n" +
           rule + "]\n";
}

// "DD.MM.YYYY hh:mm:ss mmm": digits where the pattern has 'd'.
bool is_time_stamp(const std::string& text) {
    const std::string pattern = "dd.dd.dddd dd:dd:dd ddd";
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

std::string log_name(int number) {
    return "common-" + today() + "-" + std::to_string(number) + ".log";
}

// Logs one level-1 line whose text is `text`.
int log_text(const std::string& text, int line = 1) {
    snprintf(message_buf, sizeof(message_buf), "%s", text.c_str());
    return log_msg(LVL_ERROR, "test_file", "test_func", line, 0);
}

class Log : public ut_test::TempDirTest {};

TEST(LogFormat, BlockRulesAre67Characters) {
    EXPECT_EQ(rule.size() + 1, 67u);
}

TEST(LogFormat, NormalizeLineCutsAndPads) {
    char field[30];
    normalize_line("0123456789012345678901234567890123456789", field, sizeof(field));
    EXPECT_STREQ(field, "01234567890123456789012345678");
    normalize_line("main", field, sizeof(field));
    EXPECT_EQ(std::string(field), "main" + std::string(25, ' '));
    normalize_line("", field, sizeof(field));
    EXPECT_EQ(std::string(field), std::string(29, ' '));
}

TEST(LogFormat, LevelLetters) {
    EXPECT_EQ(getMsgLevel(1), 'E');
    EXPECT_EQ(getMsgLevel(2), 'W');
    EXPECT_EQ(getMsgLevel(3), 'I');
    EXPECT_EQ(getMsgLevel(4), 'D');
}

TEST(LogFormat, TimeStampAndDate) {
    char stamp[64];
    EXPECT_EQ(getLTime(stamp, sizeof(stamp)), 23);
    EXPECT_TRUE(is_time_stamp(stamp)) << stamp;
    char date[32];
    getDate(date, sizeof(date));
    EXPECT_EQ(date, today());
}

TEST_F(Log, LineHasExactFormat) {
    log_everything();
    snprintf(message_buf, sizeof(message_buf), "failed to get pid id of main from file");
    ASSERT_EQ(log_msg(LVL_WARNING, "src/service_task/service_task.cpp", "restart_program", 61, 0),
              0);
    std::vector<std::string> lines = split_lines(read_file("logs/" + log_name(1)));
    ASSERT_EQ(lines.size(), 5u); // opening block of four lines, then the line
    EXPECT_TRUE(is_time_stamp(lines[4].substr(0, 23))) << lines[4];
    EXPECT_EQ(lines[4].substr(23),
              " [W] src/service_task/service_task: restart_program              : "
              "[00061] failed to get pid id of main from file");
}

TEST_F(Log, LineNumbersAndLongMessages) {
    log_everything();
    // clang-format off
    const int line = __LINE__; ASSERT_EQ(LOG_MSG(LVL_INFO, "%s", std::string(600, 'm').c_str()), 0);
    // clang-format on
    snprintf(message_buf, sizeof(message_buf), "six digits");
    ASSERT_EQ(log_msg(LVL_DEBUG, "f", "g", 123456, 0), 0);
    std::vector<std::string> lines = split_lines(read_file("logs/" + log_name(1)));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_NE(lines[4].find("[I] "), std::string::npos);
    char number[16];
    snprintf(number, sizeof(number), "[%05d] ", line);
    // The message is cut to 511 characters.
    std::string tail = number + std::string(511, 'm');
    ASSERT_GT(lines[4].size(), tail.size());
    EXPECT_EQ(lines[4].substr(lines[4].size() - tail.size()), tail);
    EXPECT_NE(lines[5].find(" [D] "), std::string::npos);
    EXPECT_NE(lines[5].find(": [123456] six digits"), std::string::npos);
}

// The log call shows every message escaped, once: control bytes and the
// backslash as \xNN, so that an escape reads back to one byte; the message's
// own line end stays a line end.
TEST(LogFormat, EscapeOfAMessage) {
    const struct {
        const char* message;
        const char* shown;
    } cases[] = {
        {"plain text, 100% [ok]", "plain text, 100% [ok]"},
        {"run\x1b[2J\rgone", "run\\x1b[2J\\x0dgone"},
        {"a\nforged [E] line", "a\\x0aforged [E] line"},
        {"tab\there, del\x7f, bell\x07", "tab\\x09here, del\\x7f, bell\\x07"},
        {"c:\\x1b is no escape", "c:\\x5cx1b is no escape"},
        {"line end\n", "line end\n"},
        {"two line ends\n\n", "two line ends\n\n"},
        {"\n", "\n"},
        {"inner\nand end\r\n", "inner\\x0aand end\\x0d\n"},
        {"\xc3\xa9t\xc3\xa9 \x80\xff", "\xc3\xa9t\xc3\xa9 \x80\xff"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.message)));
        char out[LOG_TEXT_SIZE];
        EXPECT_EQ(log_escape_message(c.message, out, sizeof(out)), 1);
        EXPECT_STREQ(out, c.shown);
    }
    // The longest message, every byte escaped, fits.
    std::string worst(511, '\x1b');
    char out[LOG_TEXT_SIZE];
    EXPECT_EQ(log_escape_message(worst.c_str(), out, sizeof(out)), 1);
    EXPECT_EQ(strlen(out), 4u * 511);
    // Too small a room: cut before an escape, never in it.
    char small[6];
    EXPECT_EQ(log_escape_message("ab\x1b", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "ab");
}

// Callers pass raw text: the file, the stream of a host program and the tap
// all get it escaped once.
TEST_F(Log, MessagesAreEscapedInTheFileTheStreamAndTheTap) {
    log_everything();
    static std::string tapped;
    log_set_tap([](unsigned, const char*, const char*, int, const char* text) { tapped = text; });
    const char* raw = "script name is not a plain file name: \x1b[2Ja\rb\\c";
    const std::string shown = "script name is not a plain file name: \\x1b[2Ja\\x0db\\x5cc";
    snprintf(message_buf, sizeof(message_buf), "%s", raw);
    ASSERT_EQ(log_msg(LVL_ERROR, "f", "g", 1, 0), 0);
    log_set_tap(nullptr);
    EXPECT_EQ(tapped, shown);
    std::vector<std::string> lines = split_lines(read_file("logs/" + log_name(1)));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4].substr(lines[4].size() - shown.size()), shown);

    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    log_to_stream(stream, LVL_ERROR);
    snprintf(message_buf, sizeof(message_buf), "%s", raw);
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "reader", 1, 0), 0);
    EXPECT_EQ(std::string(log_last_error()), shown);
    log_to_stream(nullptr, 0);
    rewind(stream);
    char text[256] = "";
    size_t n = fread(text, 1, sizeof(text) - 1, stream);
    fclose(stream);
    EXPECT_EQ(std::string(text, n), "E reader: " + shown + "\n");
}

TEST_F(Log, FirstCallInEmptyFolderCreatesEverything) {
    ASSERT_EQ(log_text("first"), 0);
    EXPECT_EQ(read_file(LOG_SETTINGS_FILE), "level = 1\nrotate = 5\nmax_size = 1024byte");
    struct stat st;
    ASSERT_EQ(stat("logs", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(list_dir("logs"), std::vector<std::string>{log_name(1)});
    std::string text = read_file("logs/" + log_name(1));
    std::string block = opening_block(1, 5, 1024, "No previous log");
    ASSERT_EQ(text.substr(0, block.size()), block);
    std::vector<std::string> written = split_lines(text);
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(written[0].size(), 67u);
    EXPECT_EQ(written[3].size(), 67u);
    std::vector<std::string> lines = split_lines(text.substr(block.size()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[E] test_file" + std::string(20, ' ') + ": test_func"),
              std::string::npos);
    EXPECT_EQ(std::string(cur_log_name), "logs/" + log_name(1));
}

struct LevelCase {
    int configured;
    unsigned level;
    bool written;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << "configured " << c.configured << ", line level " << c.level;
}

class LogLevels : public Log, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LogLevels, FilterByConfiguredLevel) {
    const LevelCase& c = GetParam();
    write_file(LOG_SETTINGS_FILE, "level = " + std::to_string(c.configured));
    snprintf(message_buf, sizeof(message_buf), "text");
    EXPECT_EQ(log_msg(c.level, "f", "g", 1, 0), 0);
    // The folder and the current file with its opening block exist whatever
    // the level.
    std::string text = read_file("logs/" + log_name(1));
    std::string block = opening_block(c.configured, 5, 1024, "No previous log");
    ASSERT_EQ(text.substr(0, block.size()), block);
    EXPECT_EQ(text.size() > block.size(), c.written);
    int step = g_measure_size_step;
    EXPECT_EQ(step, c.written ? 1024 / 150 - 1 : 1024 / 150) << "filtered lines do not count";
}

INSTANTIATE_TEST_SUITE_P(Cases, LogLevels,
                         ::testing::Values(LevelCase{1, 1, true}, LevelCase{1, 2, false},
                                           LevelCase{1, 3, false}, LevelCase{0, 1, false},
                                           LevelCase{4, 4, true}, LevelCase{3, 4, false},
                                           LevelCase{2, 2, true}));

TEST_F(Log, LibraryLinesNameTheLibrarySource) {
    log_everything();
    EXPECT_EQ(copy_one_file(path("missing").c_str(), path("copy").c_str()), 0);
    std::string text = ut_test::all_log_text();
    EXPECT_NE(text.find("[E] ../common/test_utility/work_w: copy_one_file" + std::string(16, ' ') +
                        ": ["),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("error with read from file: " + path("missing")), std::string::npos);
}

TEST(LogNames, NumberOfName) {
    EXPECT_EQ(get_previous_log_number("common-04-12-2026-17.log"), 17);
    EXPECT_EQ(get_previous_log_number("logs/common-04-12-2026-9.log"), 9);
    EXPECT_EQ(get_previous_log_number("7.log"), 7);
    EXPECT_EQ(get_previous_log_number("123.log"), 123);
    EXPECT_EQ(get_previous_log_number("notes.log"), 0);
    EXPECT_EQ(get_previous_log_number("5.log.old"), 0);
    EXPECT_EQ(get_previous_log_number("a.log"), 0);
    EXPECT_EQ(get_previous_log_number("log"), 0);
    // Numbers the series cannot count past are foreign entries' numbers.
    EXPECT_EQ(get_previous_log_number("x-99999999999.log"), 0);
    EXPECT_EQ(get_previous_log_number("x-2147483647.log"), 0);
    EXPECT_EQ(get_previous_log_number("x-2147483646.log"), 2147483646);
    // The run of digits that ends before the last four characters.
    EXPECT_EQ(get_previous_log_number("3.log12.log"), 12);
    EXPECT_EQ(get_previous_log_number("a.log12345"), 1);
}

TEST_F(Log, NextNameIsDatedTodayAndNumberedOnward) {
    snprintf(cur_log_name, sizeof(cur_log_name), "logs/common-04-12-2026-9.log");
    set_new_log_name();
    EXPECT_EQ(std::string(cur_log_name), "logs/" + log_name(10));
    build_new_log_name(1);
    EXPECT_EQ(std::string(cur_log_name), "logs/" + log_name(1));
}

TEST_F(Log, NewestAndOldestEntries) {
    ASSERT_EQ(mkdir("logs", 0700), 0);
    for (const char* name : {"common-01-01-2026-3.log", "common-02-01-2026-12.log", "notes.log",
                             "other.txt", "7.log"}) {
        write_file(std::string("logs/") + name, "x");
    }
    char name[256];
    get_previous_log_name("logs/", name, sizeof(name), 1);
    EXPECT_STREQ(name, "common-02-01-2026-12.log");
    get_previous_log_name("logs/", name, sizeof(name), 0);
    EXPECT_STREQ(name, "notes.log");
    int count = -1;
    EXPECT_EQ(get_logs_count("logs/", &count), 1);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(get_logs_count("nowhere/", &count), 0);
    EXPECT_EQ(count, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_previous_log_name("nowhere/", name, sizeof(name), 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "can't open folder nowhere/, so can't find previous name\n");
    EXPECT_STREQ(name, "No previous log");
}

TEST_F(Log, ContinuesNewestFileWithoutOpeningBlock) {
    log_everything();
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/common-01-01-2020-2.log", "old two\n");
    write_file("logs/common-03-01-2020-3.log", "old three\n");
    ASSERT_EQ(log_text("continued"), 0);
    EXPECT_EQ(list_dir("logs").size(), 2u);
    std::vector<std::string> lines = split_lines(read_file("logs/common-03-01-2020-3.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "old three");
    EXPECT_NE(lines[1].find("continued"), std::string::npos);
}

TEST_F(Log, OnlyForeignEntriesBeginNewSeries) {
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/notes.log", "notes\n");
    ASSERT_EQ(log_text("line"), 0);
    EXPECT_EQ(read_file("logs/notes.log"), "notes\n");
    std::string text = read_file("logs/" + log_name(1));
    EXPECT_EQ(text.rfind(opening_block(1, 5, 1024, "No previous log"), 0), 0u);
    EXPECT_NE(text.find("line"), std::string::npos);
}

// A continued file is measured before its first line: exactly max_size is
// not full, one byte more is.
TEST_F(Log, ContinuedFileOfMaxSizeIsNotFullOneMoreByteIs) {
    for (int extra : {0, 1}) {
        SCOPED_TRACE(extra);
        ut_test::remove_tree("logs");
        ut_test::reset_log_state();
        ASSERT_EQ(mkdir("logs", 0700), 0);
        write_file("logs/common-01-01-2020-4.log", std::string(1024 + extra, 'z'));
        ASSERT_EQ(log_text("after"), 0);
        std::string old = read_file("logs/common-01-01-2020-4.log");
        if (extra == 0) {
            EXPECT_EQ(list_dir("logs").size(), 1u);
            EXPECT_NE(old.find("after"), std::string::npos);
        } else {
            EXPECT_EQ(list_dir("logs"),
                      (std::vector<std::string>{"common-01-01-2020-4.log", log_name(5)}));
            EXPECT_EQ(old.substr(1025), closing_block(1, 5, 1024, "logs/" + log_name(5)));
            std::string next = read_file("logs/" + log_name(5));
            std::string block =
                opening_block(1, 5, 1024, "Previous log file is <common-01-01-2020-4.log>");
            ASSERT_EQ(next.substr(0, block.size()), block);
            EXPECT_NE(next.find("after"), std::string::npos);
        }
    }
}

// A new file of max_size 1024 is measured again before its seventh line
// (1024 / 150 = 6 lines), so the sixth line may carry it past the limit and
// the seventh goes into the next file.
TEST_F(Log, SizeIsMeasuredAtItsPace) {
    std::string long_text(200, 'p');
    for (int i = 1; i <= 6; ++i) {
        ASSERT_EQ(log_text(long_text, i), 0);
        EXPECT_EQ(list_dir("logs").size(), 1u) << "line " << i;
    }
    EXPECT_GT(ut_test::file_size("logs/" + log_name(1)), 1024);
    EXPECT_EQ(g_measure_size_step, 0);
    ASSERT_EQ(log_text(long_text, 7), 0);
    EXPECT_EQ(list_dir("logs"), (std::vector<std::string>{log_name(1), log_name(2)}));
    std::string first = read_file("logs/" + log_name(1));
    EXPECT_EQ(split_lines(first).size(), 4u + 6u + 5u);
    std::string second = read_file("logs/" + log_name(2));
    EXPECT_NE(second.find("[00007]"), std::string::npos);
    EXPECT_EQ(second.find("[00006]"), std::string::npos);
    EXPECT_EQ(g_measure_size_step, 1024 / 150 - 1);
}

// After a measure the room left paces the next one, at 150 bytes a line.
TEST_F(Log, MeasureAfterRoomLeft) {
    write_file(LOG_SETTINGS_FILE, "max_size = 15000");
    ASSERT_EQ(log_text("x"), 0);
    EXPECT_EQ(g_measure_size_step, 15000 / 150 - 1);
    long long before = ut_test::file_size(cur_log_name);
    g_measure_size_step = 0;
    ASSERT_EQ(log_text("y"), 0);
    EXPECT_EQ(g_measure_size_step, static_cast<int>((15000 - before) / 150) - 1);
}

void fill_series(int from, int to) {
    ASSERT_EQ(mkdir("logs", 0700), 0);
    for (int i = from; i <= to; ++i) {
        write_file("logs/" + log_name(i), i == to ? std::string(2000, 'f') : "old\n");
    }
}

TEST_F(Log, RotationKeepsFiveFiles) {
    fill_series(1, 5);
    ASSERT_EQ(log_text("rotated"), 0);
    EXPECT_EQ(list_dir("logs"), (std::vector<std::string>{log_name(2), log_name(3), log_name(4),
                                                          log_name(5), log_name(6)}));
}

TEST_F(Log, RotationOfOneDeletesTheFullFile) {
    write_file(LOG_SETTINGS_FILE, "rotate = 1");
    fill_series(3, 3);
    ASSERT_EQ(log_text("alone"), 0);
    EXPECT_EQ(list_dir("logs"), std::vector<std::string>{log_name(4)});
    std::string text = read_file("logs/" + log_name(4));
    EXPECT_EQ(
        text.rfind(opening_block(1, 1, 1024, "Previous log file is <" + log_name(3) + ">"), 0), 0u);
}

TEST_F(Log, ForeignLogEntryCountsAndGoesFirst) {
    fill_series(2, 5);
    write_file("logs/notes.log", "notes\n");
    ASSERT_EQ(log_text("x"), 0);
    EXPECT_EQ(list_dir("logs"), (std::vector<std::string>{log_name(2), log_name(3), log_name(4),
                                                          log_name(5), log_name(6)}));
}

TEST_F(Log, UnremovableOldestEntryEndsTheDeletionLoopAndCostsNoLine) {
    write_file(LOG_SETTINGS_FILE, "rotate = 1");
    fill_series(1, 1);
    // A dangling link cannot be opened, so its removal reports success
    // without removing it: the count would never go down.
    ASSERT_EQ(symlink("nowhere", "logs/broken-0.log"), 0);
    EXPECT_EQ(log_text("kept at the change"), 0);
    EXPECT_TRUE(exists("logs/broken-0.log"));
    EXPECT_FALSE(exists("logs/" + log_name(1)));
    EXPECT_NE(read_file("logs/" + log_name(2)).find("kept at the change"), std::string::npos);
    // The next line goes into the new file.
    EXPECT_EQ(log_text("kept"), 0);
    EXPECT_NE(read_file("logs/" + log_name(2)).find("kept"), std::string::npos);
}

TEST_F(Log, FolderUnderTheNewestNameDoesNotStopLogging) {
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/common-01-01-2020-3.log", "old\n");
    ASSERT_EQ(mkdir("logs/common-01-01-2030-9.log", 0700), 0);
    write_file("logs/common-01-01-2030-9.log/inside", "x");
    ASSERT_EQ(log_text("kept"), 0);
    std::string text = read_file("logs/" + log_name(10));
    std::string block = opening_block(1, 5, 1024, "Previous log file is <common-01-01-2030-9.log>");
    ASSERT_EQ(text.substr(0, block.size()), block);
    EXPECT_NE(text.find("kept"), std::string::npos);
    EXPECT_EQ(log_text("and more"), 0);
    EXPECT_NE(read_file("logs/" + log_name(10)).find("and more"), std::string::npos);
}

TEST_F(Log, HundredsOfForeignLogEntriesGoFirst) {
    fill_series(7, 8);
    for (int i = 0; i < 300; ++i) {
        write_file("logs/foreign_" + std::string(1, static_cast<char>('a' + i % 26)) +
                       std::string(1, static_cast<char>('a' + i / 26)) + ".log",
                   "f");
    }
    ASSERT_EQ(log_text("x"), 0);
    std::vector<std::string> left = list_dir("logs");
    EXPECT_EQ(left.size(), 5u);
    for (int n : {7, 8, 9}) {
        EXPECT_NE(std::find(left.begin(), left.end(), log_name(n)), left.end()) << n;
    }
}

TEST_F(Log, UnmakeableLogFolderLosesEveryLine) {
    write_file("logs", "a file where the folder should be");
    EXPECT_EQ(log_text("one"), 1);
    EXPECT_EQ(gSettingsOn, 1);
    EXPECT_EQ(log_text("two"), 1);
    EXPECT_EQ(read_file("logs"), "a file where the folder should be");
}

TEST_F(Log, HostProgramLinesGoToAStreamAndTouchNoFiles) {
    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    log_to_stream(stream, LVL_ERROR);
    snprintf(message_buf, sizeof(message_buf), "an error");
    EXPECT_EQ(log_msg(LVL_ERROR, "f", "reader", 1, 0), 0);
    snprintf(message_buf, sizeof(message_buf), "progress");
    EXPECT_EQ(log_msg(LVL_INFO, "f", "reader", 2, 0), 0);
    EXPECT_STREQ(log_last_error(), "an error");
    log_to_stream(nullptr, 0);
    rewind(stream);
    char text[128] = "";
    size_t n = fread(text, 1, sizeof(text) - 1, stream);
    fclose(stream);
    EXPECT_EQ(std::string(text, n), "E reader: an error\n");
    EXPECT_FALSE(exists(LOG_SETTINGS_FILE));
    EXPECT_FALSE(exists("logs"));
}

TEST_F(Log, FileRemovedFromOutsideIsCreatedAgain) {
    ASSERT_EQ(log_text("one"), 0);
    ASSERT_EQ(unlink(cur_log_name), 0);
    ASSERT_EQ(log_text("two"), 0);
    std::vector<std::string> lines = split_lines(read_file(cur_log_name));
    ASSERT_EQ(lines.size(), 1u) << "no opening block for a file made by an append";
    EXPECT_NE(lines[0].find("two"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Entries of logs/ that are not the module's own files

// The message texts of the log lines in the files of the series, file by file
// in the order of their numbers, and each file's number.
std::vector<std::string> series_messages(const std::vector<int>& numbers) {
    std::vector<std::string> messages;
    for (int n : numbers) {
        for (const std::string& line : split_lines(read_file("logs/" + log_name(n)))) {
            size_t at = line.find("] ", 30);
            if (line.size() > 24 && line[24] == '[' && at != std::string::npos) {
                messages.push_back(line.substr(at + 2));
            }
        }
    }
    return messages;
}

// Files `numbers` of the series point at each other: each full file ends with
// a closing block naming the next, and the next begins with an opening block
// naming it.
void expect_chain(const std::vector<int>& numbers, int rotate = 5) {
    for (size_t i = 0; i + 1 < numbers.size(); ++i) {
        std::string full = read_file("logs/" + log_name(numbers[i]));
        std::string next = read_file("logs/" + log_name(numbers[i + 1]));
        std::string tail = closing_block(1, rotate, 1024, "logs/" + log_name(numbers[i + 1]));
        std::string head =
            opening_block(1, rotate, 1024, "Previous log file is <" + log_name(numbers[i]) + ">");
        EXPECT_TRUE(full.size() >= tail.size() && full.substr(full.size() - tail.size()) == tail)
            << "file " << numbers[i] << ":\n"
            << full;
        EXPECT_EQ(next.substr(0, head.size()), head) << "file " << numbers[i + 1];
    }
}

// Logs `count` lines "line N" of 200 characters; returns how many of them
// were reported written.
int log_numbered_lines(int count) {
    int written = 0;
    for (int i = 1; i <= count; ++i) {
        std::string text = "line " + std::to_string(i) + " " + std::string(190, 'x');
        written += log_text(text, i) == 0 ? 1 : 0;
    }
    return written;
}

std::vector<std::string> numbered_lines(int from, int to) {
    std::vector<std::string> lines;
    for (int i = from; i <= to; ++i) {
        lines.push_back("line " + std::to_string(i) + " " + std::string(190, 'x'));
    }
    return lines;
}

// A file outside logs/ that links in logs/ point at: it must never change.
const char* const outside_text = "outside, not a log file\n";

// What can be found under a name of the series.
enum class Planted { file, link, dangling_link, fifo, folder };

const char* planted_name(Planted p) {
    switch (p) {
    case Planted::file:
        return "file";
    case Planted::link:
        return "link";
    case Planted::dangling_link:
        return "dangling_link";
    case Planted::fifo:
        return "fifo";
    case Planted::folder:
        return "folder";
    }
    return "?";
}

void plant(Planted p, const std::string& name) {
    switch (p) {
    case Planted::file:
        write_file(name, "planted\n");
        break;
    case Planted::link:
        write_file("outside", outside_text);
        ASSERT_EQ(symlink("../outside", name.c_str()), 0);
        break;
    case Planted::dangling_link:
        ASSERT_EQ(symlink("../nowhere", name.c_str()), 0);
        break;
    case Planted::fifo:
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
        break;
    case Planted::folder:
        ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
        write_file(name + "/inside", "x");
        break;
    }
}

// What was planted is as it was, and nothing went through a link.
void expect_untouched(Planted p, const std::string& name) {
    struct stat st;
    ASSERT_EQ(lstat(name.c_str(), &st), 0) << name;
    switch (p) {
    case Planted::file:
        EXPECT_EQ(read_file(name), "planted\n");
        break;
    case Planted::link:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(read_file("outside"), outside_text);
        break;
    case Planted::dangling_link:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_FALSE(exists("nowhere"));
        break;
    case Planted::fifo:
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        break;
    case Planted::folder:
        EXPECT_EQ(read_file(name + "/inside"), "x");
        break;
    }
}

void PrintTo(Planted p, std::ostream* os) {
    *os << planted_name(p);
}

class LogPlanted : public Log, public ::testing::WithParamInterface<Planted> {};

std::string planted_case_name(const ::testing::TestParamInfo<Planted>& info) {
    return planted_name(info.param);
}

// The next name of the series is taken (from outside, after the process
// began) when the current file fills: the series moves on to the next free
// number, and the closing block names the file really made. Nothing under
// the taken name is emptied, read or written through.
TEST_P(LogPlanted, TakenNextNameIsPassedOver) {
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/" + log_name(4), "old\n");
    ASSERT_EQ(log_text("first"), 0);
    plant(GetParam(), "logs/" + log_name(5));
    write_file("logs/" + log_name(4), read_file("logs/" + log_name(4)) + std::string(2000, 'f'));
    g_measure_size_step = 0;
    ASSERT_EQ(log_text("moved on"), 0);
    expect_untouched(GetParam(), "logs/" + log_name(5));
    expect_chain({4, 6});
    EXPECT_EQ(series_messages({4}), std::vector<std::string>{"first"});
    EXPECT_EQ(series_messages({6}), std::vector<std::string>{"moved on"});
    EXPECT_EQ(std::string(cur_log_name), "logs/" + log_name(6));
}

// Anything but a file under a name of the series.
class LogForeignEntry : public LogPlanted {};

// The newest entry when a process starts is not a file: the series goes on
// in a new file after it, never in it nor through it.
TEST_P(LogForeignEntry, NewestEntryThatIsNoFileIsNotContinued) {
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/" + log_name(4), "old\n");
    plant(GetParam(), "logs/" + log_name(5));
    ASSERT_EQ(log_text("after it"), 0);
    expect_untouched(GetParam(), "logs/" + log_name(5));
    std::string text = read_file("logs/" + log_name(6));
    std::string block = opening_block(1, 5, 1024, "Previous log file is <" + log_name(5) + ">");
    ASSERT_EQ(text.substr(0, block.size()), block);
    EXPECT_EQ(series_messages({6}), std::vector<std::string>{"after it"});
    EXPECT_EQ(read_file("logs/" + log_name(4)), "old\n");
}

// The current file is replaced from outside while the process runs: the
// line that finds it is lost, the next one begins the next file.
TEST_P(LogForeignEntry, CurrentFileReplacedIsLeftBehind) {
    ASSERT_EQ(log_text("one"), 0);
    ASSERT_EQ(unlink(cur_log_name), 0);
    plant(GetParam(), "logs/" + log_name(1));
    EXPECT_EQ(log_text("lost"), 1);
    ASSERT_EQ(log_text("two"), 0);
    expect_untouched(GetParam(), "logs/" + log_name(1));
    std::string text = read_file("logs/" + log_name(2));
    std::string block = opening_block(1, 5, 1024, "Previous log file is <" + log_name(1) + ">");
    ASSERT_EQ(text.substr(0, block.size()), block);
    EXPECT_EQ(series_messages({2}), std::vector<std::string>{"two"});
}

INSTANTIATE_TEST_SUITE_P(Kinds, LogPlanted,
                         ::testing::Values(Planted::file, Planted::link, Planted::dangling_link,
                                           Planted::fifo, Planted::folder),
                         planted_case_name);
INSTANTIATE_TEST_SUITE_P(Kinds, LogForeignEntry,
                         ::testing::Values(Planted::link, Planted::dangling_link, Planted::fifo,
                                           Planted::folder),
                         planted_case_name);

// A foreign entry whose number the series could not count past: a new
// series begins beside it, and through many changes of files no line is
// lost and no file is emptied.
TEST_F(Log, NumberThatCannotGrowIsForeign) {
    write_file(LOG_SETTINGS_FILE, "rotate = 15");
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/x-99999999999.log", "foreign\n");
    ASSERT_EQ(log_numbered_lines(60), 60);
    EXPECT_EQ(read_file("logs/x-99999999999.log"), "foreign\n");
    std::vector<int> numbers;
    for (int n = 1; exists("logs/" + log_name(n)); ++n) {
        numbers.push_back(n);
    }
    ASSERT_GE(numbers.size(), 8u);
    EXPECT_EQ(list_dir("logs").size(), numbers.size() + 1);
    std::string first = read_file("logs/" + log_name(1));
    EXPECT_EQ(first.rfind(opening_block(1, 15, 1024, "No previous log"), 0), 0u);
    expect_chain(numbers, 15);
    EXPECT_EQ(series_messages(numbers), numbered_lines(1, 60));
}

// A newest name too long to be joined to the folder is not continued, and
// does not restart the series at 1: the next file takes the number after
// it, and an older file 2 keeps its lines.
TEST_F(Log, NewestNameTooLongForAPathIsFollowedNotRestarted) {
    write_file(LOG_SETTINGS_FILE, "rotate = 15");
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/" + log_name(2), "file two\n");
    std::string long_name = std::string(245, 'a') + "-3.log";
    ASSERT_GT(std::string("logs/" + long_name).size(), 255u);
    write_file("logs/" + long_name, "long\n");
    ASSERT_EQ(log_numbered_lines(20), 20);
    EXPECT_EQ(read_file("logs/" + log_name(2)), "file two\n");
    EXPECT_EQ(read_file("logs/" + long_name), "long\n");
    EXPECT_FALSE(exists("logs/" + log_name(1)));
    std::string text = read_file("logs/" + log_name(4));
    std::string block = opening_block(1, 15, 1024, "Previous log file is <" + long_name + ">");
    ASSERT_EQ(text.substr(0, block.size()), block);
    ASSERT_TRUE(exists("logs/" + log_name(5)));
    std::vector<int> numbers;
    for (int n = 4; exists("logs/" + log_name(n)); ++n) {
        numbers.push_back(n);
    }
    expect_chain(numbers, 15);
    EXPECT_EQ(series_messages(numbers), numbered_lines(1, 20));
}

// The series counts up to 2147483646 and then starts again at 1; the
// current file is never the one that rotation deletes.
TEST_F(Log, LastNumberOfTheSeriesIsFollowedByOne) {
    write_file(LOG_SETTINGS_FILE, "rotate = 1");
    ASSERT_EQ(mkdir("logs", 0700), 0);
    write_file("logs/" + log_name(2147483646), std::string(2000, 'f'));
    ASSERT_EQ(log_text("wrapped"), 0);
    EXPECT_EQ(list_dir("logs"), std::vector<std::string>{log_name(1)});
    std::string text = read_file("logs/" + log_name(1));
    std::string block =
        opening_block(1, 1, 1024, "Previous log file is <" + log_name(2147483646) + ">");
    ASSERT_EQ(text.substr(0, block.size()), block);
    EXPECT_EQ(series_messages({1}), std::vector<std::string>{"wrapped"});
}

// Entries that cannot be deleted do not stop the rotation: the next oldest
// go, so logs/ holds `rotate` files besides them.
struct UndeletableCase {
    const char* name;
    void (*make)();
};

void PrintTo(const UndeletableCase& c, std::ostream* os) {
    *os << c.name;
}

class LogUndeletable : public Log, public ::testing::WithParamInterface<UndeletableCase> {};

TEST_P(LogUndeletable, RotationGoesOnPastThem) {
    write_file(LOG_SETTINGS_FILE, "rotate = 2");
    fill_series(1, 2);
    write_file("outside", outside_text);
    GetParam().make();
    std::vector<std::string> planted = list_dir("logs");
    planted.erase(std::remove_if(planted.begin(), planted.end(),
                                 [](const std::string& n) { return n.rfind("common-", 0) == 0; }),
                  planted.end());
    ASSERT_FALSE(planted.empty());
    // Several changes of files (six lines go in before a file is measured).
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(log_text(std::string(500, 'l')), 0) << "line " << i << " lost";
    }
    int newest = 0;
    for (int n = 1; n <= 40; ++n) {
        newest = exists("logs/" + log_name(n)) ? n : newest;
    }
    ASSERT_GE(newest, 5);
    std::vector<std::string> expected = planted;
    expected.push_back(log_name(newest - 1));
    expected.push_back(log_name(newest));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir("logs"), expected);
    EXPECT_EQ(read_file("outside"), outside_text);
}

const UndeletableCase undeletable_cases[] = {
    {"folder_not_empty",
     [] {
         ASSERT_EQ(mkdir("logs/full-0.log", 0700), 0);
         write_file("logs/full-0.log/inside", "x");
     }},
    {"symbolic_link", [] { ASSERT_EQ(symlink("../outside", "logs/link-0.log"), 0); }},
    {"two_of_them",
     [] {
         ASSERT_EQ(symlink("../outside", "logs/link-0.log"), 0);
         ASSERT_EQ(mkdir("logs/full-1.log", 0700), 0);
         write_file("logs/full-1.log/inside", "x");
     }},
    {"name_too_long_for_a_path",
     [] { write_file("logs/" + std::string(248, 'n') + "-0.log", "x"); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, LogUndeletable, ::testing::ValuesIn(undeletable_cases),
                         [](const ::testing::TestParamInfo<UndeletableCase>& param) {
                             return std::string(param.param.name);
                         });

// A line is written whole or not at all: on a full file system the line
// that does not fit is cut off again, and once there is room the next line
// begins on a line of its own. Needs a tmpfs of two pages, so a mount
// namespace of the test's own (root).
TEST_F(Log, LineOnAFullDiskIsWholeOrNotThere) {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        GTEST_SKIP() << "needs root for a mount namespace";
    }
    ASSERT_EQ(mkdir("small", 0700), 0);
    ASSERT_EQ(mount("tmpfs", path("small").c_str(), "tmpfs", 0, "size=8k"), 0);
    ASSERT_EQ(chdir("small"), 0);
    // One page for the settings, one for the log file.
    write_file(LOG_SETTINGS_FILE, "max_size = 5mb");
    std::vector<std::string> written;
    int lost = 0;
    for (int i = 1; i <= 40 && lost == 0; ++i) {
        std::string text = "line " + std::to_string(i) + " " + std::string(290, 'w');
        if (log_text(text, i) == 0) {
            written.push_back(text);
        } else {
            ++lost;
        }
    }
    ASSERT_EQ(lost, 1) << "the file system never filled";
    ASSERT_GE(written.size(), 5u);
    // Room again: the settings are read once per process.
    ASSERT_EQ(unlink(LOG_SETTINGS_FILE), 0);
    ASSERT_EQ(log_text("after room", 99), 0);
    written.push_back("after room");
    std::string text = read_file("logs/" + log_name(1));
    std::string block = opening_block(1, 5, 5242880, "No previous log");
    ASSERT_EQ(text.substr(0, block.size()), block);
    std::vector<std::string> lines = split_lines(text.substr(block.size()));
    EXPECT_EQ(text.back(), '\n');
    ASSERT_EQ(lines.size(), written.size()) << text;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(is_time_stamp(lines[i].substr(0, 23))) << lines[i];
        size_t at = lines[i].find("] ", 30);
        ASSERT_NE(at, std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].substr(at + 2), written[i]);
    }
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    EXPECT_EQ(umount2(path("small").c_str(), MNT_DETACH), 0);
}

} // namespace
