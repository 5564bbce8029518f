// Readers of the service watch: the service settings file, text lines and
// their numbers, the VmRSS of a process status file, processes by name, the
// pid file and file times.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log/log_c.h"
#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/work_with_files.h"
#include "src/service_task/service_task.h"
#include "test_support.h"

using ut_test::log_messages;
using ut_test::read_file;
using ut_test::write_file;

namespace {

using Messages = std::vector<std::string>;

class Readers : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything();
    }
    // Removes the log, so that the next case starts without lines.
    void clear_log() {
        ut_test::remove_tree(path("logs"));
        ut_test::reset_log_state();
    }
};

// ---------------------------------------------------------------------------
// Service settings

struct NumberCase {
    const char* text;
    int result;
    int value; // out afterwards; 99 when it was to stay unchanged
};

TEST(ServiceSettingsText, FirstNumberWithMinusOneAsNone) {
    const NumberCase cases[] = {
        {"1", 1, 1},
        {"0\n", 1, 0},
        {"-1", 0, 99},
        {"abc", 0, 99},
        {"  7 any text", 1, 7},
        {"-2", 1, -2},
        {"", 0, 99},
        {"\n\n\t 3\n", 1, 3},
        {"+4", 1, 4},
        {"- 1", 0, 99},
        {"-1 5", 0, 99},
        {"12abc", 1, 12},
        {"99999999999", 1, INT_MAX},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        int value = 99;
        EXPECT_EQ(parse_service_settings_text(c.text, &value), c.result);
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(Readers, ServiceSettingsFile) {
    write_file(path("s"), "  7 any text\n");
    int value = 99;
    EXPECT_EQ(get_service_settings_from_file(path("s").c_str(), &value), 1);
    EXPECT_EQ(value, 7);
    write_file(path("s"), "-1\n");
    EXPECT_EQ(get_service_settings_from_file(path("s").c_str(), &value), 0);
    EXPECT_EQ(value, 7);
    // White space before the number is skipped however long it runs; the
    // number is looked for at the start of the file only.
    write_file(path("s"), std::string(600, ' ') + "-3\n");
    EXPECT_EQ(get_service_settings_from_file(path("s").c_str(), &value), 1);
    EXPECT_EQ(value, -3);
    write_file(path("s"), std::string(600, 'x') + " 5");
    EXPECT_EQ(get_service_settings_from_file(path("s").c_str(), &value), 0);
    EXPECT_EQ(value, -3);
    value = 7;
    EXPECT_EQ(log_messages(), Messages{}) << "no value is not an error";

    EXPECT_EQ(get_service_settings_from_file("", &value), 0);
    EXPECT_EQ(get_service_settings_from_file(path("none").c_str(), &value), 0);
    ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
    EXPECT_EQ(get_service_settings_from_file(path("dir").c_str(), &value), 0);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(log_messages(),
              (Messages{"[E] file_path is empty", "[E] failed to open file: " + path("none"),
                        "[E] failed to read file: " + path("dir")}));
}

// ---------------------------------------------------------------------------
// Lines and their numbers

TEST_F(Readers, LineFromFileKeepsTheLastMatch) {
    write_file(path("t"), "Name:\tx\nVmRSS:\t 1 kB\nOther\nVmRSS:\t 2 kB\nvmrss: 3\nTail");
    char out[64] = "untouched";
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "VmRSS:", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "VmRSS:\t 2 kB\n") << "the last match, newline included, case counts";
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "Tail", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "Tail") << "a last line without newline";
    strcpy(out, "untouched");
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "Missing", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(log_messages(), Messages{}) << "no match is not logged";
}

TEST_F(Readers, LineFromFileBoundsItsResult) {
    write_file(path("t"), "ab\nword 1\nword 22\nword 333 is long\n");
    char out[16] = "untouched";
    // A line of exactly out_size characters loses its last one (the newline).
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "word 22", out, 8), 1);
    EXPECT_STREQ(out, "word 22");
    // A match longer than out_size stops the search; an earlier match is kept.
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "word", out, 9), 1);
    EXPECT_STREQ(out, "word 22\n");
    strcpy(out, "untouched");
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "333", out, 9), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(log_messages(),
              (Messages{"[E] res_buf would be overflow: buf size = 9, result size = 17",
                        "[E] res_buf would be overflow: buf size = 9, result size = 17"}));
}

