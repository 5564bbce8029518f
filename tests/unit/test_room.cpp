// Room on the disk: the reserve, the weighing of a package's copy and of
// what its record says it unpacks, in 64-bit arithmetic.

#include <gtest/gtest.h>
#include <string.h>

#include "common/test_utility/file_pack.h"
#include "common/test_utility/work_with_files.h"

namespace {

const int64_t MB = 1024 * 1024;
const int64_t GB = 1024 * MB;

TEST(Room, ReserveIsFivePercentUpTo16MB) {
    struct {
        int64_t partition;
        int64_t reserve;
    } const cases[] = {
        {0, 0},
        {16 * MB, 16 * MB / 20},
        {320 * MB, 16 * MB}, // where 5 % reaches 16 MB
        {320 * MB - 20, 16 * MB - 1},
        {64 * GB, 16 * MB}, // beyond 32 bits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(space_reserve(c.partition), c.reserve) << c.partition;
    }
}

TEST(Room, NeedAndReserveAgainstAvailable) {
    struct {
        int64_t need;
        int64_t available;
        int64_t partition;
        int fits;
    } const cases[] = {
        {0, 0, 0, 1},
        {40 * MB, 16 * MB, 16 * MB, 0}, // a 40 MB package, a 16 MB disk
        {8 * MB, 15 * MB, 16 * MB, 1},
        {15 * MB, 15 * MB, 16 * MB, 0},                // the reserve stays free
        {15 * MB - 16 * MB / 20, 15 * MB, 16 * MB, 1}, // to the byte
        {15 * MB - 16 * MB / 20 + 1, 15 * MB, 16 * MB, 0},
        {5 * GB, 6 * GB, 8 * GB, 1}, // sizes beyond 32 bits
        {5 * GB, 5 * GB + 16 * MB - 1, 8 * GB, 0},
        {-1, 1 * GB, 8 * GB, 0}, // no sense: refused
    };
    for (const auto& c : cases) {
        EXPECT_EQ(space_fits(c.need, c.available, c.partition), c.fits)
            << c.need << " in " << c.available;
    }
}

packed_info plain_record(int count) {
    packed_info info;
    memset(&info, 0, sizeof(info));
    info.pack_struct_size = PACK_INFO_SIZE;
    info.files_count = count;
    info.entries[0].start_pointer = PACK_INFO_SIZE;
    return info;
}

TEST(Room, UnpackedSizeBoundFromTheRecord) {
    const int64_t package = 10000;
    packed_info two = plain_record(2);
    two.entries[0].size = 1000;
    two.entries[1].start_pointer = 1808;
    two.entries[1].size = 3000;
    EXPECT_EQ(unpacked_size_bound(&two, package), 4000);

    // A declared size past the package's end counts only what the package
    // holds from the entry's start; twenty entries over the whole package
    // count twenty times its bytes.
    packed_info huge = plain_record(PACK_MAX_FILES);
    for (auto& e : huge.entries) {
        e.start_pointer = PACK_INFO_SIZE;
        e.size = INT32_MAX;
    }
    EXPECT_EQ(unpacked_size_bound(&huge, package), PACK_MAX_FILES * (package - PACK_INFO_SIZE));

    // Negative sizes, starts outside the package, unused entries count 0.
    packed_info odd = plain_record(3);
    odd.entries[0].size = -5;
    odd.entries[1].start_pointer = -100;
    odd.entries[1].size = 50;
    odd.entries[2].start_pointer = 20000;
    odd.entries[2].size = 50;
    odd.entries[3].start_pointer = PACK_INFO_SIZE;
    odd.entries[3].size = 999;
    EXPECT_EQ(unpacked_size_bound(&odd, package), 0);

    packed_info out_of_range = plain_record(21);
    out_of_range.entries[0].size = 100;
    EXPECT_EQ(unpacked_size_bound(&out_of_range, package), 0);

    // A scrambled record counts as the package's own size.
    packed_info scrambled = plain_record(1);
    scrambled.entries[0].start_pointer = 12345;
    EXPECT_EQ(unpacked_size_bound(&scrambled, 40 * MB), 40 * MB);
}

} // namespace
