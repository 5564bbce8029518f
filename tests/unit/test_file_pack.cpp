// The package format: record encoding, unpacking plain and scrambled
// packages, the refusals, and the packer.

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/test_utility/file_pack.h"
#include "common/test_utility/scramble.h"
#include "crc_reference.h"
#include "reference/literal_scramble.h"
#include "test_support.h"

using ut_test::bitwise_crc16;
using ut_test::exists;
using ut_test::file_size;
using ut_test::list_dir;
using ut_test::log_messages;
using ut_test::read_file;
using ut_test::write_file;

namespace {

using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string le32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<size_t>(i)] = static_cast<char>((u >> (8 * i)) & 0xFF);
    }
    return s;
}

int32_t get_le32(const std::string& s, size_t at) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) {
        u = u << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    }
    return static_cast<int32_t>(u);
}

struct Entry {
    std::string name; // up to 32 bytes, padded with NULs
    int32_t start;
    int32_t size;
};

std::string make_record(int32_t struct_size, int32_t count, const std::vector<Entry>& entries) {
    std::string r = le32(struct_size) + le32(count);
    for (const Entry& e : entries) {
        std::string field = e.name;
        field.resize(32, '\0');
        r += field + le32(e.start) + le32(e.size);
    }
    r.resize(808, '\0');
    return r;
}

// Appends the checksum of all bytes but the last, low byte first.
std::string with_crc(const std::string& body) {
    uint16_t crc = bitwise_crc16(reinterpret_cast<const unsigned char*>(body.data()),
                                 body.empty() ? 0 : body.size() - 1);
    return body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

// A well-formed package of the files in the order given.
std::string make_package(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<Entry> entries;
    std::string data;
    int32_t at = 808;
    for (const auto& f : files) {
        entries.push_back({f.first, at, static_cast<int32_t>(f.second.size())});
        at += static_cast<int32_t>(f.second.size());
        data += f.second;
    }
    if (entries.empty()) {
        entries.push_back({"", 808, 0});
    }
    return with_crc(make_record(808, static_cast<int32_t>(files.size()), entries) + data);
}

std::string scrambled(std::string package) {
    std::vector<unsigned char> b(package.begin(), package.end());
    literal::crypt_bytes(b.data(), static_cast<int32_t>(b.size()));
    return std::string(b.begin(), b.end());
}

// Names of a folder in the order in which the system lists them.
std::vector<std::string> listing_order(const std::string& dir, const std::string& skip) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && name != skip) {
            names.push_back(name);
        }
    }
    closedir(d);
    return names;
}

// The entries of a package's record that are in use.
std::vector<Entry> entries_of(const std::string& package) {
    std::vector<Entry> entries;
    int32_t count = get_le32(package, 4);
    for (int32_t i = 0; i < count && i < 20; ++i) {
        size_t at = 8 + 40 * static_cast<size_t>(i);
        std::string name = package.substr(at, 32);
        name = name.substr(0, name.find('\0'));
        entries.push_back({name, get_le32(package, at + 32), get_le32(package, at + 36)});
    }
    return entries;
}

bool checksum_is_right(const std::string& package) {
    return package.size() >= 2 && with_crc(package.substr(0, package.size() - 2)) == package;
}

Files read_folder(const std::string& dir) {
    Files files;
    for (const std::string& name : list_dir(dir)) {
        files[name] = read_file(dir + "/" + name);
    }
    return files;
}

class Pack : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything_in_one_file();
        ASSERT_EQ(mkdir(path("src").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(path("out").c_str(), 0700), 0);
    }
    void make_folder(const std::string& dir, const Files& files) {
        mkdir(path(dir).c_str(), 0700);
        for (const auto& f : files) {
            write_file(path(dir + "/" + f.first), f.second);
        }
    }
    int unpack(const std::string& package) {
        return unpack_files(package.c_str(), folder("out").c_str());
    }
    // Messages of one level, "[E] ..." for errors.
    Lines messages_of(char level) {
        Lines out;
        for (const std::string& m : log_messages()) {
            if (m[1] == level) {
                out.push_back(m);
            }
        }
        return out;
    }
};

// ---------------------------------------------------------------------------
// The record on bytes

TEST(PackRecord, EveryByteIsCarriedBothWays) {
    std::mt19937 rng(3);
    for (int round = 0; round < 20; ++round) {
        unsigned char bytes[808];
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(rng());
        }
        packed_info info;
        decode_packed_info(bytes, &info);
        unsigned char again[808];
        encode_packed_info(&info, again);
        ASSERT_EQ(memcmp(bytes, again, 808), 0);
    }
}