TEST_F(Readers, LineFromFileReadsLongLinesInPieces) {
    // Pieces of 511 characters: a word inside the second piece is found there,
    // a word across the cut is not found at all.
    std::string first(511, 'x');
    write_file(path("t"), first + "VmRSS: 9 kB\n" + std::string(509, 'y') + "VmRSS: 8\n");
    char out[600];
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "VmRSS:", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "VmRSS: 9 kB\n");
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "VmRSS: 8", out, sizeof(out)), 0);
}

TEST_F(Readers, LineFromFileFailures) {
    char out[16] = "untouched";
    write_file(path("t"), "word\n");
    EXPECT_EQ(get_line_from_file("", "word", out, sizeof(out)), 0);
    EXPECT_EQ(get_line_from_file(path("t").c_str(), "", out, sizeof(out)), 0);
    EXPECT_EQ(get_line_from_file(path("none").c_str(), "word", out, sizeof(out)), 0);
    ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
    EXPECT_EQ(get_line_from_file(path("dir").c_str(), "word", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(log_messages(), (Messages{"[E] file_path is empty", "[E] search_word is empty",
                                        "[E] failed to open file: " + path("none"),
                                        "[E] failed to read file: " + path("dir")}));
}

TEST_F(Readers, NumberFromLine) {
    const NumberCase cases[] = {
        {"VmRSS:\t   73420 kB\n", 1, 73420},
        {"VmRSS:\t0 kB", 0, 99},
        {"-5 kB", 1, -5},
        {"pid 1234 x", 1, 1234},
        {"  42\n", 1, 42},
        {"0 then 7", 0, 99}, // a number 0 at the start is a failure
        {"x -3", 1, 3},      // digits after the text carry no sign
        {"abc", 0, 99},
        {"VmRSS:\t 99999999999 kB", 1, INT_MAX},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        int value = 99;
        EXPECT_EQ(get_number_from_line(c.text, &value), c.result);
        EXPECT_EQ(value, c.value);
    }
    EXPECT_EQ(log_messages(), Messages{}) << "a line without number is not logged";
    int value = 99;
    EXPECT_EQ(get_number_from_line("", &value), 0);
    EXPECT_EQ(log_messages(), Messages{"[E] line is empty"});
}

// ---------------------------------------------------------------------------
// Resident memory

TEST_F(Readers, MemoryFromStatusFile) {
    write_file(path("status"),
               "Name:\tmain\nVmPeak:\t  80000 kB\nVmRSS:\t   73420 kB\nThreads: 1\n");
    int kb = 99;
    EXPECT_EQ(get_memory_from_status_file(path("status").c_str(), &kb), 1);
    EXPECT_EQ(kb, 73420);
    // The kernel's own file for this process.
    EXPECT_EQ(get_memory_from_status_file("/proc/self/status", &kb), 1);
    EXPECT_GT(kb, 0);
    EXPECT_EQ(log_messages(), Messages{});
}

TEST_F(Readers, MemoryFromStatusFileFailures) {
    int kb = 99;
    write_file(path("none"), "Name:\tkthreadd\nThreads:\t1\n");
    EXPECT_EQ(get_memory_from_status_file(path("none").c_str(), &kb), 0);
    EXPECT_EQ(log_messages(), Messages{"[E] failed to get VmRSS: line from file: " + path("none")});

    clear_log();
    write_file(path("zero"), "VmRSS:\t0 kB\n");
    EXPECT_EQ(get_memory_from_status_file(path("zero").c_str(), &kb), 0);
    // The line is shown with its newline.
    EXPECT_NE(
        ut_test::all_log_text().find("] failed to get number from line: [VmRSS:\\x090 kB\\x0a]\n"),
        std::string::npos);

    clear_log();
    EXPECT_EQ(get_memory_from_status_file("/proc/999999999/status", &kb), 0);
    EXPECT_EQ(log_messages(),
              (Messages{"[E] failed to open file: /proc/999999999/status",
                        "[E] failed to get VmRSS: line from file: /proc/999999999/status"}));
    EXPECT_EQ(kb, 99);
}

// ---------------------------------------------------------------------------
// Processes by name

struct CmdlineCase {
    std::string cmdline; // bytes of a /proc/<pid>/cmdline
    const char* name;
    int match;
};

TEST(CmdlineFirstWord, ComparesTheFirstWordOfTheFirstArgument) {
    using namespace std::string_literals;
    const CmdlineCase cases[] = {
        {"main\0--size\0 10\0"s, "main", 1},
        {"main"s, "main", 1}, // no NUL in the bytes read
        {"  main\0"s, "main", 1},
        {"main worker\0"s, "main", 1},
        {"main\tx\0"s, "main", 1},
        {"./main\0"s, "main", 0},
        {"/usr/bin/main\0"s, "main", 0},
        {"main2\0"s, "main", 0},
        {"mai\0n\0"s, "main", 0},
        {"\0main\0"s, "main", 0}, // empty first argument
        {"   \0main\0"s, "main", 0},
        {""s, "main", 0}, // a kernel thread
        {"main worker\0"s, "main worker", 0},
        {"journaler\0"s, "journaler", 1},
        {"journaler\0"s, "journal", 0},
    };
    for (const CmdlineCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.cmdline) + " / " + c.name);
        EXPECT_EQ(
            cmdline_first_word_is(c.cmdline.data(), static_cast<int>(c.cmdline.size()), c.name),
            c.match);
    }
    // The first argument is as long as the bytes read.
    std::string cut(512, 'm');
    EXPECT_EQ(cmdline_first_word_is(cut.data(), 4, "mmmm"), 1);
}

