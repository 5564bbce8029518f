// The shell steps: switching a script's execute bit and running a command.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/test_utility.h"
#include "common/test_utility/work_with_files.h"
#include "test_support.h"

namespace {

class ShellSteps : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything();
    }
    mode_t mode(const std::string& p) {
        struct stat st;
        stat(p.c_str(), &st);
        return st.st_mode & 0777;
    }
};

TEST_F(ShellSteps, ScriptOnSwitchesExecuteBits) {
    ut_test::write_file(path("s.sh"), "#!/bin/sh\n");
    ASSERT_EQ(chmod(path("s.sh").c_str(), 0644), 0);
    EXPECT_EQ(script_on(path("s.sh").c_str(), 1), 1);
    EXPECT_EQ(mode(path("s.sh")) & 0111, 0111u);
    EXPECT_EQ(script_on(path("s.sh").c_str(), 0), 1);
    EXPECT_EQ(mode(path("s.sh")) & 0111, 0u);
    // A failing command is not looked at.
    EXPECT_EQ(script_on(path("missing.sh").c_str(), 1), 1);
    EXPECT_EQ(script_on("", 1), 0);
    EXPECT_NE(ut_test::all_log_text().find("script_path is empty"), std::string::npos);
}

TEST_F(ShellSteps, ExecuteScriptRunsToItsEndWhateverItsStatus) {
    EXPECT_EQ(execute_script(("echo done > '" + path("trace") + "'; exit 3").c_str()), 1);
    EXPECT_EQ(ut_test::read_file(path("trace")), "done\n");
}

// The package's mode on the stick is changed without a shell: a path that a
// shell would take for several words or commands reaches exactly that file.
TEST_F(ShellSteps, ModeChangeReachesExactlyTheFile) {
    const char* const names[] = {
        "a b",  "x;touch pwned", "$(touch pwned)", "`touch pwned`", "q'uote",
        "d\"q", "-rf",           "new\nline",      "star*",         "back\\slash",
    };
    ut_test::write_file(path("a"), "neighbour");
    ASSERT_EQ(chmod(path("a").c_str(), 0600), 0);
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string folder = path(std::string("m ") + name);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        std::string file = folder + "/command.f";
        ut_test::write_file(file, "p");
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
        EXPECT_EQ(change_file_mode(file.c_str(), 0777), 1);
        EXPECT_EQ(mode(file), 0777u);
    }
    EXPECT_FALSE(ut_test::exists(path("pwned")));
    EXPECT_FALSE(ut_test::exists("pwned"));
    EXPECT_EQ(mode(path("a")), 0600u);
}

TEST_F(ShellSteps, ModeChangeNeverFollowsALink) {
    ut_test::write_file(path("board_file"), "b");
    ASSERT_EQ(chmod(path("board_file").c_str(), 0600), 0);
    ASSERT_EQ(symlink(path("board_file").c_str(), path("command.f").c_str()), 0);
    EXPECT_EQ(change_file_mode(path("command.f").c_str(), 0777), 0);
    EXPECT_EQ(mode(path("board_file")), 0600u);
    // Nor a FIFO (without blocking), a folder or a missing file.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(change_file_mode(path("fifo").c_str(), 0777), 0);
    EXPECT_EQ(mode(path("fifo")), 0600u);
    EXPECT_EQ(change_file_mode(dir_.c_str(), 0777), 0);
    EXPECT_EQ(change_file_mode(path("missing").c_str(), 0777), 0);
}

std::string last_output() {
    const char* bytes = nullptr;
    int length = last_execute_output(&bytes);
    return std::string(bytes, static_cast<size_t>(length));
}