TEST(PackRecord, FieldsAreLittleEndianAtTheirOffsets) {
    std::string r = make_record(808, 3, {{"first", 808, 5}, {"second", -2, 0x01020304}});
    packed_info info;
    decode_packed_info(reinterpret_cast<const unsigned char*>(r.data()), &info);
    EXPECT_EQ(info.pack_struct_size, 808);
    EXPECT_EQ(info.files_count, 3);
    EXPECT_STREQ(info.entries[0].name, "first");
    EXPECT_EQ(info.entries[0].start_pointer, 808);
    EXPECT_EQ(info.entries[0].size, 5);
    EXPECT_STREQ(info.entries[1].name, "second");
    EXPECT_EQ(info.entries[1].start_pointer, -2);
    EXPECT_EQ(info.entries[1].size, 0x01020304);
    unsigned char back[808];
    encode_packed_info(&info, back);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 808), r);
}

// ---------------------------------------------------------------------------
// Packing and unpacking

TEST_F(Pack, TwoFilePackageByteForByte) {
    const Files files = {{"a.txt", "abc"}, {"b.txt", "12345"}};
    make_folder("src", files);
    ASSERT_EQ(pack_files(folder("src").c_str(), "pack.f"), 1);

    // Entries in the order in which the folder lists its files.
    std::vector<std::string> order = listing_order(path("src"), "pack.f");
    ASSERT_EQ(order.size(), 2u);
    std::string expected = le32(808) + le32(2);
    std::string data;
    int32_t at = 808;
    for (const std::string& name : order) {
        std::string field = name;
        field.resize(32, '\0');
        int32_t size = static_cast<int32_t>(files.at(name).size());
        expected += field + le32(at) + le32(size);
        at += size;
        data += files.at(name);
    }
    expected += std::string(18 * 40, '\0') + data;
    uint16_t crc = bitwise_crc16(reinterpret_cast<const unsigned char*>(expected.data()), 815);
    expected += static_cast<char>(crc & 0xFF);
    expected += static_cast<char>(crc >> 8);
    ASSERT_EQ(expected.size(), 818u);
    std::string package = read_file(path("src/pack.f"));
    EXPECT_EQ(package, expected);

    const std::string pkg = path("src/pack.f");
    const std::string crc_text = std::to_string(static_cast<int16_t>(crc));
    Lines lines = {"[I] Create packed file start: " + pkg, "[I] write packed info DONE"};
    for (const std::string& name : order) {
        lines.push_back("[I] COPY file to packed: [" + path("src/" + name) + "] -> [" + pkg + "]");
    }
    Lines tail = {"[I] Write packed info DONE",      "[I] Create packed has DONE",
                  "[I] Size of file = 816",          "[I] tmp_crc = " + crc_text,
                  "[I] crc of packet = " + crc_text, "[I] write crc to file: " + pkg};
    lines.insert(lines.end(), tail.begin(), tail.end());
    EXPECT_EQ(log_messages(), lines);

    // Read as plain and extracted, without a look at the checksum.
    ASSERT_EQ(unpack(pkg), 1);
    EXPECT_EQ(read_folder(path("out")), files);
    EXPECT_EQ(read_file(pkg), expected) << "a plain package is never changed";
}

// The fixture folder of the golden packages under tests/data.
const Files kFixture = {
    {"alpha.txt", "first file of the fixture\n"},
    {"empty.bin", ""},
    {"pattern.bin",
     [] {
         std::string s(9000, '\0');
         for (size_t i = 0; i < s.size(); ++i) {
             s[i] = static_cast<char>((i * 31 + 7) & 0xFF);
         }
         return s;
     }()},
    {"work_list.f", "0001 run.sh\n"},
};

int pack_in_order(const std::string& source_folder, const std::vector<std::string>& names,
                  const std::string& package) {
    pack_writer w;
    if (!pack_begin(&w, package.c_str())) {
        return 0;
    }
    for (const std::string& name : names) {
        if (!pack_add_file(&w, (source_folder + name).c_str(), name.c_str())) {
            return 0;
        }
    }
    return pack_finish(&w);
}

TEST_F(Pack, GoldenPackagesAreTheSameOnEveryTarget) {
    make_folder("src", kFixture);
    std::vector<std::string> names;
    for (const auto& f : kFixture) {
        names.push_back(f.first); // name order
    }
    ASSERT_EQ(pack_in_order(folder("src"), names, path("plain.f")), 1);
    const std::string golden = read_file(UT_TEST_DATA_DIR "/golden_package.f");
    const std::string golden_scrambled = read_file(UT_TEST_DATA_DIR "/golden_package_scrambled.f");
    ASSERT_EQ(golden.size(), 808u + 26 + 9000 + 12 + 2);
    EXPECT_EQ(read_file(path("plain.f")), golden);
    write_file(path("scrambled.f"), golden);
    ASSERT_EQ(crypt_file(path("scrambled.f").c_str()), 1);
    EXPECT_EQ(read_file(path("scrambled.f")), golden_scrambled);

    // The golden files themselves, from the definitions alone.
    std::vector<std::pair<std::string, std::string>> in_order(kFixture.begin(), kFixture.end());
    EXPECT_EQ(golden, make_package(in_order));
    EXPECT_EQ(golden_scrambled, scrambled(golden));

    // pack_files writes the same bytes as the core for the order in which
    // it finds the files.
    ASSERT_EQ(pack_files(folder("src").c_str(), "listed.f"), 1);
    ASSERT_EQ(pack_in_order(folder("src"), listing_order(path("src"), "listed.f"), path("core.f")),
              1);
    EXPECT_EQ(read_file(path("src/listed.f")), read_file(path("core.f")));

    ASSERT_EQ(unpack(path("scrambled.f")), 1);
    EXPECT_EQ(read_folder(path("out")), kFixture);
}