TEST(CmdlineIsMain, TheBareNameOrAPathEndingInIt) {
    using namespace std::string_literals;
    const struct {
        std::string cmdline;
        int main;
    } cases[] = {
        {"main\0"s, 1},
        {"main\0--size\0 10\0"s, 1},
        {"  main worker\0"s, 1},
        {"/home/velmarok/main\0"s, 1},
        {"./main\0-d\0"s, 1},
        {"/main\0"s, 1},
        {"//home//velmarok//main\0"s, 1},
        {"/home/velmarok/main -d\0"s, 1},
        {"main2\0"s, 0},
        {"xmain\0"s, 0},
        {"/home/velmarok/xmain\0"s, 0},
        {"/home/velmarok/main2\0"s, 0},
        {"/home/main/journaler\0"s, 0},
        {"main/\0"s, 0},
        {"/\0"s, 0},
        {"sh\0/home/velmarok/main\0"s, 0}, // main as an argument
        {"/home/my dir/main\0"s, 0},       // its first word is "/home/my"
        {"mai\0n\0"s, 0},
        {"\0main\0"s, 0},
        {"   \0main\0"s, 0},
        {""s, 0}, // a kernel thread or a zombie
        {"MAIN\0"s, 0},
        // A word that runs to the end of the bytes read may be cut there.
        {"main"s, 0},
        {"/home/velmarok/main"s, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.cmdline));
        EXPECT_EQ(cmdline_is_main(c.cmdline.data(), static_cast<int>(c.cmdline.size())), c.main);
    }
    // A long path cut by the read limit right after ".../main" is not main.
    std::string cut = "/" + std::string(506, 'd') + "/main";
    ASSERT_EQ(cut.size(), 512u);
    EXPECT_EQ(cmdline_is_main(cut.data(), 512), 0);
    EXPECT_EQ(cmdline_is_main((cut + '\0').data(), 513), 1);
}

