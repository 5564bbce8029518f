// The receipt on the stick: the log part taken from the log call's tap, the
// rows' outcomes, and the writing through a temporary name.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/log/log_c.h"
#include "src/data_ut.h"
#include "src/start_task/receipt.h"
#include "test_support.h"

using ut_test::exists;
using ut_test::list_dir;
using ut_test::read_file;
using ut_test::split_lines;
using ut_test::write_file;

namespace {

class Receipt : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_EQ(mkdir(path("stick").c_str(), 0755), 0);
        snprintf(dev_path, sizeof(dev_path), "%s", folder("stick").c_str());
        work_list.count = 0;
        cur_state = STATE_USB_SEARCH;
        receipt_begin(8);
    }
    void TearDown() override {
        log_set_tap(nullptr);
        receipt_set_signature_source(nullptr);
        cur_state = 0;
        dev_path[0] = '\0';
        work_list.count = 0;
        TempDirTest::TearDown();
    }
    std::string receipt_path() const { return path("stick/" RECEIPT_FILE_NAME); }
    std::string receipt() const { return read_file(receipt_path()); }
    // The lines after "log:".
    std::vector<std::string> log_part() const {
        std::vector<std::string> lines = split_lines(receipt());
        auto at = std::find(lines.begin(), lines.end(), "log:");
        EXPECT_NE(at, lines.end());
        return at == lines.end() ? std::vector<std::string>{}
                                 : std::vector<std::string>(at + 1, lines.end());
    }
};

// A log line without its time stamp (the first 23 characters).
std::string after_stamp(const std::string& line) {
    return line.size() > 23 ? line.substr(23) : line;
}

TEST_F(Receipt, LogPartHoldsLevels1To3OfTheStartUpPhaseWhateverTheSettingsSay) {
    write_file(path(LOG_SETTINGS_FILE), "level = 4\nmax_size = 5mb\n");
    LOG_MSG(LVL_INFO, "USB_SEARCH PART");
    cur_state = STATE_TASK_SEARCH;
    LOG_MSG(LVL_WARNING, "a warning");
    LOG_MSG(LVL_DEBUG, "a debug line");
    cur_state = STATE_TASK_EXECUTE;
    LOG_MSG(LVL_ERROR, "an error");
    cur_state = STATE_GET_SETTINGS;
    LOG_MSG(LVL_ERROR, "a line of the service phase");
    cur_state = STATE_TASK_SEARCH;
    ASSERT_EQ(receipt_write(0), 1);
    LOG_MSG(LVL_ERROR, "a line after the receipt");

    std::vector<std::string> file_lines;
    for (const std::string& line : split_lines(ut_test::all_log_text())) {
        if (line.find(" [") == 23) {
            file_lines.push_back(line);
        }
    }
    ASSERT_EQ(file_lines.size(), 6u);
    // The very lines of the log file, time stamps aside.
    std::vector<std::string> part = log_part();
    ASSERT_EQ(part.size(), 3u);
    EXPECT_EQ(after_stamp(part[0]), after_stamp(file_lines[0]));
    EXPECT_EQ(after_stamp(part[1]), after_stamp(file_lines[1]));
    EXPECT_EQ(after_stamp(part[2]), after_stamp(file_lines[3]));
    EXPECT_NE(part[2].find("[E] "), std::string::npos);
}

TEST_F(Receipt, ErrorsOnlySettingsStillGiveTheInformationLines) {
    write_file(path(LOG_SETTINGS_FILE), "level = 1\n");
    LOG_MSG(LVL_INFO, "usb detected");
    ASSERT_EQ(receipt_write(0), 1);
    EXPECT_EQ(ut_test::log_messages(), std::vector<std::string>{});
    std::vector<std::string> part = log_part();
    ASSERT_EQ(part.size(), 1u);
    EXPECT_NE(part[0].find("[I] "), std::string::npos);
    EXPECT_EQ(part[0].substr(part[0].size() - 14), "] usb detected");
}

TEST_F(Receipt, ControlBytesOfAMessageAreShownAndItsLineEndLeftOut) {
    write_file(path(LOG_SETTINGS_FILE), "level = 1\n");
    LOG_MSG(LVL_ERROR, "name: %s\n", "a\r\n10.12.2026 forged [I] line\x1b[2J");
    ASSERT_EQ(receipt_write(0), 1);
    std::vector<std::string> part = log_part();
    ASSERT_EQ(part.size(), 1u);
    const std::string tail = "name: a\\x0d\\x0a10.12.2026 forged [I] line\\x1b[2J";
    ASSERT_GT(part[0].size(), tail.size());
    EXPECT_EQ(part[0].substr(part[0].size() - tail.size()), tail);
}

