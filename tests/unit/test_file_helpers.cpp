// File and folder helpers: join, existence, removal of files and flat
// folders, folder creation, file copy.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/scoped_handle.h"
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

TEST_F(FileHelpers, DeleteFolderWithCutPathRemovesNothingElse) {
    // Cut to 255 characters, the long name's path would name the short
    // file beside it: that file stays, and so does the long one.
    std::string deep = path("f/") + std::string(240 - path("f/").size(), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    std::string long_name(30, 'n');
    std::string cut_name = long_name.substr(0, 255 - deep.size() - 1);
    write_file(deep + "/" + long_name, "long");
    write_file(deep + "/" + cut_name, "decoy");
    EXPECT_EQ(delete_test_folder((deep + "/").c_str()), 0);
    EXPECT_EQ(read_file(deep + "/" + cut_name), "decoy");
    EXPECT_EQ(read_file(deep + "/" + long_name), "long");
}

TEST_F(FileHelpers, DeleteFolderNeverFollowsLinks) {
    ASSERT_EQ(mkdir(path("target").c_str(), 0700), 0);
    write_file(path("target/precious"), "p");
    write_file(path("victim"), "v");
    // The folder's own name is a link: the link goes, its target stays.
    for (const char* given : {"f_link/", "f_link"}) {
        SCOPED_TRACE(given);
        ASSERT_EQ(symlink(path("target").c_str(), path("f_link").c_str()), 0);
        EXPECT_EQ(delete_test_folder(path(given).c_str()), 1);
        struct stat st;
        EXPECT_NE(lstat(path("f_link").c_str(), &st), 0);
        EXPECT_EQ(read_file(path("target/precious")), "p");
    }
    // Links inside the folder go as links, dangling ones too.
    ASSERT_EQ(symlink(path("victim").c_str(), path("f/to_file").c_str()), 0);
    ASSERT_EQ(symlink(path("target").c_str(), path("f/to_folder").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", path("f/dangling").c_str()), 0);
    EXPECT_EQ(delete_test_folder(folder("f").c_str()), 1);
    EXPECT_FALSE(exists(path("f")));
    EXPECT_EQ(read_file(path("victim")), "v");
    EXPECT_EQ(read_file(path("target/precious")), "p");
}

TEST_F(FileHelpers, DeleteFolderStopsAtMountPoint) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting needs root";
    }
    // A private mount namespace of the test process, so that the mount is
    // seen by nobody else.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount("tmpfs", path("f").c_str(), "tmpfs", 0, "size=64k"), 0);
    write_file(path("f/kept"), "k");
    EXPECT_EQ(delete_test_folder(folder("f").c_str()), 0);
    EXPECT_EQ(read_file(path("f/kept")), "k");
    umount2(path("f").c_str(), MNT_DETACH);
}

TEST_F(FileHelpers, NameTakenNeverLooksThroughLinks) {
    ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
    EXPECT_EQ(is_name_taken(path("dangling").c_str()), 1);
    EXPECT_EQ(is_name_taken(path("f").c_str()), 1);
    EXPECT_EQ(is_name_taken(path("none").c_str()), 0);
}

TEST_F(FileHelpers, CreateFreshFolder) {
    // Mode 0700 whatever the file-creation mask takes away.
    mode_t old_mask = ::umask(0277);
    EXPECT_EQ(create_fresh_folder(folder("new").c_str()), 1);
    ::umask(old_mask);
    struct stat st;
    ASSERT_EQ(lstat(path("new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    // Anything already there by that name is not taken for it.
    ASSERT_EQ(chmod(path("f").c_str(), 0777), 0);
    EXPECT_EQ(create_fresh_folder(folder("f").c_str()), 0);
    ASSERT_EQ(lstat(path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u) << "an existing folder is not touched";
    ASSERT_EQ(symlink(path("f").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(create_fresh_folder(folder("link").c_str()), 0);
    write_file(path("plain"), "p");
    EXPECT_EQ(create_fresh_folder(folder("plain").c_str()), 0);
    EXPECT_EQ(create_fresh_folder(folder("missing/child").c_str()), 0);
}

// The held folder is reached through its handle whatever its name stands
// for: renamed away and replaced by a folder of the same name with files of
// the same names, the helpers still read, change and remove its own files.
TEST_F(FileHelpers, HeldFolderIsReachedThroughItsHandle) {
    const std::string made = folder("made");
    EXPECT_EQ(hold_fresh_folder(folder("f").c_str()), 0) << "an existing folder is not taken";
    mode_t old_mask = ::umask(0277);
    ASSERT_EQ(hold_fresh_folder(made.c_str()), 1);
    ::umask(old_mask);
    struct stat st;
    ASSERT_EQ(lstat(path("made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(is_held_folder_at_its_name(), 1);
    const std::string script = made + "s.sh";
    scoped_fd out(open_path(script.c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_TRUE(out);
    ASSERT_EQ(write(out.get(), "own", 3), 3);
    out.close();

    ASSERT_EQ(rename(path("made").c_str(), path("away").c_str()), 0);
    ASSERT_EQ(mkdir(path("made").c_str(), 0777), 0);
    write_file(path("made/s.sh"), "other");
    ASSERT_EQ(chmod(path("made/s.sh").c_str(), 0600), 0);
    EXPECT_EQ(is_held_folder_at_its_name(), 0);
    EXPECT_STREQ(name_in_held_folder(script.c_str()), "s.sh");
    EXPECT_EQ(name_in_held_folder((made + "x/y").c_str()), nullptr);
    EXPECT_EQ(name_in_held_folder(path("f/s.sh").c_str()), nullptr);

    scoped_file f(fopen_path(script.c_str(), "rb"));
    ASSERT_TRUE(f);
    char text[8] = "";
    EXPECT_EQ(fread(text, 1, sizeof(text) - 1, f.get()), 3u);
    EXPECT_STREQ(text, "own");
    f.close();
    EXPECT_EQ(script_on(script.c_str(), 1), 1);
    ASSERT_EQ(stat(path("away/s.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0711u);
    ASSERT_EQ(stat(path("made/s.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file put at the name is not touched";
    // Another process reaches the held file by the path through the handle.
    char through[256];
    ASSERT_LT(held_folder_path("s.sh", through, sizeof(through)), 256);
    EXPECT_EQ(read_file(through), "own");

    // A link put into the held folder is not followed.
    ASSERT_EQ(symlink(path("made/s.sh").c_str(), path("away/link").c_str()), 0);
    EXPECT_EQ(is_file_existed((made + "link").c_str()), 0);
    EXPECT_EQ(delete_test_file(script.c_str()), 1);
    EXPECT_FALSE(exists(path("away/s.sh")));
    EXPECT_TRUE(exists(path("made/s.sh")));
    // Removing the folder by its name empties the held one and lets it go;
    // the folder put at the name is not the held one's to remove.
    EXPECT_EQ(delete_test_folder(made.c_str()), 1);
    EXPECT_EQ(held_folder_fd(), -1);
    EXPECT_EQ(list_dir(path("away")).size(), 0u);
    EXPECT_EQ(read_file(path("made/s.sh")), "other");

    // Still at its name, the held folder goes with its files.
    ASSERT_EQ(hold_fresh_folder(folder("kept").c_str()), 1);
    write_file(path("kept/a"), "a");
    EXPECT_EQ(delete_test_folder(folder("kept").c_str()), 1);
    EXPECT_EQ(held_folder_fd(), -1);
    EXPECT_FALSE(exists(path("kept")));
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

TEST_F(FileHelpers, CopyTakesNothingThroughALinkOrNode) {
    write_file(path("board_file"), "of the board");
    ASSERT_EQ(symlink(path("board_file").c_str(), path("link").c_str()), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    for (const char* source : {"link", "fifo", "f"}) {
        SCOPED_TRACE(source);
        EXPECT_EQ(copy_one_file(path(source).c_str(), path("dst").c_str()), 0);
        EXPECT_FALSE(exists(path("dst")));
        EXPECT_NE(ut_test::all_log_text().find("error with read from file: " + path(source)),
                  std::string::npos);
    }
    // Nor is anything written through a link in the destination's place.
    write_file(path("src"), "data");
    ASSERT_EQ(symlink(path("board_file").c_str(), path("dst_link").c_str()), 0);
    EXPECT_EQ(copy_one_file(path("src").c_str(), path("dst_link").c_str()), 0);
    EXPECT_EQ(read_file(path("board_file")), "of the board");
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

// A disk that fills during the copy (here a file-size limit) leaves no
// partial copy behind.
TEST_F(FileHelpers, FailedCopyRemovesItsPartialCopy) {
    write_file(path("src"), std::string(100000, 'x'));
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct sigaction ignore = {};
    struct sigaction old_action = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
    struct rlimit small = old_limit;
    small.rlim_cur = 20000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int copied = copy_one_file(path("src").c_str(), path("dst").c_str());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &old_action, nullptr);
    EXPECT_EQ(copied, 0);
    EXPECT_FALSE(exists(path("dst")));
    EXPECT_NE(ut_test::all_log_text().find("error with write to file: " + path("dst")),
              std::string::npos);
}

} // namespace