// Folders of 0 to 20 files of 0 to a few hundred kilobytes: packed,
// scrambled, unpacked.
TEST_F(Pack, RoundTripsOfRandomFolders) {
    std::mt19937 rng(20260214);
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-";
    const int counts[] = {0, 1, 2, 20, 7, 13, 3, 20, 5, 11};
    int round = 0;
    for (int count : counts) {
        std::string src = "src" + std::to_string(round);
        std::string out = "out" + std::to_string(round);
        ++round;
        Files files;
        while (static_cast<int>(files.size()) < count) {
            std::string name;
            size_t length = 1 + rng() % 31;
            for (size_t i = 0; i < length; ++i) {
                name += alphabet[rng() % (sizeof(alphabet) - 1)];
            }
            if (name == "." || name == ".." || name == "pack.f") {
                continue;
            }
            unsigned pick = rng() % 100;
            size_t size = pick < 15   ? 0
                          : pick < 70 ? rng() % 3000
                          : pick < 95 ? rng() % 60000
                                      : rng() % 400000;
            std::string content(size, '\0');
            for (char& c : content) {
                c = static_cast<char>(rng());
            }
            files[name] = content;
        }
        make_folder(src, files);
        ASSERT_EQ(mkdir(path(out).c_str(), 0700), 0);
        ASSERT_EQ(pack_files(folder(src).c_str(), "pack.f"), 1) << "round " << round;
        std::string package = path(src + "/pack.f");
        std::string plain = read_file(package);
        ASSERT_TRUE(checksum_is_right(plain));
        ASSERT_EQ(crypt_file(package.c_str()), 1);
        ASSERT_NE(read_file(package).substr(0, 8), plain.substr(0, 8));
        ASSERT_EQ(unpack_files(package.c_str(), folder(out).c_str()), 1) << "round " << round;
        ASSERT_EQ(read_folder(path(out)), files) << "round " << round;
        EXPECT_EQ(read_file(package), plain) << "left unscrambled";
    }
    Lines info = messages_of('I');
    EXPECT_EQ(std::count(info.begin(), info.end(), "[I] file is crypted, need to repare"), 10);
    EXPECT_EQ(std::count(info.begin(), info.end(), "[I] CRC of packed is OK"), 10);
    EXPECT_TRUE(messages_of('E').empty());
}

TEST_F(Pack, ExtractingAppendsToAnExistingFile) {
    write_file(path("pkg"), make_package({{"x.txt", "new bytes"}, {"y.txt", "why"}}));
    write_file(path("out/x.txt"), "old bytes|");
    ASSERT_EQ(unpack(path("pkg")), 1);
    EXPECT_EQ(read_file(path("out/x.txt")), "old bytes|new bytes");
    EXPECT_EQ(read_file(path("out/y.txt")), "why");
    EXPECT_EQ(log_messages(),
              (Lines{"[I] EXTRACT_FILE: packed_name = " + path("pkg") +
                         "; file_name = " + path("out/x.txt") + "; start_pointer = 808; size = 9",
                     "[I] EXTRACT_FILE: packed_name = " + path("pkg") + "; file_name = " +
                         path("out/y.txt") + "; start_pointer = 817; size = 3"}));
}

// ---------------------------------------------------------------------------
// Reading: the edge cases of the format

TEST_F(Pack, PlainPackageChecksumIsNotChecked) {
    std::string package = make_package({{"f", "content"}});
    package[package.size() - 1] ^= 0x55;
    write_file(path("bad_crc"), package);
    ASSERT_EQ(unpack(path("bad_crc")), 1);
    EXPECT_EQ(read_file(path("out/f")), "content");
    // No checksum at all.
    write_file(path("no_crc"), package.substr(0, package.size() - 2));
    ASSERT_EQ(unpack_files(path("no_crc").c_str(), folder("src").c_str()), 1);
    EXPECT_EQ(read_file(path("src/f")), "content");
}

