// CRC-16/MODBUS of buffers and files, and the checksum stored in a file.

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "common/test_utility/work_with_files.h"
#include "crc_reference.h"
#include "test_support.h"

using ut_test::bitwise_crc16;
using ut_test::log_messages;
using ut_test::write_file;

namespace {

const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string random_bytes(std::mt19937& rng, size_t size) {
    std::string s(size, '\0');
    for (char& c : s) {
        c = static_cast<char>(rng() & 0xFF);
    }
    return s;
}

TEST(Crc16, CheckValue) {
    EXPECT_EQ(Crc16(bytes("123456789"), 9), 0x4B37);
    EXPECT_EQ(Crc16(bytes(""), 0), 0xFFFF);
}

TEST(Crc16, TableIsTheByteWiseTableOfTheReflectedPolynomial) {
    EXPECT_EQ(Crc16Table[0], 0x0000);
    EXPECT_EQ(Crc16Table[1], 0xC0C1);
    EXPECT_EQ(Crc16Table[128], 0xA001);
    EXPECT_EQ(Crc16Table[255], 0x4040);
    for (int i = 0; i < 256; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) != 0 ? static_cast<uint16_t>((v >> 1) ^ 0xA001)
                             : static_cast<uint16_t>(v >> 1);
        }
        ASSERT_EQ(Crc16Table[i], v) << "entry " << i;
    }
}

TEST(Crc16, IncrementalFeedingEqualsOneBuffer) {
    EXPECT_EQ(Crc16_for_buffers(bytes("56789"), 5, Crc16_for_buffers(bytes("1234"), 4, 0xFFFF)),
              0x4B37);
    EXPECT_EQ(Crc16_for_buffers(bytes("1234"), 0, 0x1234), 0x1234);
    EXPECT_EQ(Crc16_for_buffers(bytes("1234"), -3, 0x1234), 0x1234);

    // Every length around the steps of several bytes, and every split of a
    // buffer into two, from running values other than the start value too.
    std::mt19937 rng(4242);
    std::string data = random_bytes(rng, 300);
    for (size_t n = 0; n <= data.size(); ++n) {
        ASSERT_EQ(Crc16_for_buffers(bytes(data), static_cast<int32_t>(n), 0xFFFF),
                  bitwise_crc16(bytes(data), n))
            << "length " << n;
        uint16_t start = static_cast<uint16_t>(rng());
        ASSERT_EQ(Crc16_for_buffers(bytes(data), static_cast<int32_t>(n), start),
                  bitwise_crc16(bytes(data), n, start))
            << "length " << n << " from " << start;
    }
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        uint16_t first = Crc16_for_buffers(bytes(data), static_cast<int32_t>(cut), 0xFFFF);
        ASSERT_EQ(
            Crc16_for_buffers(bytes(data) + cut, static_cast<int32_t>(data.size() - cut), first),
            bitwise_crc16(data))
            << "cut at " << cut;
    }
    std::string big = random_bytes(rng, 65535);
    EXPECT_EQ(Crc16(bytes(big), 65535), bitwise_crc16(big));
}

class CrcFile : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything_in_one_file();
    }
};

TEST_F(CrcFile, CoversAllButTheLastTailSizePlusOneBytes) {
    std::mt19937 rng(7);
    struct Case {
        size_t length;
        int32_t tail_size;
    };
    const Case cases[] = {
        {0, 0},    {1, 0},    {2, 0},    {3, 2},     {2, 2},    {1, 2},    {10, 0},
        {12, 2},   {4095, 0}, {4096, 0}, {4097, 0},  {4097, 2}, {4098, 2}, {4099, 2},
        {8192, 0}, {8193, 0}, {8194, 2}, {20000, 2}, {50, -1},
    };
    for (const Case& c : cases) {
        std::string data = random_bytes(rng, c.length);
        write_file(path("f"), data);
        long long covered = static_cast<long long>(c.length) - c.tail_size - 1;
        if (covered < 0) {
            covered = 0;
        }
        if (covered > static_cast<long long>(c.length)) {
            covered = static_cast<long long>(c.length);
        }
        uint16_t crc = 0;
        ASSERT_EQ(calc_crc16_of_file(path("f").c_str(), c.tail_size, &crc), 1);
        EXPECT_EQ(crc, bitwise_crc16(bytes(data), static_cast<size_t>(covered)))
            << "length " << c.length << " tail_size " << c.tail_size;
    }
}