// A child process running /bin/sleep under a command line of our choice,
// killed and reaped when the object goes.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv) : argv_(argv) {
        std::vector<char*> args;
        for (std::string& a : argv_) {
            args.push_back(&a[0]);
        }
        args.push_back(nullptr);
        // posix_spawn, not fork: a forked child of a program under qemu-arm
        // may crash before it can exec.
        pid_t pid = -1;
        if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, args.data(), environ) != 0) {
            pid = -1;
        }
        pid_ = pid;
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }

    // Waits until the process shows its new command line.
    bool started() const {
        std::string want = argv_[0] + std::string(1, '\0');
        for (int i = 0; i < 2000; ++i) {
            std::string now = read_file("/proc/" + std::to_string(pid_) + "/cmdline");
            if (now.compare(0, want.size(), want) == 0) {
                return true;
            }
            usleep(5000);
        }
        return false;
    }

  private:
    std::vector<std::string> argv_;
    int pid_;
};

// A name no other process on the machine carries.
std::string unique_name() {
    return "utfind" + std::to_string(getpid());
}

TEST_F(Readers, FindsAProcessByItsBareName) {
    const std::string name = unique_name();
    EXPECT_EQ(proc_find_by_name(name.c_str()), -1);
    Child slash({"./" + name, "1000"});
    Child path_form({"/usr/bin/" + name, "1000"});
    Child longer({name + "2", "1000"});
    ASSERT_TRUE(slash.started() && path_form.started() && longer.started());
    EXPECT_EQ(proc_find_by_name(name.c_str()), -1) << "neither by a path nor a longer name";

    Child bare({name, "1000", "1"}); // sleep adds up its arguments
    ASSERT_TRUE(bare.started());
    EXPECT_EQ(proc_find_by_name(name.c_str()), bare.pid());
    EXPECT_EQ(proc_find_by_name((name + " 1000").c_str()), -1) << "a name with a blank";
    EXPECT_EQ(log_messages(), Messages{});
}

TEST_F(Readers, NeverFindsItself) {
    // Our own first word, also carried by a child: the child is found.
    std::string own = read_file("/proc/self/cmdline");
    own = own.substr(0, own.find('\0'));
    ASSERT_FALSE(own.empty());
    Child twin({own, "1000"});
    ASSERT_TRUE(twin.started());
    int found = proc_find_by_name(own.c_str());
    EXPECT_NE(found, -1);
    EXPECT_NE(found, static_cast<int>(getpid()));
}

TEST_F(Readers, CommandLineOfAPid) {
    Child child({"/home/velmarok/main", "1000"});
    ASSERT_TRUE(child.started());
    char out[64];
    memset(out, 'z', sizeof(out));
    int got = read_cmdline_of_pid(child.pid(), out, sizeof(out));
    using namespace std::string_literals;
    EXPECT_EQ(std::string(out, static_cast<size_t>(got) + 1), "/home/velmarok/main\0"
                                                              "1000\0\0"s);
    // Cut to the buffer, and ended by a NUL.
    EXPECT_EQ(read_cmdline_of_pid(child.pid(), out, 6), 5);
    EXPECT_STREQ(out, "/home");
    for (int pid : {0, -1, INT_MIN, 999999999}) {
        SCOPED_TRACE(pid);
        EXPECT_EQ(read_cmdline_of_pid(pid, out, sizeof(out)), -1);
    }
    EXPECT_EQ(log_messages(), Messages{}) << "no such process is not this reader's fault";
}