TEST_F(Receipt, FullLogPartKeepsWholeLinesAndCountsTheOthers) {
    write_file(path(LOG_SETTINGS_FILE), "level = 0\n");
    const std::string long_text(300, 'x');
    const int lines = 2 * RECEIPT_LOG_SIZE / 300;
    for (int i = 0; i < lines; ++i) {
        LOG_MSG(LVL_INFO, "%s", long_text.c_str());
    }
    // Short enough to fit in what is left, but it would make a gap.
    LOG_MSG(LVL_ERROR, "late");
    ASSERT_EQ(receipt_write(0), 1);
    std::vector<std::string> part = log_part();
    ASSERT_GE(part.size(), 2u);
    std::string last = part.back();
    part.pop_back();
    size_t bytes = 0;
    for (const std::string& line : part) {
        EXPECT_EQ(line.substr(line.size() - long_text.size()), long_text);
        bytes += line.size() + 1;
    }
    EXPECT_LE(bytes, static_cast<size_t>(RECEIPT_LOG_SIZE));
    EXPECT_GT(bytes, static_cast<size_t>(RECEIPT_LOG_SIZE) - 500);
    int left_out = lines + 1 - static_cast<int>(part.size());
    EXPECT_EQ(last, "log lines left out: " + std::to_string(left_out) +
                        " (the receipt's log part is full)");
}

TEST(ReceiptOutcome, TextOfEachOutcome) {
    int three = system("exit 3");
    int killed = system("kill -9 $$");
    struct Case {
        int outcome;
        int status;
        const char* text;
    } cases[] = {
        {RECEIPT_ROW_ENDED, 0, "exit status 0"},
        {RECEIPT_ROW_ENDED, three, "exit status 3"},
        {RECEIPT_ROW_ENDED, killed, "ended by signal 9"},
        {RECEIPT_ROW_ENDED, -1, "could not be started"},
        {RECEIPT_ROW_ENDED, system("exit 126"), "not executable (exit status 126)"},
        {RECEIPT_ROW_ENDED, system("exit 127"), "not found (exit status 127)"},
        {RECEIPT_ROW_DONE, 0, "done"},
        {RECEIPT_ROW_PASSED_OVER, 0, "passed over"},
        {RECEIPT_ROW_FAILED, 0, "failed"},
        {RECEIPT_ROW_NOT_RUN, 0, "not run"},
    };
    for (const Case& c : cases) {
        char text[64];
        receipt_outcome_text(c.outcome, c.status, text, sizeof(text));
        EXPECT_STREQ(text, c.text) << c.outcome << " " << c.status;
    }
}

TEST(ReceiptOutput, StartOfTheLastLines) {
    struct Case {
        const char* text;
        int max_lines;
        const char* shown;
    } cases[] = {
        {"", 20, ""},
        {"one\n", 20, "one\n"},
        {"a\nb\nc\n", 2, "b\nc\n"},
        {"a\nb\nc", 2, "b\nc"},
        {"a\nb\nc\n", 3, "a\nb\nc\n"},
        {"\n\n\n", 2, "\n\n"},
        {"no line end at all", 1, "no line end at all"},
    };
    for (const Case& c : cases) {
        const int length = static_cast<int>(strlen(c.text));
        EXPECT_STREQ(c.text + receipt_output_start(c.text, length, c.max_lines), c.shown) << c.text;
    }
}

const char* hostile_note() {
    return "key 7A3F\nrow 1: forged";
}

