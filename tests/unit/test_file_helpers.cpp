// File and folder helpers: join, existence, removal of files and flat
// folders, folder creation, file copy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/test_utility.h"
#include "common/test_utility/work_with_files.h"
#include "test_support.h"

using ut_test::exists;
using ut_test::list_dir;
using ut_test::read_file;
using ut_test::write_file;

namespace {

class FileHelpers : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything();
        ASSERT_EQ(mkdir(path("f").c_str(), 0700), 0);
    }
};

TEST(FileName, JoinsWithoutSeparatorAndCuts) {
    char out[8];
    EXPECT_EQ(get_full_file_name("abc", "def", out, sizeof(out)), 6);
    EXPECT_STREQ(out, "abcdef");
    EXPECT_EQ(get_full_file_name("/home/", "file.txt", out, sizeof(out)), 14);
    EXPECT_STREQ(out, "/home/f");
}

TEST_F(FileHelpers, ExistenceIsReadability) {
    write_file(path("f/a"), "a");
    EXPECT_EQ(is_file_existed(path("f/a").c_str()), 1);
    EXPECT_EQ(is_file_existed(path("f").c_str()), 1) << "a folder opens for reading";
    EXPECT_EQ(is_file_existed(path("f/none").c_str()), 0);
    ASSERT_EQ(mkfifo(path("f/fifo").c_str(), 0600), 0);
    EXPECT_EQ(is_file_existed(path("f/fifo").c_str()), 1) << "and a FIFO does not block";
}

TEST_F(FileHelpers, DeleteFile) {
    write_file(path("f/a"), "a");
    EXPECT_EQ(delete_test_file(path("f/a").c_str()), 1);
    EXPECT_FALSE(exists(path("f/a")));
    EXPECT_EQ(delete_test_file(path("f/a").c_str()), 1) << "absent counts as deleted";
    // A path that cannot be opened counts as absent and is left alone.
    ASSERT_EQ(symlink("nowhere", path("f/link").c_str()), 0);
    EXPECT_EQ(delete_test_file(path("f/link").c_str()), 1);
    EXPECT_TRUE(exists(path("f/link")));
    // A folder is removed only when empty.
    ASSERT_EQ(mkdir(path("f/d").c_str(), 0700), 0);
    write_file(path("f/d/x"), "x");
    EXPECT_EQ(delete_test_file(path("f/d").c_str()), 0);
}

TEST_F(FileHelpers, DeleteFolderAbsentOrNotAFolder) {
    EXPECT_EQ(delete_test_folder(folder("none").c_str()), 1);
    write_file(path("plain"), "p");
    EXPECT_EQ(delete_test_folder(folder("plain").c_str()), 1);
    EXPECT_TRUE(exists(path("plain")));
}

TEST_F(FileHelpers, DeleteFolderOfFilesAndEmptyFolder) {
    write_file(path("f/a"), "a");
    write_file(path("f/.hidden"), "h");
    EXPECT_EQ(delete_test_folder(folder("f").c_str()), 1);
    EXPECT_FALSE(exists(path("f")));
    ASSERT_EQ(mkdir(path("e").c_str(), 0700), 0);
    EXPECT_EQ(delete_test_folder(folder("e").c_str()), 1);
    EXPECT_FALSE(exists(path("e")));
}

TEST_F(FileHelpers, DeleteFolderStopsAtSubFolder) {
    for (int i = 0; i < 20; ++i) {
        write_file(path("f/file" + std::to_string(i)), "x");
    }
    ASSERT_EQ(mkdir(path("f/sub").c_str(), 0700), 0);
    EXPECT_EQ(delete_test_folder(folder("f").c_str()), 0);
    EXPECT_TRUE(exists(path("f/sub")));
    EXPECT_TRUE(exists(path("f")));
}

TEST_F(FileHelpers, DeleteFolderWithHiddenSubFolders) {
    ASSERT_EQ(mkdir(path("f/.empty").c_str(), 0700), 0);
    EXPECT_EQ(delete_test_folder(folder("f").c_str()), 1);
    EXPECT_FALSE(exists(path("f")));

    ASSERT_EQ(mkdir(path("g").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("g/.full").c_str(), 0700), 0);
    write_file(path("g/.full/x"), "x");
    EXPECT_EQ(delete_test_folder(folder("g").c_str()), 0);
    EXPECT_TRUE(exists(path("g/.full/x")));
}

TEST_F(FileHelpers, DeleteFolderWithEntryPathBeyond255) {
    // The folder path and the entry name together pass 255 characters: the
    // entry is looked for under the cut path, stays, and the folder stays.
    std::string deep = path("f/") + std::string(250 - path("f/").size(), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    std::string name(20, 'n');
    write_file(deep + "/" + name, "x");
    EXPECT_EQ(delete_test_folder((deep + "/").c_str()), 0);
    EXPECT_TRUE(exists(deep + "/" + name));
}

TEST_F(FileHelpers, CreateFolder) {
    ::umask(022);
    EXPECT_EQ(create_test_folder(path("f").c_str()), 1);
    EXPECT_EQ(create_test_folder(path("new").c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(path("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(create_test_folder(path("missing/child").c_str()), 0);
    EXPECT_FALSE(exists(path("missing")));
}

TEST_F(FileHelpers, CopyFile) {
    ::umask(022);
    std::string data;
    for (int i = 0; i < 20000; ++i) {
        data += static_cast<char>(i * 7);
    }
    write_file(path("src"), data);
    EXPECT_EQ(copy_one_file(path("src").c_str(), path("dst").c_str()), 1);
    EXPECT_EQ(read_file(path("dst")), data);
    struct stat st;
    ASSERT_EQ(stat(path("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FileHelpers, CopyEmptyFileAndOverLongerDestination) {
    write_file(path("empty"), "");
    EXPECT_EQ(copy_one_file(path("empty").c_str(), path("dst").c_str()), 1);
    EXPECT_EQ(ut_test::file_size(path("dst")), 0);
    // A copy equals its source: an older, longer destination is emptied.
    write_file(path("short"), "abc");
    write_file(path("long"), "0123456789");
    EXPECT_EQ(copy_one_file(path("short").c_str(), path("long").c_str()), 1);
    EXPECT_EQ(read_file(path("long")), "abc");
}

TEST_F(FileHelpers, CopyFailures) {
    EXPECT_EQ(copy_one_file(path("missing").c_str(), path("dst").c_str()), 0);
    EXPECT_FALSE(exists(path("dst")));
    write_file(path("src"), "data");
    EXPECT_EQ(copy_one_file(path("src").c_str(), path("nodir/dst").c_str()), 0);
    // A source that opens but cannot be read (a folder) is a failed copy,
    // not a short one.
    EXPECT_EQ(copy_one_file(path("f").c_str(), path("dst2").c_str()), 0);
    std::string log = ut_test::all_log_text();
    EXPECT_NE(log.find("error with read from file: " + path("missing")), std::string::npos);
    EXPECT_NE(log.find("error with write to file: " + path("nodir/dst")), std::string::npos);
    EXPECT_NE(log.find("error with read from file: " + path("f")), std::string::npos);
}

} // namespace