TEST_F(CrcFile, PackageRangeIsTheSameFromBothSides) {
    // The nine digits and one more byte, whatever it is, with tail_size 0;
    // the same file with two more bytes, with tail_size 2.
    write_file(path("f"), "123456789X");
    uint16_t crc = 0;
    ASSERT_EQ(calc_crc16_of_file(path("f").c_str(), 0, &crc), 1);
    EXPECT_EQ(crc, 0x4B37);
    write_file(path("f"), std::string("123456789Z\x37\x4B", 12));
    crc = 0;
    ASSERT_EQ(calc_crc16_of_file(path("f").c_str(), 2, &crc), 1);
    EXPECT_EQ(crc, 0x4B37);
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"[I] Size of file = 10", "[I] tmp_crc = 19255",
                                        "[I] Size of file = 12", "[I] tmp_crc = 19255"}));
}

TEST_F(CrcFile, ValuesFrom0x8000UpAreLoggedNegative) {
    // The CRC of the single byte 0x01 is 0x807E.
    write_file(path("f"), std::string("\x01Z", 2));
    uint16_t crc = 0;
    ASSERT_EQ(calc_crc16_of_file(path("f").c_str(), 0, &crc), 1);
    EXPECT_EQ(crc, 0x807E);
    EXPECT_EQ(log_messages().back(), "[I] tmp_crc = -32642");
}

int checksum_of(const char* file) {
    uint16_t crc = 0;
    return calc_crc16_of_file(file, 0, &crc);
}

TEST_F(CrcFile, FailuresLeaveTheOutputAlone) {
    uint16_t crc = 0x1111;
    EXPECT_EQ(calc_crc16_of_file("", 0, &crc), 0);
    EXPECT_EQ(calc_crc16_of_file(path("none").c_str(), 0, &crc), 0);
    // A file that may be read but not written cannot be checksummed.
    ASSERT_EQ(mkdir(path("ro").c_str(), 0755), 0);
    write_file(path("ro/f"), "123456789X");
    ASSERT_EQ(chmod(path("ro/f").c_str(), 0444), 0);
    EXPECT_EQ(ut_test::call_with_read_only_folder(path("ro"), checksum_of, path("ro/f").c_str()),
              0);
    EXPECT_EQ(crc, 0x1111);
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"[E] file_name is empty",
                                        "[E] failed to open source file: " + path("none"),
                                        "[E] failed to open source file: " + path("ro/f")}));
}

TEST_F(CrcFile, ReadStoredChecksum) {
    write_file(path("f"), std::string("abc\x34\x12", 5));
    uint16_t crc = 0;
    ASSERT_EQ(read_crc16_of_file(path("f").c_str(), 0, &crc), 1);
    EXPECT_EQ(crc, 0x1234);
    write_file(path("g"), std::string("\xCD\xAB\x34\x12zz", 6));
    ASSERT_EQ(read_crc16_of_file(path("g").c_str(), 2, &crc), 1);
    EXPECT_EQ(crc, 0x1234);
    ASSERT_EQ(read_crc16_of_file(path("g").c_str(), 4, &crc), 1);
    EXPECT_EQ(crc, 0xABCD);
}

TEST_F(CrcFile, ReadStoredChecksumFailures) {
    write_file(path("one"), "x");
    write_file(path("four"), "wxyz");
    uint16_t crc = 0x1111;
    EXPECT_EQ(read_crc16_of_file("", 0, &crc), 0);
    EXPECT_EQ(read_crc16_of_file(path("none").c_str(), 0, &crc), 0);
    EXPECT_EQ(read_crc16_of_file(path("one").c_str(), 0, &crc), 0);
    // The position cannot be set before the start of the file.
    EXPECT_EQ(read_crc16_of_file(path("four").c_str(), 3, &crc), 0);
    EXPECT_EQ(crc, 0x1111);
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"[E] file_name is empty",
                                        "[E] failed to open file: " + path("none"),
                                        "[E] failed to read 2 from " + path("one"),
                                        "[E] failed to read 2 from " + path("four")}));
}

} // namespace