TEST_F(Pack, ScrambledPackageWithAWrongChecksum) {
    std::string package = make_package({{"f", "content"}});
    uint16_t stored =
        static_cast<uint16_t>(static_cast<unsigned char>(package[package.size() - 2]) |
                              static_cast<unsigned char>(package[package.size() - 1]) << 8);
    uint16_t computed = stored;
    stored ^= 0x8001;
    package[package.size() - 2] = static_cast<char>(stored & 0xFF);
    package[package.size() - 1] = static_cast<char>(stored >> 8);
    write_file(path("pkg"), scrambled(package));
    ASSERT_EQ(unpack(path("pkg")), 0);
    EXPECT_TRUE(list_dir(path("out")).empty());
    EXPECT_EQ(read_file(path("pkg")), package) << "left unscrambled on disk";
    EXPECT_EQ(messages_of('E'),
              (Lines{"[E] CRC error: read crc = " + std::to_string(static_cast<int16_t>(stored)) +
                     ", calc_crc = " + std::to_string(static_cast<int16_t>(computed))}));
    EXPECT_EQ(messages_of('I').front(), "[I] file is crypted, need to repare");
}

TEST_F(Pack, ScrambledRecordThatIsConsistentButNot808) {
    // pack_struct_size and entry 0's start_pointer both 900: it passes the
    // second test, and the entries are read from their own offsets.
    std::string body = make_record(900, 2, {{"one", 900, 3}, {"two", 903, 4}});
    body += std::string(92, '#') + "111" + "2222";
    write_file(path("pkg"), scrambled(with_crc(body)));
    ASSERT_EQ(unpack(path("pkg")), 1);
    EXPECT_EQ(read_folder(path("out")), (Files{{"one", "111"}, {"two", "2222"}}));
}

TEST_F(Pack, ScrambledRecordThatIsInconsistent) {
    std::string body = make_record(808, 1, {{"one", 812, 3}}) + "....111";
    write_file(path("pkg"), scrambled(with_crc(body)));
    ASSERT_EQ(unpack(path("pkg")), 0);
    EXPECT_EQ(messages_of('E'),
              (Lines{"[E] Error in pack info after encrypt: pack_struct_size [808] != "
                     "start_pointer [812]"}));
    EXPECT_TRUE(list_dir(path("out")).empty());
}

TEST_F(Pack, PackageOfNoFiles) {
    write_file(path("empty"), with_crc(make_record(808, 0, {{"", 808, 0}})));
    EXPECT_EQ(unpack(path("empty")), 1);
    EXPECT_TRUE(log_messages().empty()) << "plain, nothing extracted";
    // Entry 0 not at 808: taken as scrambled, unscrambled, checksum wrong.
    std::string other = with_crc(make_record(808, 0, {}));
    write_file(path("other"), other);
    EXPECT_EQ(unpack(path("other")), 0);
    Lines errors = messages_of('E');
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("[E] CRC error: read crc = ", 0), 0u) << errors[0];
    EXPECT_EQ(log_messages().front(), "[I] file is crypted, need to repare");
}

TEST_F(Pack, EntriesAtTheEdgesOfThePackage) {
    const std::string name31(31, 'n');
    // Entries: empty, past the end, running past the end, a 31-character name.
    std::string body = make_record(
        808, 4,
        {{"empty", 808, 0}, {"past_end", 5000, 10}, {"runs_over", 811, 100}, {name31, 808, 3}});
    body += "abcdefgh";
    write_file(path("pkg"), body + "zz");
    ASSERT_EQ(unpack(path("pkg")), 1);
    EXPECT_EQ(read_folder(path("out")),
              (Files{{"empty", ""}, {"past_end", ""}, {"runs_over", "defghzz"}, {name31, "abc"}}));
}

TEST_F(Pack, FailingEntryEndsTheUnpacking) {
    std::string body = make_record(
        808, 5, {{"f1", 808, 1}, {"f2", 809, 1}, {"f3", -5, 1}, {"f4", 810, 1}, {"f5", 811, 1}});
    write_file(path("pkg"), body + "1245");
    ASSERT_EQ(unpack(path("pkg")), 0);
    // The failing entry's file was created before the positioning failed.
    EXPECT_EQ(read_folder(path("out")), (Files{{"f1", "1"}, {"f2", "2"}, {"f3", ""}}));
    EXPECT_EQ(messages_of('E'), (Lines{"[E] failed to seek to -5 of packed file",
                                       "[E] failed to extract file: " + path("out/f3")}));
}

