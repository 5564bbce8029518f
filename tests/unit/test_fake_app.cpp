// The application suite stand-in of the memory watch's tests
// (tests/fixtures/fake_app.cpp): it holds the resident memory asked for and
// main writes its pid file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/test_utility/work_with_files.h"
#include "test_support.h"

namespace {

// fake_app started with the given options, its standard output on a pipe;
// killed and reaped when the object goes.
class FakeApp {
  public:
    explicit FakeApp(const std::string& options) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        std::string command = "exec " LOOP_EMULATOR " " FAKE_APP " " + options;
        char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), &command[0], nullptr};
        // posix_spawn, not fork: a forked child of a program under qemu-arm
        // may crash before it can exec.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        pid_t pid = -1;
        if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ) == 0) {
            pid_ = pid;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~FakeApp() {
        if (out_ >= 0) {
            close(out_);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    FakeApp(const FakeApp&) = delete;
    FakeApp& operator=(const FakeApp&) = delete;

    int pid() const { return pid_; }

    // Its first line of output, read until the newline or the end.
    std::string first_line() { return next_line(); }

    // The next line of its output.
    std::string next_line() {
        std::string line;
        char c;
        while (out_ >= 0 && read(out_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Its exit status once it has ended by itself.
    int wait_status() {
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    int pid_ = -1;
    int out_ = -1;
};

class FakeAppTest : public ut_test::TempDirTest {};

// Where the tests run under qemu-arm, a process's VmRSS is the emulator's, and
// the emulator may map another page or two of its own after the landing.
void expect_vmrss(int rss, int kb) {
    if (sizeof(LOOP_EMULATOR) > 1) {
        EXPECT_GE(rss, kb);
        EXPECT_LE(rss, kb + 64);
    } else {
        EXPECT_EQ(rss, kb);
    }
}

TEST_F(FakeAppTest, MainLandsOnTheVmRssAskedForAndWritesItsPid) {
    // Pages of 4 kB: VmRSS moves in steps of 4 kB.
    for (int kb : {48000, 48004}) {
        SCOPED_TRACE(kb);
        std::string pid_file = path("velmarok.pid");
        FakeApp app("--as main --pid-file " + pid_file + " --vmrss-kb " + std::to_string(kb));
        std::string ready = app.first_line();
        EXPECT_EQ(ready, "ready " + std::to_string(app.pid()) + " " + std::to_string(kb));
        int rss = 0;
        char status[64];
        snprintf(status, sizeof(status), "/proc/%d/status", app.pid());
        ASSERT_EQ(get_memory_from_status_file(status, &rss), 1);
        expect_vmrss(rss, kb);
        EXPECT_EQ(ut_test::read_file(pid_file), std::to_string(app.pid()) + "\n");
    }
}

TEST_F(FakeAppTest, MainGrowsToTheSecondVmRssOnSigusr1) {
    FakeApp app("--as main --pid-file " + path("velmarok.pid") +
                " --vmrss-kb 40000 --grow-to-kb 56004");
    const std::string pid = std::to_string(app.pid());
    ASSERT_EQ(app.first_line(), "ready " + pid + " 40000");
    char status[64];
    snprintf(status, sizeof(status), "/proc/%d/status", app.pid());
    int rss = 0;
    ASSERT_EQ(get_memory_from_status_file(status, &rss), 1);
    expect_vmrss(rss, 40000);
    ASSERT_EQ(kill(app.pid(), SIGUSR1), 0);
    EXPECT_EQ(app.next_line(), "grown " + pid + " 56004");
    ASSERT_EQ(get_memory_from_status_file(status, &rss), 1);
    expect_vmrss(rss, 56004);
}

TEST_F(FakeAppTest, GrowingNeedsALandingOnAVmRss) {
    FakeApp app("--as main --pid-file " + path("velmarok.pid") + " --grow-to-kb 1000");
    EXPECT_EQ(app.first_line(), "");
    EXPECT_EQ(app.wait_status(), 2);
    EXPECT_FALSE(ut_test::exists(path("velmarok.pid")));
}

TEST_F(FakeAppTest, CompanionsHoldMemoryAndWriteNoPidFile) {
    FakeApp app("--as journaler --pid-file " + path("pid") + " --rss-kb 30000");
    EXPECT_EQ(app.first_line().compare(0, 6, "ready "), 0);
    int rss = 0;
    char status[64];
    snprintf(status, sizeof(status), "/proc/%d/status", app.pid());
    ASSERT_EQ(get_memory_from_status_file(status, &rss), 1);
    EXPECT_GE(rss, 30000);
    EXPECT_FALSE(ut_test::exists(path("pid")));
}

TEST_F(FakeAppTest, RefusesAnUnknownRole) {
    FakeApp app("--as editor");
    EXPECT_EQ(app.first_line(), "");
    EXPECT_EQ(app.wait_status(), 2);
}

} // namespace
