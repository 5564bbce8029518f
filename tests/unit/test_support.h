// Shared pieces of the unit tests: a private temporary working folder for
// every test (the log module writes relative to the working directory), file
// helpers, and a reset of the log module between tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ut_test {

// Puts the log module back to its state at process start.
void reset_log_state();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);
long long file_size(const std::string& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);
// Removes a tree (also one whose folders lack permissions).
void remove_tree(const std::string& path);
// Today's date as the log file names carry it, DD-MM-YYYY.
std::string today();
// Runs a shell command; returns its exit status and its standard output.
int run_command(const std::string& command, std::string* output);
// Lines that the log module wrote into the working folder, all files.
std::string all_log_text();
// The messages of those lines with their level letter: "[E] text".
std::vector<std::string> log_messages();

// Fixture: every test runs in a fresh temporary folder as working directory,
// with the log module reset, and the folder is removed afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Absolute path of a name inside the temporary folder.
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Folder path with the trailing "/" the library expects.
    std::string folder(const std::string& name) const { return dir_ + "/" + name + "/"; }
    // Writes c_log.ini so that the log module writes everything.
    void log_everything() const;

    std::string dir_;

  private:
    std::string old_cwd_;
};

} // namespace ut_test
