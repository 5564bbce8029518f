// The keystream generator, whole-file and database scrambling, the
// scrambled-database test and the description block.

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "common/test_utility/scramble.h"
#include "reference/literal_scramble.h"
#include "test_support.h"

using ut_test::exists;
using ut_test::file_size;
using ut_test::log_messages;
using ut_test::read_file;
using ut_test::run_command;
using ut_test::write_file;

namespace {

using Bytes = std::vector<unsigned char>;

std::string random_text(std::mt19937& rng, size_t size) {
    std::string s(size, '\0');
    for (char& c : s) {
        c = static_cast<char>(rng() & 0xFF);
    }
    return s;
}

Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
std::string to_text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The inverse of 65539 modulo 2^64: the state from which the next draw is
// made at a chosen state.
uint64_t inverse_multiplier() {
    uint64_t x = 65539; // Newton's iteration, each step doubles the correct bits
    for (int i = 0; i < 6; ++i) {
        x *= 2 - 65539 * x;
    }
    return x;
}

TEST(Keystream, InverseMultiplierIsRight) {
    EXPECT_EQ(inverse_multiplier() * 65539u, 1u);
}

// The fast generator against the literal one: keystreams of every length
// class from many seeds (a few millions of draws), and the state each leaves
// behind, seen through the next draws of cust_rand.
TEST(Keystream, EqualsTheLiteralGeneratorFromManySeeds) {
    std::mt19937 rng(20260101);
    std::vector<int32_t> seeds = {0,     1,      -1,        2,         -2,
                                  65535, -65536, INT32_MAX, INT32_MIN, INT32_MIN + 1};
    for (int i = 0; i < 1200; ++i) {
        seeds.push_back(static_cast<int32_t>(rng()));
    }
    Bytes fast;
    Bytes slow;
    long long draws = 0;
    for (size_t i = 0; i < seeds.size(); ++i) {
        // Mostly short and odd lengths (all the tails), now and then a long run
        // that reaches far states.
        int32_t len = i % 97 == 0 ? 200000 : static_cast<int32_t>(1 + rng() % 3000);
        fast.assign(static_cast<size_t>(len), 0);
        slow.assign(static_cast<size_t>(len), 0);
        ASSERT_EQ(xor_buffer(fast.data(), len, seeds[i]), 1);
        ASSERT_EQ(literal::xor_buffer(slow.data(), len, seeds[i]), 1);
        ASSERT_EQ(fast, slow) << "seed " << seeds[i] << " length " << len;
        for (int k = 0; k < 3; ++k) {
            ASSERT_EQ(cust_rand(), literal::cust_rand()) << "seed " << seeds[i];
        }
        draws += len + 3;
    }
    EXPECT_GT(draws, 2000000);
}

// Draws at states chosen at the edges of the division: the extremes, the
// sign change, exact multiples of 65536 * 2768 and their neighbours.
TEST(Keystream, EqualsTheLiteralGeneratorAtEdgeStates) {
    const uint64_t unit = 65536ull * 2768ull;
    std::vector<int64_t> states = {
        0,      1,      -1,        65535,     65536,         -65535,
        -65536, -65537, INT64_MAX, INT64_MIN, INT64_MIN + 1, INT64_MAX - 65535};
    for (uint64_t k :
         {1ull, 2ull, 3ull, 1000003ull, (1ull << 63) / unit, (1ull << 63) / unit - 1}) {
        for (int64_t d : {-65537, -65536, -65535, -1, 0, 1, 65535, 65536}) {
            int64_t at = static_cast<int64_t>(k * unit) + d;
            states.push_back(at);
            states.push_back(-at);
        }
    }
    const uint64_t back = inverse_multiplier();
    for (int64_t at : states) {
        int64_t before = static_cast<int64_t>(static_cast<uint64_t>(at) * back);
        Bytes fast(80, 0);
        Bytes slow(80, 0);
        ASSERT_EQ(xor_keystream(fast.data(), 80, before), 1);
        literal::set_state(before);
        for (unsigned char& b : slow) {
            b = static_cast<unsigned char>(literal::cust_rand());
        }
        ASSERT_EQ(fast, slow) << "state " << at;
        // The same first draw through cust_rand, whole (sign included).
        xor_keystream(fast.data(), -1, before);
        literal::set_state(before);
        int expected = literal::cust_rand();
        ASSERT_EQ(cust_rand(), expected) << "state " << at;
        if (at < 0) {
            EXPECT_LE(expected, 0);
        }
        EXPECT_GE(expected, -2767);
        EXPECT_LE(expected, 2767);
    }
}

TEST(Keystream, LengthZeroAndNegative) {
    Bytes buf(16, 0xAA);
    EXPECT_EQ(xor_buffer(buf.data(), 0, 5), 0);
    EXPECT_EQ(buf, Bytes(16, 0xAA));
    EXPECT_EQ(xor_buffer(buf.data(), -4, 5), 1);
    EXPECT_EQ(buf, Bytes(16, 0xAA));
    // A negative length still seeds the generator.
    literal::set_state(5);
    EXPECT_EQ(cust_rand(), literal::cust_rand());
}

TEST(Keystream, NegativeDrawGivesItsLowByte) {
    // From seed -1 the first state is -65539: q = -1, r = -1, byte 0xFF.
    unsigned char b = 0;
    ASSERT_EQ(xor_buffer(&b, 1, -1), 1);
    EXPECT_EQ(b, 0xFF);
}

class Scramble : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything_in_one_file();
    }
};