// Whether the pid file's pid is main's: the command line that runs under it
// now decides, and what runs there instead is told.
TEST_F(Readers, PidIsMainByItsCommandLine) {
    const struct {
        std::vector<std::string> argv;
        int main;
        const char* what;
    } cases[] = {
        {{"main", "1000"}, 1, "main"},
        {{"/home/velmarok/main", "1000"}, 1, "main"},
        {{"./main", "1000"}, 1, "main"},
        {{"sleep", "1000"}, 0, "runs [sleep 1000]"},
        {{"main2", "1000"}, 0, "runs [main2 1000]"},
        {{"/home/velmarok/main_old", "1000"}, 0, "runs [/home/velmarok/main_old 1000]"},
        // A command line that would forge a log line or drive a terminal:
        // told as it is, for the log call to escape.
        {{"x\n01.01.2026 [W] fake\x1b[2J\\", "1000"},
         0,
         "runs [x\n01.01.2026 [W] fake\x1b[2J\\ 1000]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argv[0]));
        Child child(c.argv);
        ASSERT_TRUE(child.started());
        char what[PID_WHAT_SIZE] = "untouched";
        EXPECT_EQ(pid_is_main(child.pid(), what, sizeof(what)), c.main);
        EXPECT_STREQ(what, c.what);
    }
    char what[PID_WHAT_SIZE];
    // An ended process, pids that are no process, and a zombie.
    int ended = -1;
    {
        Child gone({"main", "1000"});
        ASSERT_TRUE(gone.started());
        ended = gone.pid();
    }
    for (int pid : {ended, 0, -1, -5, INT_MIN}) {
        SCOPED_TRACE(pid);
        EXPECT_EQ(pid_is_main(pid, what, sizeof(what)), -1);
        EXPECT_STREQ(what, "no such process");
    }
    pid_t zombie = -1;
    char sh[] = "main";
    char c_opt[] = "-c";
    char exit0[] = "exit 0";
    char* argv[] = {sh, c_opt, exit0, nullptr};
    ASSERT_EQ(posix_spawn(&zombie, "/bin/sh", nullptr, nullptr, argv, environ), 0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(pid_is_main(zombie, what, sizeof(what)), 0) << "a zombie runs nothing";
    EXPECT_STREQ(what, "runs []");
    waitpid(zombie, nullptr, 0);

    // A long command line is cut and says so.
    Child wordy({std::string(300, 'w'), "1000"});
    ASSERT_TRUE(wordy.started());
    EXPECT_EQ(pid_is_main(wordy.pid(), what, sizeof(what)), 0);
    EXPECT_EQ(std::string(what), "runs [" + std::string(199, 'w') + "] (cut)");
    EXPECT_EQ(log_messages(), Messages{});
}

// The kernel's own files, as they are when the main application has just
// ended or the pid file points at a kernel thread.
TEST_F(Readers, StatusOfAnEndedProcessAndOfAKernelThread) {
    int kb = 99;
    int pid = -1;
    {
        Child gone({"sleep", "1000"});
        ASSERT_TRUE(gone.started());
        pid = gone.pid();
    } // killed and reaped
    std::string status = "/proc/" + std::to_string(pid) + "/status";
    EXPECT_EQ(get_memory_from_status_file(status.c_str(), &kb), 0);
    EXPECT_EQ(kb, 99);
    EXPECT_EQ(log_messages(), (Messages{"[E] failed to open file: " + status,
                                        "[E] failed to get VmRSS: line from file: " + status}));

    std::string kthread = read_file("/proc/2/status");
    if (kthread.find("Name:\tkthreadd") == std::string::npos) {
        GTEST_SKIP() << "no kernel thread visible as pid 2 here";
    }
    clear_log();
    EXPECT_EQ(get_memory_from_status_file("/proc/2/status", &kb), 0);
    EXPECT_EQ(log_messages(), Messages{"[E] failed to get VmRSS: line from file: /proc/2/status"});
    EXPECT_EQ(proc_find_by_name("kthreadd"), -1) << "an empty command line never matches";
}

// Processes start and end all along the scan: those gone are skipped, the
// one looked for is found, and the scan never fails.
TEST_F(Readers, ScanWhileProcessesComeAndGo) {
    char sh[] = "sh";
    char c[] = "-c";
    char loop[] = "while :; do /bin/true; /bin/true; done";
    char* argv[] = {sh, c, loop, nullptr};
    pid_t churn = -1;
    ASSERT_EQ(posix_spawn(&churn, "/bin/sh", nullptr, nullptr, argv, environ), 0);
    const std::string name = unique_name();
    Child wanted({name, "1000"});
    ASSERT_TRUE(wanted.started());
    int found_every_time = 1;
    for (int i = 0; i < 100; ++i) {
        found_every_time &= proc_find_by_name(name.c_str()) == wanted.pid();
        EXPECT_EQ(proc_find_by_name("ut_no_such_program"), -1);
    }
    kill(churn, SIGKILL);
    waitpid(churn, nullptr, 0);
    EXPECT_EQ(found_every_time, 1);
    EXPECT_EQ(log_messages(), Messages{});
}

TEST_F(Readers, FindByEmptyName) {
    EXPECT_EQ(proc_find_by_name(""), -1);
    EXPECT_EQ(log_messages(), Messages{"[E] proc_name is empty"});
}

// ---------------------------------------------------------------------------
// Pid file

struct PidCase {
    std::string text;
    int result;
    int value; // 99: unchanged
};

TEST(PidText, NumberAtTheStart) {
    using namespace std::string_literals;
    const PidCase cases[] = {
        {"1234\n"s, 1, 1234},
        {""s, 0, 99},
        {"abc"s, 1, 99},
        {" \t\n"s, 0, 99},
        {"\n  42 x\n"s, 1, 42},
        {"-5"s, 1, -5},
        {"0\n"s, 1, 0},
        {"\0"
         "12"s,
         1, 99},
        {"99999999999"s, 1, INT_MAX},
        {"12\0"
         "34"s,
         1, 12},
    };
    for (const PidCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        int value = 99;
        EXPECT_EQ(parse_pid_text(c.text.c_str(), static_cast<int>(c.text.size()), &value),
                  c.result);
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(Readers, PidFileNumberAfterAnyWhiteSpace) {
    // 509 blanks put the number across the first 511 bytes; 600 put it
    // wholly past them; any amount of white space may come first.
    for (size_t blanks : {size_t{509}, size_t{510}, size_t{511}, size_t{600}, size_t{100000}}) {
        SCOPED_TRACE(blanks);
        write_file(path("pid"), std::string(blanks, ' ') + "12345\n");
        int pid = 99;
        EXPECT_EQ(get_main_pid_from_file(path("pid").c_str(), &pid), 1);
        EXPECT_EQ(pid, 12345);
        write_file(path("s"), std::string(blanks, '\n') + "12345");
        int mode = 99;
        EXPECT_EQ(get_service_settings_from_file(path("s").c_str(), &mode), 1);
        EXPECT_EQ(mode, 12345);
    }
    // Nothing but white space, however long, is nothing read.
    write_file(path("pid"), std::string(5000, ' '));
    int pid = 99;
    EXPECT_EQ(get_main_pid_from_file(path("pid").c_str(), &pid), 0);
    EXPECT_EQ(pid, 99);
    EXPECT_EQ(log_messages(), Messages{});
}

// A FIFO under the pid file's name never stalls the reader: its writer may
// have written a number, may hold it empty, or may feed white space for ever.
TEST_F(Readers, PidFileAsFifo) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    int pid = 99;
    {
        // Opened by the test first, so that the writer may open it too.
        scoped_fd reader(open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK));
        int writer = open(path("fifo").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, "   77\n", 6), 6);
        close(writer);
        EXPECT_EQ(get_main_pid_from_file(path("fifo").c_str(), &pid), 1);
        EXPECT_EQ(pid, 77);
    }
    {
        // Another process keeps the pipe full of blanks ("yes ' '") until the
        // reader is done. (posix_spawn, not a thread or fork: the tests run
        // under qemu-arm too.)
        scoped_fd reader(open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK));
        ASSERT_TRUE(reader);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path("fifo").c_str(), O_WRONLY,
                                         0);
        char yes[] = "yes";
        char blank[] = " ";
        char* argv[] = {yes, blank, nullptr};
        pid_t feeder = -1;
        ASSERT_EQ(posix_spawnp(&feeder, "yes", &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Once the pipe is full, the feeder keeps it so.
        int queued = 0;
        for (int i = 0; i < 2000 && queued < 4096; ++i) {
            ioctl(reader.get(), FIONREAD, &queued);
            usleep(1000);
        }
        int result = get_main_pid_from_file(path("fifo").c_str(), &pid);
        kill(feeder, SIGKILL);
        waitpid(feeder, nullptr, 0);
        EXPECT_GE(queued, 4096);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(pid, 77);
    }
    // Read up to its limit (no line), or found empty a moment (a read error).
    for (const std::string& line : log_messages()) {
        EXPECT_EQ(line, "[E] failed to read file: " + path("fifo"));
    }
}

TEST_F(Readers, PidFile) {
    int pid = 99;
    write_file(path("pid"), "1234\n");
    EXPECT_EQ(get_main_pid_from_file(path("pid").c_str(), &pid), 1);
    EXPECT_EQ(pid, 1234);
    write_file(path("pid"), "abc");
    EXPECT_EQ(get_main_pid_from_file(path("pid").c_str(), &pid), 1);
    EXPECT_EQ(pid, 1234);
    write_file(path("pid"), "");
    EXPECT_EQ(get_main_pid_from_file(path("pid").c_str(), &pid), 0);
    EXPECT_EQ(log_messages(), Messages{});

    EXPECT_EQ(get_main_pid_from_file("", &pid), 0);
    EXPECT_EQ(get_main_pid_from_file(path("none").c_str(), &pid), 0);
    ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
    EXPECT_EQ(get_main_pid_from_file(path("dir").c_str(), &pid), 0);
    // A FIFO with no writer reads as empty instead of stalling the reader.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(get_main_pid_from_file(path("fifo").c_str(), &pid), 0);
    EXPECT_EQ(pid, 1234);
    EXPECT_EQ(log_messages(),
              (Messages{"[E] file_path is empty", "[W] failed to find file: " + path("none"),
                        "[E] failed to read file: " + path("dir")}));
}

// ---------------------------------------------------------------------------
// File times

TEST_F(Readers, FileTimeIsTheStatusChangeTime) {
    write_file(path("f"), "x");
    struct stat st;
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    EXPECT_EQ(get_modify_time_of_file(path("f").c_str()), static_cast<int32_t>(st.st_ctime));
    // A data-modification time set back leaves the status-change time.
    struct timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path("f").c_str(), times, 0), 0);
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    ASSERT_EQ(st.st_mtime, 1000);
    EXPECT_EQ(get_modify_time_of_file(path("f").c_str()), static_cast<int32_t>(st.st_ctime));
    EXPECT_EQ(log_messages(), Messages{});

    EXPECT_EQ(get_modify_time_of_file(""), 0);
    EXPECT_EQ(get_modify_time_of_file(path("none").c_str()), 0);
    EXPECT_EQ(log_messages(),
              (Messages{"[E] file_name is empty", "[W] failed to find file: " + path("none")}));
}

struct AgeCase {
    int32_t file_time;
    long long now;
    long long age;
};

TEST(FileAge, SixtyFourBitsAndAcross2038) {
    const long long wrap = 1LL << 32;
    const AgeCase cases[] = {
        {1765360000, 1765360090, 90},
        {1765360090, 1765360000, -90}, // a file from the future
        {0, 1765360000, 1765360000},   // unknown time: the epoch
        {0, 2200000000LL, 2200000000LL},
        {1, 1765360000, 1765359999},
        {-100, 1765360000, 1765360100}, // before 1970
        {INT32_MAX - 10, INT32_MAX + 50LL, 60},
        // After January 2038 the file time has wrapped into the negative.
        {static_cast<int32_t>(2200000000LL - wrap), 2200000060LL, 60},
        {static_cast<int32_t>(4294967000LL - wrap), 4294967296LL + 100, 396},
    };
    for (const AgeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.file_time) + " " + std::to_string(c.now));
        EXPECT_EQ(seconds_since_file_time(c.file_time, c.now), c.age);
    }
    // This machine's clock and a file written now.
    long long now = static_cast<long long>(time(nullptr));
    EXPECT_EQ(seconds_since_file_time(static_cast<int32_t>(now - 5), now), 5);
}

} // namespace