// The script's standard output and error reach the caller's standard output
// as before, and their last 2048 bytes are kept; the shell's statuses stay.
TEST_F(ShellSteps, CapturedScriptKeepsItsLastOutput) {
    EXPECT_EQ(execute_script_captured("echo out; echo err >&2; exit 3"), 1);
    EXPECT_TRUE(WIFEXITED(last_execute_status()));
    EXPECT_EQ(WEXITSTATUS(last_execute_status()), 3);
    EXPECT_EQ(last_output(), "out\nerr\n");

    EXPECT_EQ(execute_script_captured("i=0; while [ $i -lt 1000 ]; do echo line $i; "
                                      "i=$((i+1)); done"),
              1);
    const std::string kept = last_output();
    EXPECT_EQ(kept.size(), static_cast<size_t>(SCRIPT_OUTPUT_SIZE));
    EXPECT_EQ(kept.substr(kept.size() - 9), "line 999\n");

    EXPECT_EQ(execute_script_captured(("'" + path("missing.sh") + "'").c_str()), 1);
    EXPECT_EQ(WEXITSTATUS(last_execute_status()), 127);
    ut_test::write_file(path("plain.sh"), "echo x\n");
    ASSERT_EQ(chmod(path("plain.sh").c_str(), 0644), 0);
    EXPECT_EQ(execute_script_captured(("'" + path("plain.sh") + "'").c_str()), 1);
    EXPECT_EQ(WEXITSTATUS(last_execute_status()), 126);
    EXPECT_NE(last_output().find("Permission denied"), std::string::npos) << last_output();
}

// A child left in the background holds the pipe after the script ended: the
// script's row ends at once, and the child goes on writing, unharmed, once
// the caller has its output.
TEST_F(ShellSteps, BackgroundChildIsNeitherWaitedForNorHarmed) {
    const std::string go = path("go");
    const std::string done = path("done");
    const std::string command =
        "(i=0; while [ ! -e '" + go +
        "' ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done; "
        "i=0; while [ $i -lt 2000 ]; do echo background $i; i=$((i+1)); done; "
        "touch '" +
        done + "') & echo own line";
    EXPECT_EQ(execute_script_captured(command.c_str()), 1);
    EXPECT_EQ(last_output(), "own line\n");
    EXPECT_FALSE(ut_test::exists(done)) << "the script's end was not waited for by its child";
    ut_test::write_file(go, "");
    for (int i = 0; i < 1000 && !ut_test::exists(done); ++i) {
        usleep(10000);
    }
    EXPECT_TRUE(ut_test::exists(done)) << "the child wrote all its lines and ended";
}

// The cat that takes a background child's pipe over runs as root: it is
// /bin/cat, never a "cat" that the daemon's PATH finds first. The child
// writes more than a pipe holds, so its end shows that a cat read it.
TEST_F(ShellSteps, BackgroundOutputGoesToTheSystemCat) {
    const std::string marker = path("own_cat_ran");
    ut_test::write_file(path("cat"), "#!/bin/sh\n: > '" + marker + "'\nexec /bin/cat\n");
    ASSERT_EQ(chmod(path("cat").c_str(), 0755), 0);
    const char* old_path = getenv("PATH");
    const std::string kept_path = old_path != nullptr ? old_path : "/usr/bin:/bin";
    ASSERT_EQ(setenv("PATH", (dir_ + ":" + kept_path).c_str(), 1), 0);
    // The forwarded lines go nowhere rather than into the test's output.
    const int kept_stdout = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(kept_stdout, 0);
    ASSERT_GE(null_fd, 0);
    ASSERT_EQ(dup2(null_fd, STDOUT_FILENO), STDOUT_FILENO);
    const std::string go = path("go");
    const std::string done = path("done");
    const std::string command = "PATH=" + kept_path + "; (i=0; while [ ! -e '" + go +
                                "' ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done; "
                                "yes | head -n 100000; touch '" +
                                done + "') & echo own line";
    EXPECT_EQ(execute_script_captured(command.c_str()), 1);
    setenv("PATH", kept_path.c_str(), 1);
    ut_test::write_file(go, "");
    for (int i = 0; i < 3000 && !ut_test::exists(done); ++i) {
        usleep(10000);
    }
    dup2(kept_stdout, STDOUT_FILENO);
    close(kept_stdout);
    close(null_fd);
    EXPECT_EQ(last_output(), "own line\n");
    ASSERT_TRUE(ut_test::exists(done)) << "a cat read the child's output";
    EXPECT_FALSE(ut_test::exists(marker)) << "the cat found by PATH ran";
}

TEST(ScriptNames, PortableFileNamesOnly) {
    for (const char* ok : {"update.sh", "a", "A-1_b.c", ".hidden", "x-", "0001"}) {
        EXPECT_EQ(is_plain_script_name(ok), 1) << ok;
    }
    for (const char* bad : {"", "-rf", ".", "..", "../x", "a b", "a;b", "$(x)", "a*", "a\\b",
                            "tab\tname", "quote'", "\xc3\xa9t\xc3\xa9.sh"}) {
        EXPECT_EQ(is_plain_script_name(bad), 0) << bad;
    }
}

} // namespace