// Refused as a whole before anything is extracted, plain or scrambled.
TEST_F(Pack, UnsafeRecordsAreRefused) {
    struct Case {
        std::string record;
        std::string reason;
    };
    const std::string full(32, 'x');
    std::vector<Entry> twenty;
    for (int i = 0; i < 20; ++i) {
        twenty.push_back({"f" + std::to_string(i), 808, 0});
    }
    const Case cases[] = {
        {make_record(808, 21, twenty), "files_count out of range: 21"},
        {make_record(808, -1, {{"a", 808, 0}}), "files_count out of range: -1"},
        {make_record(808, 2, {{"a", 808, 0}, {full, 808, 0}}), "name of entry 1 is not terminated"},
        {make_record(808, 1, {{"", 808, 0}}), "name of entry 0 is empty"},
        {make_record(808, 2, {{"a", 808, 0}, {"../evil", 808, 1}}),
         "name of entry 1 is not a bare file name: ../evil"},
        {make_record(808, 1, {{"sub/x", 808, 0}}),
         "name of entry 0 is not a bare file name: sub/x"},
        {make_record(808, 1, {{"/etc/x", 808, 0}}),
         "name of entry 0 is not a bare file name: /etc/x"},
        {make_record(808, 1, {{".", 808, 0}}), "name of entry 0 is not a bare file name: ."},
        {make_record(808, 1, {{"..", 808, 0}}), "name of entry 0 is not a bare file name: .."},
    };
    int n = 0;
    for (const Case& c : cases) {
        for (bool scramble : {false, true}) {
            std::string pkg = path("pkg" + std::to_string(n++));
            std::string package = with_crc(c.record + "z");
            write_file(pkg, scramble ? scrambled(package) : package);
            ut_test::remove_tree(path("logs"));
            ut_test::reset_log_state();
            EXPECT_EQ(unpack(pkg), 0) << c.reason;
            EXPECT_TRUE(list_dir(path("out")).empty()) << c.reason;
            EXPECT_EQ(messages_of('E'), (Lines{"[E] " + c.reason}));
        }
    }
    // Entries past files_count carry no meaning, whatever their names.
    write_file(path("fine"),
               with_crc(make_record(808, 1, {{"a", 808, 1}, {"../x", 808, 1}}) + "z"));
    EXPECT_EQ(unpack(path("fine")), 1);
    EXPECT_EQ(read_folder(path("out")), (Files{{"a", "z"}}));
}