TEST_F(Scramble, CryptFileIsItsOwnInverseForEveryLengthClass) {
    std::mt19937 rng(99);
    for (int32_t length :
         {0, 1, 2, 4095, 4096, 4097, 8000, 8001, 8191, 8192, 8193, 12288, 16000, 16001, 300001}) {
        std::string plain = random_text(rng, static_cast<size_t>(length));
        write_file(path("f"), plain);
        ASSERT_EQ(crypt_file(path("f").c_str()), 1) << length;
        Bytes expected = to_bytes(plain);
        literal::crypt_bytes(expected.data(), length);
        ASSERT_EQ(read_file(path("f")), to_text(expected)) << "length " << length;
        ASSERT_EQ(crypt_file(path("f").c_str()), 1);
        ASSERT_EQ(read_file(path("f")), plain) << "length " << length;
    }
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(Scramble, KeystreamDependsOnlyOnTheLength) {
    write_file(path("a"), std::string(5000, 'a'));
    write_file(path("b"), std::string(5000, 'b'));
    ASSERT_EQ(crypt_file(path("a").c_str()), 1);
    ASSERT_EQ(crypt_file(path("b").c_str()), 1);
    std::string a = read_file(path("a"));
    std::string b = read_file(path("b"));
    ASSERT_EQ(a.size(), 5000u);
    ASSERT_EQ(b.size(), 5000u);
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i] ^ 'a', b[i] ^ 'b') << "byte " << i;
    }
    // Another length, another keystream.
    write_file(path("c"), std::string(5001, 'a'));
    ASSERT_EQ(crypt_file(path("c").c_str()), 1);
    EXPECT_NE(read_file(path("c")).substr(0, 64), a.substr(0, 64));
}

int crypt_it(const char* file) {
    return crypt_file(file);
}

TEST_F(Scramble, CryptFileFailures) {
    EXPECT_EQ(crypt_file(""), 0);
    EXPECT_EQ(crypt_file(path("none").c_str()), 0);
    EXPECT_FALSE(exists(path("none")));
    // A file that may not be written is refused, not half converted.
    ASSERT_EQ(mkdir(path("ro").c_str(), 0755), 0);
    write_file(path("ro/f"), "some package");
    ASSERT_EQ(chmod(path("ro/f").c_str(), 0444), 0);
    EXPECT_EQ(ut_test::call_with_read_only_folder(path("ro"), crypt_it, path("ro/f").c_str()), 0);
    EXPECT_EQ(read_file(path("ro/f")), "some package");
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"[E] failed to open file to crypt: " + path("none"),
                                        "[E] failed to open file to crypt: " + path("ro/f")}));
}

TEST_F(Scramble, DatabaseSectors) {
    std::mt19937 rng(5);
    for (int32_t length : {8000, 8001, 12000, 15999, 16000, 16001, 50000}) {
        std::string plain = random_text(rng, static_cast<size_t>(length));
        write_file(path("db"), plain);
        ASSERT_EQ(encrypt_db(path("db").c_str()), 1) << length;
        std::string scrambled = read_file(path("db"));
        Bytes expected = to_bytes(plain);
        literal::encrypt_db_bytes(expected.data(), length);
        ASSERT_EQ(scrambled, to_text(expected)) << "length " << length;
        if (length >= 16000) {
            EXPECT_EQ(scrambled.substr(8000, static_cast<size_t>(length) - 16000),
                      plain.substr(8000, static_cast<size_t>(length) - 16000));
        }
        ASSERT_EQ(encrypt_db(path("db").c_str()), 1);
        ASSERT_EQ(read_file(path("db")), plain) << "length " << length;
    }
}

