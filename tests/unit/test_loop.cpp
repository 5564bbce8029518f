// The supervisor loop, run as a real process with scripted handlers
// (tests/loop/fake_handlers.cpp): the order of states and sleeps, exit
// statuses, the heartbeat line and the loop's own log lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

using ut_test::split_lines;

namespace {

class Loop : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ut_test::write_file(path("c_log.ini"), "level = 3\nmax_size = 5mb\n");
    }

    // Runs the loop with the given FAKE_ settings; returns its trace.
    std::vector<std::string> run(const std::string& settings, int* status = nullptr) {
        std::string out;
        int rc = ut_test::run_command(
            "cd '" + dir_ + "' && env " + settings + " " LOOP_EMULATOR " " LOOP_FIXTURE, &out);
        if (status != nullptr) {
            *status = rc;
        }
        return split_lines(out);
    }

    std::vector<std::string> log_messages() {
        std::vector<std::string> messages;
        for (const std::string& line : split_lines(ut_test::all_log_text())) {
            size_t at = line.find("] ", 30);
            if (line.size() > 24 && line[24] == '[' && at != std::string::npos) {
                messages.push_back(line.substr(24, 4) + line.substr(at + 2));
            }
        }
        return messages;
    }
};

using Trace = std::vector<std::string>;

TEST_F(Loop, StartUpPhaseThenServicePhase) {
    int status = -1;
    Trace trace = run("FAKE_USB=22 FAKE_TASK=24 FAKE_PASSES=6", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(trace, (Trace{"usb", "sleep 5", "task", "sleep 5", "exec", "sleep 5", "settings 0",
                            "sleep 60", "sleep 5", "mem ok", "sleep 5", "mem ok", "sleep 5"}));
    EXPECT_EQ(log_messages(),
              (Trace{"[I] USB_SEARCH PART", "[I] TASK_SEARCH PART", "[I] TASK_EXECUTE_PART"}));
    // The loop's lines name its source and the function main.
    EXPECT_NE(ut_test::all_log_text().find(" [I] src/usb_tools.cpp" + std::string(12, ' ') +
                                           ": main" + std::string(25, ' ') + ": ["),
              std::string::npos);
}

TEST_F(Loop, NoDeviceGoesToSettings) {
    Trace trace = run("FAKE_USB=26 FAKE_PASSES=3");
    EXPECT_EQ(trace,
              (Trace{"usb", "sleep 5", "settings 0", "sleep 60", "sleep 5", "mem ok", "sleep 5"}));
}

TEST_F(Loop, FailedSearchesEndTheProcessAtOnce) {
    int status = -1;
    EXPECT_EQ(run("FAKE_USB=fail", &status), Trace{"usb"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(log_messages(), (Trace{"[I] USB_SEARCH PART", "[E] error in search usb part"}));

    ut_test::remove_tree(path("logs"));
    EXPECT_EQ(run("FAKE_USB=22 FAKE_TASK=fail", &status), (Trace{"usb", "sleep 5", "task"}));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(log_messages(), (Trace{"[I] USB_SEARCH PART", "[I] TASK_SEARCH PART",
                                     "[E] error in search task part"}));
}

TEST_F(Loop, FailedExecutionGoesOn) {
    Trace trace = run("FAKE_USB=22 FAKE_TASK=24 FAKE_EXEC=fail FAKE_PASSES=4");
    EXPECT_EQ(trace, (Trace{"usb", "sleep 5", "task", "sleep 5", "exec", "sleep 5", "settings 0",
                            "sleep 60", "sleep 5"}));
    EXPECT_EQ(log_messages().back(), "[E] error in execute work list part");
}

TEST_F(Loop, ServiceModeHoldsTheWatchUntilItIsZero) {
    Trace trace = run("FAKE_REGIM=1,-2,0 FAKE_PASSES=5");
    EXPECT_EQ(trace, (Trace{"usb", "sleep 5", "settings 1", "sleep 5", "settings -2", "sleep 5",
                            "settings 0", "sleep 60", "sleep 5", "mem ok", "sleep 5"}));
}

TEST_F(Loop, KillReturnsToSettingsAndFailedCheckStays) {
    Trace trace = run("FAKE_MEM=ok,kill,fail,ok FAKE_PASSES=7");
    EXPECT_EQ(trace, (Trace{"usb", "sleep 5", "settings 0", "sleep 60", "sleep 5", "mem ok",
                            "sleep 5", "mem kill", "sleep 5", "settings 0", "sleep 60", "sleep 5",
                            "mem fail", "sleep 5", "mem ok", "sleep 5"}));
    EXPECT_EQ(log_messages(), (Trace{"[I] USB_SEARCH PART", "[E] failed to check memory"}));
}

// Every 60th pass in state 30 logs the memory found before that pass's check;
// the count carries over a stay in state 26.
TEST_F(Loop, HeartbeatEverySixtyPasses) {
    // 30 checks, a kill on the 30th, then on: the 60th pass in state 30 is
    // the 30th after the return, with 59 readings before it.
    std::string mem;
    for (int i = 1; i <= 29; ++i) {
        mem += "ok,";
    }
    mem += "kill,ok";
    run("FAKE_MEM=" + mem + " FAKE_PASSES=" + std::to_string(1 + 1 + 60 + 1 + 60));
    std::vector<std::string> heartbeats;
    for (const std::string& m : log_messages()) {
        if (m.find("STATE_CHECK_MEM") != std::string::npos) {
            heartbeats.push_back(m);
        }
    }
    EXPECT_EQ(heartbeats, (Trace{"[I] STATE_CHECK_MEM: [59]", "[I] STATE_CHECK_MEM: [119]"}));
}

TEST_F(Loop, FirstHeartbeatShowsZeroWithoutReadings) {
    run("FAKE_MEM=fail FAKE_PASSES=62");
    Trace messages = log_messages();
    ASSERT_GE(messages.size(), 61u);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "[I] STATE_CHECK_MEM: [0]"), 1);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "[E] failed to check memory"), 60);
}

TEST_F(Loop, UnknownStateOnlySleeps) {
    EXPECT_EQ(run("FAKE_USB=99 FAKE_PASSES=3"), (Trace{"usb", "sleep 5", "sleep 5", "sleep 5"}));
}

} // namespace
