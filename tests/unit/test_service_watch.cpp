// Rules of the memory watch that stand apart from the board's fixed files:
// the pacing of the checks by the memory found, and which pids may be killed.

#include <gtest/gtest.h>
#include <limits.h>

#include "src/data_ut.h"
#include "src/service_task/service_task.h"

namespace {

class Watch : public ::testing::Test {
  protected:
    void SetUp() override { init_vars(); }
    void TearDown() override { init_vars(); }
};

TEST_F(Watch, PacingLimitByMemoryFound) {
    const struct {
        int rss_kb;
        int limit;
    } cases[] = {
        {0, 10}, {-5, 10}, {102399, 10}, {102400, 2}, {614400, 2}, {614401, 2}, {INT_MAX, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rss_kb);
        cur_rss_mem = c.rss_kb;
        mem_step_count_sp = -1;
        set_memory_check_sp();
        EXPECT_EQ(mem_step_count_sp, c.limit);
    }
}

TEST_F(Watch, PacingCountsUpToTheLimit) {
    // At start both counters are 0: the first pass checks at once.
    EXPECT_EQ(memory_check_due(), 1);
    EXPECT_EQ(mem_check_step, 0);
    // With the limit 10 the next 10 passes only count; the 11th checks, and
    // checks again until the watch sets the counter back.
    mem_step_count_sp = 10;
    for (int pass = 1; pass <= 10; ++pass) {
        SCOPED_TRACE(pass);
        EXPECT_EQ(memory_check_due(), 0);
        EXPECT_EQ(mem_check_step, pass);
    }
    EXPECT_EQ(memory_check_due(), 1);
    EXPECT_EQ(memory_check_due(), 1);
    EXPECT_EQ(mem_check_step, 10);
    // A limit lowered under the count checks at once.
    mem_step_count_sp = 2;
    EXPECT_EQ(memory_check_due(), 1);
}

TEST(KillablePid, OnlyPositivePids) {
    const struct {
        int pid;
        int killable;
    } cases[] = {
        {1, 1}, {1234, 1}, {INT_MAX, 1}, {0, 0}, {-1, 0}, {-2, 0}, {-1234, 0}, {INT_MIN, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        EXPECT_EQ(is_killable_pid(c.pid), c.killable);
    }
}

} // namespace
