// A damaged task package, as a stick anyone can prepare may carry: every
// truncation and every single-byte change of a valid scrambled package is
// refused, or extracted inside the temporary folder and nowhere else.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/log/log_c.h"
#include "common/test_utility/file_pack.h"
#include "common/test_utility/test_utility.h"
#include "test_support.h"

using ut_test::list_dir;
using ut_test::read_file;
using ut_test::write_file;

namespace {

class PackageDamage : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // Thousands of refusals: their lines go nowhere.
        sink_ = fopen("/dev/null", "w");
        ASSERT_NE(sink_, nullptr);
        log_to_stream(sink_, 0);
        good_ = read_file(UT_TEST_DATA_DIR "/service_stick_scrambled.f");
        ASSERT_GT(good_.size(), 808u);
    }
    void TearDown() override {
        log_to_stream(nullptr, 0);
        fclose(sink_);
        TempDirTest::TearDown();
    }

    // Unpacks the bytes as the daemon does: the copy inside the folder it is
    // unpacked into. Checks that nothing appeared outside that folder.
    int intake(const std::string& bytes) {
        ut_test::remove_tree(path("ut_temp"));
        EXPECT_EQ(mkdir(path("ut_temp").c_str(), 0700), 0);
        write_file(path("ut_temp/command.f"), bytes);
        int result = unpack_files(path("ut_temp/command.f").c_str(), folder("ut_temp").c_str());
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"ut_temp"});
        for (const std::string& name : list_dir(path("ut_temp"))) {
            struct stat st;
            EXPECT_EQ(lstat(path("ut_temp/" + name).c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        }
        return result;
    }

    std::vector<std::string> extracted() {
        std::vector<std::string> names = list_dir(path("ut_temp"));
        names.erase(std::remove(names.begin(), names.end(), "command.f"), names.end());
        return names;
    }

    FILE* sink_ = nullptr;
    std::string good_;
};

TEST_F(PackageDamage, EveryTruncationIsRefused) {
    ASSERT_EQ(intake(good_), 1);
    EXPECT_EQ(extracted(),
              (std::vector<std::string>{"collect_logs.sh", "readme.txt", "work_list.f"}));
    for (size_t length = 0; length < good_.size(); ++length) {
        ASSERT_EQ(intake(good_.substr(0, length)), 0) << "length " << length;
    }
}

// Every byte is covered by the checksum but the one right before it: the
// format's checksum covers the first S - 1 bytes of a package of S bytes
// without its checksum. A change there goes through, into the last file.
TEST_F(PackageDamage, EverySingleByteChangeIsRefusedButTheUncoveredOne) {
    const size_t uncovered = good_.size() - 3;
    std::string changed_work_list;
    for (size_t at = 0; at < good_.size(); ++at) {
        std::string bad = good_;
        bad[at] = static_cast<char>(bad[at] ^ 0x5a);
        int result = intake(bad);
        ASSERT_EQ(result, at == uncovered ? 1 : 0) << "byte " << at;
        if (result == 0) {
            EXPECT_TRUE(extracted().empty()) << "refused before anything is extracted";
        } else {
            changed_work_list = read_file(path("ut_temp/work_list.f"));
        }
    }
    ASSERT_FALSE(changed_work_list.empty());
    EXPECT_EQ(changed_work_list.back(), '\n' ^ 0x5a) << "the last file's last byte changed";
}

} // namespace
