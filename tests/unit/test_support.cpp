#include "test_support.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/log/log_c.h"

namespace ut_test {

void reset_log_state() {
    gSettingsOn = 0;
    gLSett = LSett{0, 0, 0};
    cur_log_name[0] = '\0';
    g_measure_size_step = 0;
    message_buf[0] = '\0';
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

long long file_size(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) {
        return names;
    }
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        lines.push_back(line);
    }
    return lines;
}

namespace {

int remove_entry(const char* path, const struct stat* st, int type, struct FTW*) {
    (void)st;
    if (type == FTW_DP || type == FTW_D) {
        chmod(path, 0700);
        rmdir(path);
        return 0;
    }
    unlink(path);
    return 0;
}

int open_up(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) {
        chmod(path, 0700);
    }
    return 0;
}

} // namespace

void remove_tree(const std::string& path) {
    nftw(path.c_str(), open_up, 16, FTW_PHYS);
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string today() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d-%02d-%04d", lt.tm_mday, lt.tm_mon + 1, lt.tm_year + 1900);
    return buf;
}

int run_command(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        if (output != nullptr) {
            output->append(buf, n);
        }
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string all_log_text() {
    std::string text;
    for (const std::string& name : list_dir("logs")) {
        text += read_file("logs/" + name);
    }
    return text;
}

std::vector<std::string> log_messages() {
    std::vector<std::string> messages;
    for (const std::string& line : split_lines(all_log_text())) {
        // "DD.MM.YYYY hh:mm:ss mmm [E] file: function: [00042] text"
        size_t at = line.find("] ", 30);
        if (line.size() > 24 && line[24] == '[' && at != std::string::npos) {
            messages.push_back(line.substr(24, 4) + line.substr(at + 2));
        }
    }
    return messages;
}

void TempDirTest::SetUp() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    old_cwd_ = cwd;
    char tmpl[] = "/tmp/ut_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    reset_log_state();
}

void TempDirTest::TearDown() {
    reset_log_state();
    if (chdir(old_cwd_.c_str()) != 0) {
        ADD_FAILURE() << "cannot return to " << old_cwd_;
    }
    remove_tree(dir_);
}

void TempDirTest::log_everything() const {
    write_file(path(LOG_SETTINGS_FILE), "level = 4\n");
}

} // namespace ut_test