TEST_F(Scramble, DatabaseTooShortOrMissing) {
    std::string plain(7999, 'x');
    write_file(path("db"), plain);
    testing::internal::CaptureStdout();
    EXPECT_EQ(encrypt_db(path("db").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "fread_returned = 7999, ENCRYPT_SECTOR_SIZE = 8000\n");
    EXPECT_EQ(read_file(path("db")), plain);
    EXPECT_EQ(encrypt_db(path("none").c_str()), 0);
    EXPECT_EQ(encrypt_db(""), 0);
    EXPECT_FALSE(exists(path("none")));
}

TEST_F(Scramble, RealSqliteDatabase) {
    write_file(path("make.sql"), "CREATE TABLE t(a INTEGER, b TEXT);\n"
                                 "INSERT INTO t VALUES (1, 'one');\n");
    std::string out;
    ASSERT_EQ(
        run_command("sqlite3 '" + path("real.db") + "' < '" + path("make.sql") + "' 2>&1", &out), 0)
        << out;
    ASSERT_GE(file_size(path("real.db")), 8000);
    std::string plain = read_file(path("real.db"));
    EXPECT_EQ(is_encrypted(path("real.db").c_str()), 0);
    ASSERT_EQ(encrypt_db(path("real.db").c_str()), 1);
    EXPECT_NE(is_encrypted(path("real.db").c_str()), 0);
    ASSERT_EQ(encrypt_db(path("real.db").c_str()), 1);
    EXPECT_EQ(is_encrypted(path("real.db").c_str()), 0);
    EXPECT_EQ(read_file(path("real.db")), plain);
    out.clear();
    ASSERT_EQ(run_command("sqlite3 '" + path("real.db") + "' 'SELECT b FROM t;'", &out), 0);
    EXPECT_EQ(out, "one\n");
}

TEST_F(Scramble, IsEncryptedOnShortAndForeignFiles) {
    const std::string header("SQLite format 3\0", 16);
    write_file(path("header"), header);
    EXPECT_EQ(is_encrypted(path("header").c_str()), 0);
    write_file(path("short"), header.substr(0, 15));
    EXPECT_NE(is_encrypted(path("short").c_str()), 0);
    write_file(path("empty"), "");
    EXPECT_NE(is_encrypted(path("empty").c_str()), 0);
    for (size_t i = 0; i < header.size(); ++i) {
        std::string changed = header + "rest of the file";
        changed[i] = static_cast<char>(changed[i] ^ 0x20);
        write_file(path("changed"), changed);
        EXPECT_NE(is_encrypted(path("changed").c_str()), 0) << "byte " << i;
    }
    EXPECT_EQ(is_encrypted(path("none").c_str()), 0);
    EXPECT_EQ(is_encrypted(""), 0);
}

std::string description_block(char after_mark) {
    std::string block = std::string(DESCRIPTION_MARK) + after_mark;
    for (int i = 9; i < DESCRIPTION_SIZE; ++i) {
        block += static_cast<char>('A' + i % 26);
    }
    return block;
}

TEST_F(Scramble, DescriptionBlock) {
    const std::string block = description_block('\0');
    ASSERT_EQ(block.size(), 66u);
    write_file(path("f"), "content of the file");
    EXPECT_EQ(is_descriptioned(path("f").c_str()), 0);
    unsigned char out[80];
    EXPECT_EQ(get_description(path("f").c_str(), out, sizeof(out)), 0) << "shorter than 66";

    ASSERT_EQ(add_description(path("f").c_str(),
                              reinterpret_cast<const unsigned char*>(block.data()),
                              DESCRIPTION_SIZE),
              1);
    EXPECT_EQ(read_file(path("f")), "content of the file" + block);
    EXPECT_EQ(is_descriptioned(path("f").c_str()), 1);
    memset(out, 0, sizeof(out));
    ASSERT_EQ(get_description(path("f").c_str(), out, 66), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 66), block);
    EXPECT_EQ(out[66], 0) << "nothing past the block";
    // A buffer smaller than the block is refused.
    EXPECT_EQ(get_description(path("f").c_str(), out, 65), 0);
    EXPECT_EQ(get_description(path("f").c_str(), out, 0), 0);

    // The mark must be followed by a NUL.
    write_file(path("g"), "xyz" + description_block('X'));
    EXPECT_EQ(is_descriptioned(path("g").c_str()), 0);
    // A file of exactly the block is marked.
    write_file(path("h"), block);
    EXPECT_EQ(is_descriptioned(path("h").c_str()), 1);
}

TEST_F(Scramble, DescriptionFailures) {
    const unsigned char block[4] = {1, 2, 3, 4};
    EXPECT_EQ(add_description(path("none").c_str(), block, 4), 0);
    EXPECT_FALSE(exists(path("none")));
    write_file(path("f"), "abc");
    EXPECT_EQ(add_description(path("f").c_str(), block, 0), 0);
    EXPECT_EQ(add_description(path("f").c_str(), block, -1), 0);
    EXPECT_EQ(add_description("", block, 4), 0);
    EXPECT_EQ(read_file(path("f")), "abc");
    ASSERT_EQ(add_description(path("f").c_str(), block, 4), 1);
    EXPECT_EQ(file_size(path("f")), 7);
    unsigned char out[66];
    EXPECT_EQ(get_description(path("none").c_str(), out, 66), 0);
    EXPECT_EQ(is_descriptioned(path("none").c_str()), 0);
    EXPECT_EQ(is_descriptioned(""), 0);
}

TEST_F(Scramble, MarkingAScrambledFileChangesItsKeystream) {
    std::string plain(9000, 'p');
    write_file(path("f"), plain);
    ASSERT_EQ(crypt_file(path("f").c_str()), 1);
    const std::string block = description_block('\0');
    ASSERT_EQ(add_description(path("f").c_str(),
                              reinterpret_cast<const unsigned char*>(block.data()),
                              DESCRIPTION_SIZE),
              1);
    ASSERT_EQ(crypt_file(path("f").c_str()), 1);
    EXPECT_NE(read_file(path("f")).substr(0, 9000), plain);
}

} // namespace