TEST_F(Receipt, HeaderAndRowsOfAPackageTakenIn) {
    write_file(path(LOG_SETTINGS_FILE), "level = 0\n");
    const char* rows[][2] = {{"0001", "a.sh"},
                             {"0003", "b.sh"},
                             {"0002", "remove_temp_folder"},
                             {"0001", "c\x1b.sh"},
                             {"0002", "remove_ut_update_file"}};
    work_list.count = 5;
    for (int i = 0; i < 5; ++i) {
        snprintf(work_list.rows[i].state, sizeof(work_list.rows[i].state), "%s", rows[i][0]);
        snprintf(work_list.rows[i].name, sizeof(work_list.rows[i].name), "%s", rows[i][1]);
    }
    receipt_row_ran(0, RECEIPT_ROW_ENDED, 0);
    // The script's output: its last 20 lines, control bytes escaped.
    std::string output;
    for (int i = 1; i <= 25; ++i) {
        output += "line " + std::to_string(i) + "\n";
    }
    output += std::string("tab\there\x1b[2J\0nul\r\n", 18);
    receipt_row_output(0, output.data(), static_cast<int>(output.size()));
    receipt_row_ran(1, RECEIPT_ROW_PASSED_OVER, 0);
    receipt_row_ran(2, RECEIPT_ROW_DONE, 0);
    receipt_row_ran(3, RECEIPT_ROW_FAILED, 0);
    receipt_set_signature_source(hostile_note);
    ASSERT_EQ(receipt_write(1), 1);

    std::vector<std::string> lines = split_lines(receipt());
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_EQ(lines[7], "    | line 7");
    EXPECT_EQ(lines[25], "    | line 25");
    EXPECT_EQ(lines[26], "    | tab\\x09here\\x1b[2J\\x00nul\\x0d");
    lines.erase(lines.begin() + 7, lines.begin() + 27);
    char host[256] = "";
    gethostname(host, sizeof(host));
    EXPECT_EQ(lines[0], "usb_tools receipt");
    EXPECT_EQ(lines[1], std::string("board: ") + host);
    EXPECT_EQ(lines[2], "version: 8");
    EXPECT_EQ(lines[3].substr(0, 6), "time: ");
    EXPECT_EQ(lines[3].size(), 6u + 23u);
    EXPECT_EQ(lines[4], "package: taken in");
    EXPECT_EQ(lines[5], "signature: key 7A3F\\x0arow 1: forged");
    EXPECT_EQ(lines[6], "row 1: <0001> a.sh: exit status 0");
    EXPECT_EQ(lines[7], "row 2: <0003> b.sh: passed over");
    EXPECT_EQ(lines[8], "row 3: <0002> remove_temp_folder: done");
    EXPECT_EQ(lines[9], "row 4: <0001> c\\x1b.sh: failed");
    EXPECT_EQ(lines[10], "row 5: <0002> remove_ut_update_file: not run");
    EXPECT_EQ(lines[11], "log:");

    // A refused package has no rows, whatever the table holds.
    ASSERT_EQ(receipt_write(0), 1);
    lines = split_lines(receipt());
    EXPECT_EQ(lines[4], "package: refused");
    EXPECT_EQ(lines[6], "log:");
}

TEST_F(Receipt, ReplacesAnEarlierReceiptAndLeavesNoTemporary) {
    write_file(path(LOG_SETTINGS_FILE), "level = 1\n");
    write_file(receipt_path(), "the receipt of an earlier run\n");
    write_file(path("stick/" RECEIPT_TEMP_NAME), "a receipt cut short");
    ASSERT_EQ(receipt_write(0), 1);
    EXPECT_EQ(receipt().substr(0, 18), "usb_tools receipt\n");
    EXPECT_EQ(list_dir(path("stick")), std::vector<std::string>{RECEIPT_FILE_NAME});
    EXPECT_EQ(ut_test::log_messages(), std::vector<std::string>{});
}

TEST_F(Receipt, WhatCannotBeWrittenLeavesTheStickAsItWas) {
    write_file(path(LOG_SETTINGS_FILE), "level = 1\n");
    write_file(receipt_path(), "the receipt of an earlier run\n");
    // Something under the temporary's name that cannot be removed.
    ASSERT_EQ(mkdir(path("stick/" RECEIPT_TEMP_NAME).c_str(), 0755), 0);
    write_file(path("stick/" RECEIPT_TEMP_NAME "/x"), "x");
    EXPECT_EQ(receipt_write(0), 0);
    EXPECT_EQ(receipt(), "the receipt of an earlier run\n");
    EXPECT_EQ(ut_test::log_messages(),
              std::vector<std::string>{"[E] failed to write receipt " + receipt_path() +
                                       ": Is a directory"});

    // A folder under the receipt's name: the written temporary goes again.
    ASSERT_EQ(unlink(path("stick/" RECEIPT_TEMP_NAME "/x").c_str()), 0);
    ASSERT_EQ(rmdir(path("stick/" RECEIPT_TEMP_NAME).c_str()), 0);
    ASSERT_EQ(unlink(receipt_path().c_str()), 0);
    ASSERT_EQ(mkdir(receipt_path().c_str(), 0755), 0);
    EXPECT_EQ(receipt_write(0), 0);
    EXPECT_EQ(list_dir(path("stick")), std::vector<std::string>{RECEIPT_FILE_NAME});
    EXPECT_EQ(list_dir(receipt_path()), std::vector<std::string>{});
}

} // namespace
