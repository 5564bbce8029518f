// Finding a USB storage device in the block device list, its mount point in
// the mount table, the mount itself, and the delimited-text extractor.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/work_with_files.h"
#include "test_support.h"

using ut_test::write_file;

namespace {

class UsbStorage : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything();
        ASSERT_EQ(mkdir(path("dev").c_str(), 0700), 0);
    }
    bool logged(const std::string& text) {
        return ut_test::all_log_text().find(text) != std::string::npos;
    }
};

// Lines as the kernel writes them: major, minor, name, then counters.
const char* const kDiskSda = "   8       0 sda 4021 1022 250310 1732 0 0 0 0 0 2160 1732 0 0 0 0\n";
const char* const kDiskSdb = "   8      16 sdb 120 0 9052 84 0 0 0 0 0 112 84 0 0 0 0\n";
const char* const kPartSdb1 = "   8      17 sdb1 80 0 6412 60 0 0 0 0 0 76 60 0 0 0 0\n";
const char* const kMmc = " 179       0 mmcblk0 1735 313 123802 2624 9 1 80 12 0 1424 2636\n";
const char* const kLoop = "   7       0 loop0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

TEST(DeviceLine, RecognisesDrivesAToG) {
    struct Case {
        const char* line;
        int found;
        const char* name;
    } const cases[] = {
        {kDiskSdb, 1, "sdb"},
        {kPartSdb1, 1, "sdb"},
        {"   8      96 sdg 1 0 8 0\n", 1, "sdg"},
        {"   8     112 sdh 1 0 8 0\n", 0, ""},
        {"   8       0 sdA 1\n", 0, ""},
        {kMmc, 0, ""},
        {kLoop, 0, ""},
        {"sdb 1 2 3\n", 0, ""},
        {"ends with sd", 0, ""},
        {"", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        char name[16] = "";
        EXPECT_EQ(is_dev_find(c.line, name, sizeof(name)), c.found);
        EXPECT_STREQ(name, c.name);
    }
    char small[3] = "";
    EXPECT_EQ(is_dev_find(kDiskSdb, small, sizeof(small)), 0);
}

TEST_F(UsbStorage, PrefersFirstPartitionWhenItsNodeExists) {
    write_file(path("diskstats"), std::string(kMmc) + kDiskSdb + kPartSdb1);
    int found = 0;
    char name[16] = "";
    ASSERT_EQ(search_storage(path("diskstats").c_str(), folder("dev").c_str(), &found, name,
                             sizeof(name)),
              1);
    EXPECT_EQ(found, 1);
    EXPECT_STREQ(name, "sdb");
    EXPECT_TRUE(logged("path to dev file: " + path("dev/sdb1") + "\n"));

    write_file(path("dev/sdb1"), "");
    ASSERT_EQ(search_storage(path("diskstats").c_str(), folder("dev").c_str(), &found, name,
                             sizeof(name)),
              1);
    EXPECT_STREQ(name, "sdb1");
}

TEST_F(UsbStorage, FirstListedDeviceDecides) {
    write_file(path("diskstats"), std::string(kLoop) + kDiskSda + kDiskSdb);
    int found = 0;
    char name[16] = "";
    ASSERT_EQ(search_storage(path("diskstats").c_str(), folder("dev").c_str(), &found, name,
                             sizeof(name)),
              1);
    EXPECT_EQ(found, 1);
    EXPECT_STREQ(name, "sda");
}

TEST_F(UsbStorage, NoDeviceListed) {
    write_file(path("diskstats"), std::string(kLoop) + kMmc);
    int found = 7;
    char name[16] = "untouched";
    ASSERT_EQ(search_storage(path("diskstats").c_str(), folder("dev").c_str(), &found, name,
                             sizeof(name)),
              1);
    EXPECT_EQ(found, 0);
    EXPECT_STREQ(name, "untouched");
    // An empty list leaves the flag as it was.
    write_file(path("empty"), "");
    found = 7;
    ASSERT_EQ(
        search_storage(path("empty").c_str(), folder("dev").c_str(), &found, name, sizeof(name)),
        1);
    EXPECT_EQ(found, 7);
}

TEST_F(UsbStorage, UnreadableDeviceList) {
    int found = 0;
    char name[16] = "";
    EXPECT_EQ(
        search_storage(path("missing").c_str(), folder("dev").c_str(), &found, name, sizeof(name)),
        0);
    EXPECT_TRUE(logged("failed to open file: " + path("missing")));
    // A folder opens but cannot be read.
    EXPECT_EQ(
        search_storage(path("dev").c_str(), folder("dev").c_str(), &found, name, sizeof(name)), 0);
    EXPECT_TRUE(logged("failed to read file: " + path("dev")));
}

struct MountCase {
    const char* name;
    const char* table;
    const char* device;
    int found;
    const char* folder;
};

void PrintTo(const MountCase& c, std::ostream* os) {
    *os << c.name;
}

class MountTable : public UsbStorage, public ::testing::WithParamInterface<MountCase> {};

TEST_P(MountTable, FindsMountPoint) {
    const MountCase& c = GetParam();
    write_file(path("mounts"), c.table);
    char folder_out[256] = "untouched";
    EXPECT_EQ(is_dev_mounted(c.device, path("mounts").c_str(), folder_out, sizeof(folder_out)),
              c.found);
    EXPECT_STREQ(folder_out, c.folder);
}

const std::string kLongMount = "/dev/sdb1 /media/" + std::string(250, 'l') + " vfat rw 0 0\n";
// Mount points of 255 characters (no room left for the folder's "/") and 254.
const std::string kMount255 = "/media/" + std::string(248, 'm');
const std::string kMount254 = "/media/" + std::string(247, 'm');
const std::string kMount255Line = "/dev/sdb1 " + kMount255 + " vfat rw 0 0\n";
const std::string kMount254Line = "/dev/sdb1 " + kMount254 + " vfat rw 0 0\n";
const std::string kMount254Folder = kMount254 + "/";

const MountCase mount_cases[] = {
    {"partition", "proc /proc proc rw 0 0\n/dev/sdb1 /media/stick vfat rw,relatime 0 0\n", "sdb1",
     1, "/media/stick/"},
    {"disk_name_matches_its_partition", "/dev/sdb1 /media/stick vfat rw 0 0\n", "sdb", 1,
     "/media/stick/"},
    {"first_matching_line_wins", "/dev/sdb1 /a vfat rw 0 0\n/dev/sdb1 /b vfat rw 0 0\n", "sdb1", 1,
     "/a/"},
    {"not_mounted", "proc /proc proc rw 0 0\n/dev/sda1 / ext4 rw 0 0\n", "sdb1", 0, "/"},
    {"escaped_blank_in_mount_point", "/dev/sdb1 /media/USB\\040DISK vfat rw 0 0\n", "sdb1", 1,
     "/media/USB DISK/"},
    {"mount_point_too_long", kLongMount.c_str(), "sdb1", 0, "/"},
    // A label with a line end or an escape byte would forge the log lines
    // that name the stick's folder: no folder to use.
    {"line_end_in_mount_point", "/dev/sdb1 /media/a\\012[E]\\033x vfat rw 0 0\n", "sdb1", 0, "/"},
    {"mount_point_of_255", kMount255Line.c_str(), "sdb1", 0, "/"},
    {"mount_point_of_254", kMount254Line.c_str(), "sdb1", 1, kMount254Folder.c_str()},
    // Only the device field counts: look-alike mount points, types, options
    // and device names are other file systems.
    {"look_alike_mount_point",
     "tmpfs /media/sdb_backup tmpfs rw 0 0\n/dev/sdb1 /media/stick vfat rw 0 0\n", "sdb", 1,
     "/media/stick/"},
    {"look_alike_only", "tmpfs /media/sdb_backup tmpfs rw 0 0\n", "sdb", 0, "/"},
    {"look_alike_option", "none /mnt tmpfs rw,sdb1 0 0\n", "sdb1", 0, "/"},
    {"look_alike_type", "/dev/sda2 /mnt sdb1 rw 0 0\n", "sdb1", 0, "/"},
    {"longer_device_name", "/dev/sdb10 /media/ten vfat rw 0 0\n", "sdb1", 0, "/"},
    {"device_name_with_letters_after", "/dev/sdbx /media/x vfat rw 0 0\n", "sdb", 0, "/"},
    {"device_outside_dev", "/media/sdb1 /media/stick vfat rw 0 0\n", "sdb1", 0, "/"},
};

INSTANTIATE_TEST_SUITE_P(Cases, MountTable, ::testing::ValuesIn(mount_cases),
                         [](const ::testing::TestParamInfo<MountCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(MountTableLine, DeviceFieldRule) {
    struct Case {
        const char* line;
        const char* device;
        int match;
    } const cases[] = {
        {"/dev/sdb1 /media/stick vfat rw 0 0\n", "sdb1", 1},
        {"/dev/sdb1 /media/stick vfat rw 0 0\n", "sdb", 1},
        {"/dev/sdb /media/stick vfat rw 0 0\n", "sdb", 1},
        {"/dev/sdb12\t/media/stick vfat rw 0 0\n", "sdb", 1},
        {"/dev/sdb /media/stick vfat rw 0 0\n", "sdb1", 0},
        {"/dev/sdb10 /media/stick vfat rw 0 0\n", "sdb1", 0},
        {"/dev/sdbb /media/stick vfat rw 0 0\n", "sdb", 0},
        {"/dev/sdb1p /media/stick vfat rw 0 0\n", "sdb", 0},
        {"/dev/sdb1", "sdb1", 0}, // no mount point follows
        {"tmpfs /media/sdb_backup tmpfs rw 0 0\n", "sdb", 0},
        {"/dev/sda1 /media/dev/sdb1 vfat rw 0 0\n", "sdb1", 0},
        {" /dev/sdb1 /media/stick vfat rw 0 0\n", "sdb1", 0},
        {"dev/sdb1 /media/stick vfat rw 0 0\n", "sdb1", 0},
        {"/dev/sdb1 /media/stick vfat rw 0 0\n", "", 0},
        {"", "sdb", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " / " + c.device);
        EXPECT_EQ(is_device_field_of(c.line, c.device), c.match);
    }
}

TEST_F(UsbStorage, MountTableFailuresLeaveFolderUnchanged) {
    char folder_out[256] = "untouched";
    EXPECT_EQ(is_dev_mounted("", path("mounts").c_str(), folder_out, sizeof(folder_out)), 0);
    EXPECT_EQ(is_dev_mounted("sdb1", "", folder_out, sizeof(folder_out)), 0);
    EXPECT_EQ(is_dev_mounted("sdb1", path("missing").c_str(), folder_out, sizeof(folder_out)), 0);
    EXPECT_STREQ(folder_out, "untouched");
    EXPECT_TRUE(logged("dev_name is empty"));
    EXPECT_TRUE(logged("mount_list is empty"));
    EXPECT_TRUE(logged("failed to open file: " + path("missing")));
}

TEST_F(UsbStorage, MountFailuresAreLogged) {
    EXPECT_EQ(mount_device("", path("dev").c_str()), 0);
    EXPECT_EQ(mount_device("sdb1", ""), 0);
    // No such device node: the mount system call refuses.
    EXPECT_EQ(mount_device("ut_test_no_such_node", path("dev").c_str()), 0);
    EXPECT_TRUE(logged("device name is empty"));
    EXPECT_TRUE(logged("device path is empty"));
    EXPECT_TRUE(logged("Mount error: "));
    EXPECT_TRUE(
        logged("full_dev_name = /dev/ut_test_no_such_node; dev_path = " + path("dev") + "\n"));
}

TEST(DelimitedText, Cases) {
    struct Case {
        const char* text;
        const char* open;
        const char* close;
        int size;
        int result;
        const char* out;
    } const cases[] = {
        {"<ab", "<", ">", 8, 0, "-"},
        {"x<abcd>", "<", ">", 5, 1, "abcd"},
        {"x<abcd>", "<", ">", 4, 0, "-"},
        {"x<>y", "<", ">", 8, 1, ""},
        {"/dev/sdb1 /media/stick vfat", " ", " ", 256, 1, "/media/stick"},
        {">a<b>", "<", ">", 8, 1, "b"},
        {"no marks here", "<", ">", 8, 0, "-"},
        {"only <open", "<", ">", 8, 0, "-"},
        {"ab", "<", ">", 8, 0, "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char out[300] = "-";
        EXPECT_EQ(get_text_from_br(c.text, c.open, c.close, out, c.size), c.result);
        EXPECT_STREQ(out, c.out);
    }
}

} // namespace