// A name with a line end or an escape byte would forge log lines and drive
// terminals: refused like a folder in the name, and shown escaped.
TEST_F(Pack, NamesWithControlBytesAreRefusedAndShownEscaped) {
    struct Case {
        std::string name;
        std::string shown;
    } const cases[] = {
        {"a\nb", "a\\x0ab"},           {"run.sh\r", "run.sh\\x0d"},
        {"\x1b[2Jx", "\\x1b[2Jx"},     {"del\x7f", "del\\x7f"},
        {"tab\tname", "tab\\x09name"}, {"x\n01.01 [E] forged line", "x\\x0a01.01 [E] forged line"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        for (bool scramble : {false, true}) {
            std::string pkg = path("pkg" + std::to_string(n++));
            std::string package = make_package({{"ok", "fine"}, {c.name, "bad"}});
            write_file(pkg, scramble ? scrambled(package) : package);
            ut_test::remove_tree(path("logs"));
            ut_test::reset_log_state();
            EXPECT_EQ(unpack(pkg), 0);
            EXPECT_TRUE(list_dir(path("out")).empty()) << "refused before anything is written";
            EXPECT_EQ(messages_of('E'),
                      (Lines{"[E] name of entry 1 is not a bare file name: " + c.shown}));
            EXPECT_EQ(ut_test::all_log_text().find(c.name), std::string::npos);
        }
    }
    // The packer refuses such a name as well, and shows it escaped.
    write_file(path("src/a"), "a");
    pack_writer w;
    ASSERT_EQ(pack_begin(&w, path("p.f").c_str()), 1);
    EXPECT_EQ(pack_add_file(&w, path("src/a").c_str(), "a\nb"), 0);
    EXPECT_EQ(w.info.files_count, 0);
    EXPECT_NE(ut_test::all_log_text().find("not a bare file name: a\\x0ab"), std::string::npos);
}

// The package copy lies in the folder it is unpacked into: an entry named as
// the copy appends to the very file being read. Nothing past the package's
// length at the start is read, so a declared 256 MiB do not grow it.
TEST_F(Pack, EntryNamedAsThePackageDoesNotFeedOnItself) {
    const int32_t huge = 256 * 1024 * 1024;
    std::string body = make_record(808, 2, {{"work_list.f", 808, 4}, {"command.f", 812, huge}});
    body += "<0>\n";
    body += std::string(30, 'c');
    const std::string package = with_crc(body);
    for (bool scramble : {false, true}) {
        SCOPED_TRACE(scramble ? "scrambled" : "plain");
        ut_test::remove_tree(path("out"));
        ASSERT_EQ(mkdir(path("out").c_str(), 0700), 0);
        write_file(path("out/command.f"), scramble ? scrambled(package) : package);
        EXPECT_EQ(unpack_files(path("out/command.f").c_str(), folder("out").c_str()), 1);
        // The copy and what the entry took of it: its bytes from 812 to the end.
        EXPECT_EQ(file_size(path("out/command.f")),
                  static_cast<long long>(package.size() + package.size() - 812));
        EXPECT_EQ(read_file(path("out/work_list.f")), "<0>\n");
    }
    // extract_file on its own reads up to the length the package has when
    // it is opened.
    write_file(path("self.f"), "0123456789");
    EXPECT_EQ(extract_file(path("self.f").c_str(), path("self.f").c_str(), 2, huge), 1);
    EXPECT_EQ(read_file(path("self.f")), "012345678923456789");
    EXPECT_EQ(extract_file(path("self.f").c_str(), path("copy").c_str(), 0, huge, 4), 1);
    EXPECT_EQ(read_file(path("copy")), "0123");
}

TEST_F(Pack, PackerLinesCarryPackFiles) {
    make_folder("src", {{"a", "abc"}, {"b", "defgh"}});
    ASSERT_EQ(pack_files(folder("src").c_str(), "p.f"), 1);
    // "DD.MM.YYYY hh:mm:ss mmm [I] <file, 29>: <function, 29>: [NNNNN] text"
    std::map<std::string, std::string> function_of;
    for (const std::string& line : ut_test::split_lines(ut_test::all_log_text())) {
        if (line.size() > 95 && line[24] == '[') {
            std::string function = line.substr(59, 29);
            function = function.substr(0, function.find_last_not_of(' ') + 1);
            function_of[line.substr(line.find("] ", 90) + 2)] = function;
        }
    }
    const std::string package = path("src/p.f");
    for (const std::string& text :
         {"Create packed file start: " + package, std::string("write packed info DONE"),
          "COPY file to packed: [" + path("src/a") + "] -> [" + package + "]",
          std::string("Write packed info DONE"), std::string("Create packed has DONE"),
          "write crc to file: " + package}) {
        SCOPED_TRACE(text);
        ASSERT_EQ(function_of.count(text), 1u);
        EXPECT_EQ(function_of[text], "pack_files");
    }
    for (const auto& line : function_of) {
        EXPECT_TRUE(line.second == "pack_files" || line.second == "calc_crc16_of_file")
            << line.second << ": " << line.first;
    }
}

TEST_F(Pack, DestinationPathThatWouldBeCutIsRefused) {
    std::string deep = path("out") + "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    const std::string name(31, 'n');
    write_file(path("pkg"), make_package({{"short", "s"}, {name, "long"}}));
    EXPECT_EQ(unpack_files(path("pkg").c_str(), (deep + "/").c_str()), 0);
    EXPECT_TRUE(list_dir(deep).empty());
    EXPECT_EQ(messages_of('E'), (Lines{"[E] destination path too long: " + deep + "/" + name}));
}

int unpack_into_out(const char* package) {
    std::string out = std::string(package) + "_out/";
    return unpack_files(package, out.c_str());
}

TEST_F(Pack, ScrambledPackageThatCannotBeWritten) {
    ASSERT_EQ(mkdir(path("ro").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("ro/pkg_out").c_str(), 0755), 0);
    const std::string package = scrambled(make_package({{"f", "x"}}));
    write_file(path("ro/pkg"), package);
    ASSERT_EQ(chmod(path("ro/pkg").c_str(), 0444), 0);
    ASSERT_EQ(
        ut_test::call_with_read_only_folder(path("ro"), unpack_into_out, path("ro/pkg").c_str()),
        0);
    EXPECT_EQ(read_file(path("ro/pkg")), package);
    EXPECT_EQ(messages_of('E'), (Lines{"[E] failed to open file to crypt: " + path("ro/pkg"),
                                       "[E] failed to encrypt packed: " + path("ro/pkg")}));
}

TEST_F(Pack, ReaderFailures) {
    write_file(path("short"), std::string(807, '\0'));
    packed_info info;
    EXPECT_EQ(unpack(path("none")), 0);
    EXPECT_EQ(unpack(path("short")), 0);
    EXPECT_EQ(unpack_files("", folder("out").c_str()), 0);
    EXPECT_EQ(unpack_files(path("short").c_str(), ""), 0);
    EXPECT_EQ(get_info_of_packed("", &info), 0);
    EXPECT_EQ(extract_file("", path("out/x").c_str(), 808, 1), 0);
    EXPECT_EQ(extract_file(path("short").c_str(), "", 808, 1), 0);
    EXPECT_EQ(extract_file(path("short").c_str(), path("missing/x").c_str(), 0, 1), 0);
    EXPECT_EQ(extract_file(path("none").c_str(), path("out/x").c_str(), 0, 1), 0);
    EXPECT_EQ(messages_of('E'), (Lines{
                                    "[E] failed to open packed file: " + path("none"),
                                    "[E] failed to get info of packed: " + path("none"),
                                    "[E] failed to read packed info",
                                    "[E] failed to get info of packed: " + path("short"),
                                    "[E] packed_name is empty",
                                    "[E] unpack_folder is empty",
                                    "[E] packed_name is empty",
                                    "[E] packed_name is empty",
                                    "[E] file_name is empty",
                                    "[E] failed to create file: " + path("missing/x"),
                                    "[E] failed to open source file: " + path("none"),
                                }));
    // The destination was created before the package was found missing.
    EXPECT_EQ(read_file(path("out/x")), "");
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(Pack, PackageInTheFolderIsNotPackedAgain) {
    make_folder("src", {{"a", "1"}, {"b", "22"}, {"c", ""}});
    ASSERT_EQ(pack_files(folder("src").c_str(), "pack.f"), 1);
    std::string first = read_file(path("src/pack.f"));
    ASSERT_EQ(pack_files(folder("src").c_str(), "pack.f"), 1);
    EXPECT_EQ(read_file(path("src/pack.f")), first);
    EXPECT_EQ(entries_of(first).size(), 3u);
}

TEST_F(Pack, EntriesFollowEachOtherAndNamesAreCut) {
    const std::string long_name(40, 'L');
    make_folder("src",
                {{long_name, "long name, full content"}, {"e1", ""}, {"e2", ""}, {"x", "xyz"}});
    ASSERT_EQ(pack_files(folder("src").c_str(), "pack.f"), 1);
    std::string package = read_file(path("src/pack.f"));
    std::vector<Entry> entries = entries_of(package);
    ASSERT_EQ(entries.size(), 4u);
    int32_t at = 808;
    for (const Entry& e : entries) {
        EXPECT_EQ(e.start, at) << e.name; // an empty file starts where the next one does
        at += e.size;
    }
    EXPECT_EQ(package.size(), static_cast<size_t>(at) + 2);
    EXPECT_TRUE(checksum_is_right(package));
    ASSERT_EQ(unpack(path("src/pack.f")), 1);
    EXPECT_EQ(read_folder(path("out")), (Files{{long_name.substr(0, 31), "long name, full content"},
                                               {"e1", ""},
                                               {"e2", ""},
                                               {"x", "xyz"}}));
}

TEST_F(Pack, SubFolderStopsThePackingWithoutALine) {
    make_folder("src", {{"a", "aaa"}});
    ASSERT_EQ(mkdir(path("src/sub").c_str(), 0700), 0);
    EXPECT_EQ(pack_files(folder("src").c_str(), "pack.f"), 0);
    EXPECT_TRUE(messages_of('E').empty());
    Lines info = messages_of('I');
    EXPECT_EQ(std::count(info.begin(), info.end(), "[I] Create packed has DONE"), 0);
    // Unfinished: the provisional record, no checksum.
    std::string package = read_file(path("src/pack.f"));
    ASSERT_GE(package.size(), 808u);
    EXPECT_EQ(package.substr(0, 808), make_record(808, 0, {}));
}

TEST_F(Pack, HiddenSubFolderDoesNotStopThePacking) {
    make_folder("src", {{"a", "aaa"}});
    ASSERT_EQ(mkdir(path("src/.hidden").c_str(), 0700), 0);
    EXPECT_EQ(pack_files(folder("src").c_str(), "pack.f"), 1);
    std::vector<Entry> entries = entries_of(read_file(path("src/pack.f")));
    ASSERT_EQ(entries.size(), 2u);
    for (const Entry& e : entries) {
        EXPECT_EQ(e.size, e.name == "a" ? 3 : 0) << e.name;
    }
}

TEST_F(Pack, SourceThatCannotBeOpenedFailsAfterFinishing) {
    make_folder("src", {{"a", "aaa"}, {"b", "bb"}});
    ASSERT_EQ(symlink("nowhere", path("src/gone").c_str()), 0);
    EXPECT_EQ(pack_files(folder("src").c_str(), "pack.f"), 0);
    EXPECT_EQ(messages_of('E'), (Lines{"[E] failed to open source file: " + path("src/gone"),
                                       "[E] failed to add file " + path("src/gone") +
                                           " to packed " + path("src/pack.f")}));
    // Finished with the files listed before it.
    std::string package = read_file(path("src/pack.f"));
    EXPECT_TRUE(checksum_is_right(package));
    std::vector<std::string> order = listing_order(path("src"), "pack.f");
    size_t before =
        static_cast<size_t>(std::find(order.begin(), order.end(), "gone") - order.begin());
    EXPECT_EQ(entries_of(package).size(), before);
}

TEST_F(Pack, TwentyFilesAndNoMore) {
    Files files;
    for (int i = 0; i < 21; ++i) {
        files["f" + std::to_string(i)] = std::string(static_cast<size_t>(i), 'c');
    }
    make_folder("src", files);
    EXPECT_EQ(pack_files(folder("src").c_str(), "pack.f"), 0);
    std::string package = read_file(path("src/pack.f"));
    EXPECT_EQ(entries_of(package).size(), 20u);
    EXPECT_TRUE(checksum_is_right(package));
    std::vector<std::string> order = listing_order(path("src"), "pack.f");
    ASSERT_EQ(order.size(), 21u);
    const std::string last = path("src/" + order.back());
    EXPECT_EQ(messages_of('E'),
              (Lines{"[E] packed file holds 20 files already, no room for " + last,
                     "[E] failed to add file " + last + " to packed " + path("src/pack.f")}));
    ASSERT_EQ(unpack(path("src/pack.f")), 1);
    files.erase(order.back());
    EXPECT_EQ(read_folder(path("out")), files);
}

TEST_F(Pack, EmptyFolderGivesAPlainPackageOfNoFiles) {
    ASSERT_EQ(pack_files(folder("src").c_str(), "pack.f"), 1);
    std::string package = read_file(path("src/pack.f"));
    EXPECT_EQ(package, with_crc(make_record(808, 0, {{"", 808, 0}})));
    EXPECT_EQ(unpack(path("src/pack.f")), 1);
    ASSERT_EQ(crypt_file(path("src/pack.f").c_str()), 1);
    EXPECT_EQ(unpack(path("src/pack.f")), 1);
    EXPECT_TRUE(messages_of('E').empty());
}

TEST_F(Pack, WriterCore) {
    make_folder("src", {{"a", "aaa"}});
    pack_writer w;
    ASSERT_EQ(pack_begin(&w, path("p.f").c_str()), 1);
    EXPECT_EQ(read_file(path("p.f")), make_record(808, 0, {})) << "provisional record, zeros";
    for (const char* bad : {"", "x/y", ".", ".."}) {
        EXPECT_EQ(pack_add_file(&w, path("src/a").c_str(), bad), 0) << bad;
    }
    EXPECT_EQ(pack_add_file(&w, path("src/none").c_str(), "none"), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(pack_add_file(&w, path("src/a").c_str(), ("a" + std::to_string(i)).c_str()), 1);
    }
    EXPECT_EQ(pack_add_file(&w, path("src/a").c_str(), "a20"), 0);
    ASSERT_EQ(pack_finish(&w), 1);
    std::string package = read_file(path("p.f"));
    EXPECT_EQ(package.size(), 808u + 60 + 2);
    EXPECT_EQ(entries_of(package).size(), 20u);
    EXPECT_EQ(entries_of(package).back().start, 808 + 57);
    EXPECT_TRUE(checksum_is_right(package));
    EXPECT_EQ(messages_of('E'),
              (Lines{
                  "[E] not a bare file name: ",
                  "[E] not a bare file name: x/y",
                  "[E] not a bare file name: .",
                  "[E] not a bare file name: ..",
                  "[E] failed to open source file: " + path("src/none"),
                  "[E] packed file holds 20 files already, no room for " + path("src/a"),
              }));
    EXPECT_EQ(pack_begin(&w, ""), 0);
    EXPECT_EQ(pack_begin(&w, path("missing/p.f").c_str()), 0);
}

TEST_F(Pack, CopyFileToPacked) {
    write_file(path("pkg"), "head|");
    write_file(path("src/a"), std::string(20000, 'a'));
    int32_t copied = -1;
    ASSERT_EQ(copy_file_to_packed(path("pkg").c_str(), path("src/a").c_str(), &copied), 1);
    EXPECT_EQ(copied, 20000);
    EXPECT_EQ(read_file(path("pkg")), "head|" + std::string(20000, 'a'));
    copied = -1;
    EXPECT_EQ(copy_file_to_packed(path("pkg").c_str(), path("src/none").c_str(), &copied), 0);
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(copy_file_to_packed("", path("src/a").c_str(), &copied), 0);
    EXPECT_EQ(copy_file_to_packed(path("pkg").c_str(), "", &copied), 0);
    EXPECT_EQ(copy_file_to_packed(path("missing/pkg").c_str(), path("src/a").c_str(), &copied), 0);
    EXPECT_EQ(messages_of('E'), (Lines{
                                    "[E] failed to open source file: " + path("src/none"),
                                    "[E] packed_name is empty",
                                    "[E] source_name is empty",
                                    "[E] failed to open packed file: " + path("missing/pkg"),
                                }));
}

TEST_F(Pack, PackFilesArguments) {
    EXPECT_EQ(pack_files("", "pack.f"), 0);
    EXPECT_EQ(pack_files(folder("src").c_str(), ""), 0);
    EXPECT_EQ(pack_files(folder("missing").c_str(), "pack.f"), 0);
    EXPECT_EQ(messages_of('E'),
              (Lines{"[E] source_folder name is empty", "[E] packed_name is empty",
                     "[E] failed to create packed file"}));
    EXPECT_FALSE(exists(path("missing")));
}

} // namespace
