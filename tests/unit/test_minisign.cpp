// Package signatures in minisign's formats: the parsers on bytes, the
// verification (a flipped bit anywhere is caught), the bounded file reader,
// and the board's decision with its note.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/minisign.h"
#include "common/test_utility/work_with_files.h"
#include "src/start_task/signature_check.h"
#include "test_support.h"

namespace {

using ut_test::read_file;
using ut_test::write_file;

// Made by Debian's minisign 0.11 (minisign -G -W; minisign -S, and -S -l)
// over the six bytes "hello\n".
const char kRealPublicKey[] = "untrusted comment: minisign public key 4171D780A765DB06\n"
                              "RWQG22WngNdxQZQKysqUzEy0PmzMHMH3ingF9dv5RmEguH1OPuktg4xq\n";
const char kRealHashed[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUQG22WngNdxQZx5qUtN507JzJX2n69sosCcsZGaZumEY4b3TAMW7/"
    "I75HO1ICIgfhmio7NISks7sAOoRJY69KEFGUmO4xPzywc=\n"
    "trusted comment: timestamp:1796918435\tfile:f\thashed\n"
    "ULDoj1XlGsMrXR8ovAvw/ZXb8YQJss0GQvEgzQeXPdXJ6BQN0lzH0j355PAZwJ39vZ0xC+P77Nk0hmf91GlNAA==\n";
const char kRealLegacy[] =
    "untrusted comment: signature from minisign secret key\n"
    "RWQG22WngNdxQVLsaLMgtjKEwOUs1YnDj+rc5GzFQgap7no35nX++"
    "aRVoiOBiivlE5FAU5CMkuFQ4aTTD15beWPwZpPFSniZ6gU=\n"
    "trusted comment: timestamp:1796918435\tfile:f\n"
    "S6mWDv64BO6pAxlU93kcl/KG6LB0ISKLMls97vmVInvAsX7lGjVALwC1BEnWfx0eHqVs8s40Iwh+zJO7/IQUDQ==\n";
const std::string kHello = "hello\n";

std::string b64(const uint8_t* data, int n) {
    char out[256];
    EXPECT_GT(minisign_base64_encode(data, n, out, sizeof(out)), 0);
    return out;
}

// A key pair from a fixed seed, and signature files made with it.
struct signer {
    uint8_t key_id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t pk[32];
    uint8_t sk[64];

    signer() {
        uint8_t seed[32];
        for (int i = 0; i < 32; ++i) {
            seed[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        crypto_sign_seed_keypair(pk, sk, seed);
    }

    std::string public_key(const char* alg = "Ed") const {
        uint8_t blob[42];
        memcpy(blob, alg, 2);
        memcpy(blob + 2, key_id, 8);
        memcpy(blob + 10, pk, 32);
        return "untrusted comment: test key\n" + b64(blob, 42) + "\n";
    }

    // The four lines of a signature over data; `eol` ends each line.
    std::string sign(const std::string& data, bool hashed = true,
                     const std::string& comment = "timestamp:1\tfile:command.f\thashed",
                     const std::string& eol = "\n") const {
        uint8_t blob[74];
        memcpy(blob, hashed ? "ED" : "Ed", 2);
        memcpy(blob + 2, key_id, 8);
        const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
        if (hashed) {
            uint8_t h[64];
            crypto_generichash(h, 64, bytes, data.size(), nullptr, 0);
            crypto_sign_detached(blob + 10, nullptr, h, 64, sk);
        } else {
            crypto_sign_detached(blob + 10, nullptr, bytes, data.size(), sk);
        }
        std::string message(reinterpret_cast<const char*>(blob + 10), 64);
        message += comment;
        uint8_t global[64];
        crypto_sign_detached(global, nullptr, reinterpret_cast<const uint8_t*>(message.data()),
                             message.size(), sk);
        return "untrusted comment: sig" + eol + b64(blob, 74) + eol +
               "trusted comment: " + comment + eol + b64(global, 64) + eol;
    }
};

int parse_key(const std::string& text, minisign_public_key* key, const char** why) {
    return minisign_parse_public_key(text.data(), static_cast<int>(text.size()), key, why);
}

int parse_sig(const std::string& text, minisign_signature* sig, const char** why) {
    return minisign_parse_signature(text.data(), static_cast<int>(text.size()), sig, why);
}

int verify(const std::string& data, const minisign_signature& sig, const minisign_public_key& key) {
    return minisign_verify_buffer(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &sig,
                                  &key);
}

// Replaces line `n` (0-based) of a text.
std::string with_line(const std::string& text, int n, const std::string& line) {
    std::vector<std::string> lines = ut_test::split_lines(text);
    lines[static_cast<size_t>(n)] = line;
    std::string out;
    for (const std::string& l : lines) {
        out += l + "\n";
    }
    return out;
}

minisign_signature g_sig; // 8 KB: kept off the stack

// The log messages ("[W] text") that begin with prefix.
int logged(const std::string& prefix) {
    int n = 0;
    for (const std::string& m : ut_test::log_messages()) {
        n += m.compare(0, prefix.size(), prefix) == 0;
    }
    return n;
}

} // namespace

TEST(Minisign, RealMinisignKeyVerifiesAndItsLegacySignatureIsRefused) {
    minisign_public_key key;
    const char* why = "";
    ASSERT_TRUE(parse_key(kRealPublicKey, &key, &why)) << why;
    char id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisign_key_id_text(key.key_id, id);
    EXPECT_STREQ(id, "4171D780A765DB06"); // as minisign prints it

    ASSERT_TRUE(parse_sig(kRealHashed, &g_sig, &why)) << why;
    EXPECT_EQ(g_sig.prehashed, 1);
    EXPECT_STREQ(g_sig.trusted_comment, "timestamp:1796918435\tfile:f\thashed");
    EXPECT_EQ(verify(kHello, g_sig, key), MINISIGN_GOOD);
    EXPECT_EQ(verify("hello!", g_sig, key), MINISIGN_BAD_SIGNATURE);

    // "Ed" is read, so that it can be named, and never verified: not even
    // for the bytes it signed.
    ASSERT_TRUE(parse_sig(kRealLegacy, &g_sig, &why)) << why;
    EXPECT_EQ(g_sig.prehashed, 0);
    EXPECT_EQ(verify(kHello, g_sig, key), MINISIGN_LEGACY);
    EXPECT_EQ(verify("hello!", g_sig, key), MINISIGN_LEGACY);
}

TEST(Minisign, RelabelledSignatureIsNotValidForTheHash) {
    // The two bytes that name the algorithm are not signed: "ED" turned into
    // "Ed" would make the signature of a file valid for its 64-byte hash.
    const signer s;
    minisign_public_key key;
    const char* why = "";
    ASSERT_TRUE(parse_key(s.public_key(), &key, &why));
    std::string text = s.sign(kHello);
    std::vector<std::string> lines = ut_test::split_lines(text);
    uint8_t blob[74];
    ASSERT_EQ(minisign_base64_decode(lines[1].data(), static_cast<int>(lines[1].size()), blob, 74),
              74);
    blob[1] = 'd';
    ASSERT_TRUE(parse_sig(with_line(text, 1, b64(blob, 74)), &g_sig, &why)) << why;
    uint8_t hash[64];
    crypto_generichash(hash, 64, reinterpret_cast<const uint8_t*>(kHello.data()), kHello.size(),
                       nullptr, 0);
    EXPECT_EQ(verify(std::string(reinterpret_cast<const char*>(hash), 64), g_sig, key),
              MINISIGN_LEGACY);
}

TEST(Minisign, PublicKeyParserRefusesMalformedKeys) {
    const signer s;
    const std::string good = s.public_key();
    const std::string line = ut_test::split_lines(good)[1];
    uint8_t short_blob[41] = {'E', 'd'};
    uint8_t long_blob[43] = {'E', 'd'};
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"comment line only", "untrusted comment: x\n"},
        {"no comment line", line + "\n"},
        {"bad base64 character", with_line(good, 1, line.substr(0, 10) + "*" + line.substr(11))},
        {"base64 cut short", with_line(good, 1, line.substr(0, line.size() - 4))},
        {"41 bytes", with_line(good, 1, b64(short_blob, 41))},
        {"43 bytes", with_line(good, 1, b64(long_blob, 43))},
        {"unknown algorithm", s.public_key("ED")},
        {"NUL byte in the key line", with_line(good, 1, line + std::string(1, '\0'))},
        {"space after the key", with_line(good, 1, line + " ")},
    };
    for (const auto& c : cases) {
        minisign_public_key key;
        const char* why = "";
        EXPECT_FALSE(parse_key(c.text, &key, &why)) << c.name;
        EXPECT_STRNE(why, "") << c.name;
    }
    minisign_public_key key;
    const char* why = "";
    // CRLF line ends, and no line end at all after the key, are fine.
    std::string crlf = "untrusted comment: k\r\n" + line + "\r\n";
    ASSERT_TRUE(parse_key(crlf, &key, &why)) << why;
    EXPECT_EQ(memcmp(key.key, s.pk, 32), 0);
    EXPECT_TRUE(parse_key("untrusted comment: k\n" + line, &key, &why)) << why;
}

TEST(Minisign, SignatureParserRefusesMalformedFiles) {
    const signer s;
    const std::string good = s.sign(kHello);
    const std::vector<std::string> lines = ut_test::split_lines(good);
    uint8_t blob[74] = {'E', 'X'};
    uint8_t short_sig[73] = {'E', 'D'};
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"three lines", lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n"},
        {"no untrusted comment", with_line(good, 0, "comment: x")},
        {"bad base64 in the signature", with_line(good, 1, "!" + lines[1].substr(1))},
        {"73-byte signature line", with_line(good, 1, b64(short_sig, 73))},
        {"unknown algorithm", with_line(good, 1, b64(blob, 74))},
        {"no trusted comment prefix", with_line(good, 2, "trusted: x")},
        {"global signature cut", with_line(good, 3, lines[3].substr(0, 84))},
        {"global signature not base64", with_line(good, 3, lines[3].substr(0, 87) + "*")},
        {"trusted comment too long",
         with_line(good, 2, "trusted comment: " + std::string(8200, 'x'))},
        {"NUL byte in the comment", with_line(good, 2, lines[2] + std::string(1, '\0'))},
    };
    for (const auto& c : cases) {
        const char* why = "";
        EXPECT_FALSE(parse_sig(c.text, &g_sig, &why)) << c.name;
        EXPECT_STRNE(why, "") << c.name;
    }
}

TEST(Minisign, CrlfSignatureFileVerifies) {
    const signer s;
    minisign_public_key key;
    const char* why = "";
    ASSERT_TRUE(parse_key(s.public_key(), &key, &why));
    ASSERT_TRUE(parse_sig(s.sign(kHello, true, "c", "\r\n"), &g_sig, &why)) << why;
    EXPECT_STREQ(g_sig.trusted_comment, "c");
    EXPECT_EQ(verify(kHello, g_sig, key), MINISIGN_GOOD);
}

TEST(Minisign, FlippedBitsAreCaught) {
    const signer s;
    minisign_public_key key;
    const char* why = "";
    ASSERT_TRUE(parse_key(s.public_key(), &key, &why));
    {
        ASSERT_TRUE(parse_sig(s.sign(kHello), &g_sig, &why)) << why;
        ASSERT_EQ(verify(kHello, g_sig, key), MINISIGN_GOOD);

        std::string data = kHello;
        data[2] ^= 0x10;
        EXPECT_EQ(verify(data, g_sig, key), MINISIGN_BAD_SIGNATURE) << "package";

        minisign_signature changed = g_sig;
        changed.signature[17] ^= 0x01;
        EXPECT_EQ(verify(kHello, changed, key), MINISIGN_BAD_SIGNATURE) << "signature";

        changed = g_sig;
        changed.trusted_comment[3] ^= 0x01;
        EXPECT_EQ(verify(kHello, changed, key), MINISIGN_BAD_COMMENT_SIGNATURE) << "comment";

        changed = g_sig;
        changed.global_signature[40] ^= 0x80;
        EXPECT_EQ(verify(kHello, changed, key), MINISIGN_BAD_COMMENT_SIGNATURE) << "global";
    }
    // The same through the text: a changed trusted comment line.
    std::string text = s.sign(kHello, true, "version 1");
    text.replace(text.find("version 1"), 9, "version 2");
    ASSERT_TRUE(parse_sig(text, &g_sig, &why));
    EXPECT_EQ(verify(kHello, g_sig, key), MINISIGN_BAD_COMMENT_SIGNATURE);
}

TEST(Minisign, Base64IsStrict) {
    uint8_t out[8];
    const struct {
        const char* text;
        int result;
    } cases[] = {
        {"", 0},         {"TWFu", 3},      {"TWE=", 2},          {"TQ==", 1},  {"TWF", -1},
        {"TQ=a", -1},    {"T===", -1},     {"TR==", -1},         {"TWF=", -1}, {"TW E", -1},
        {"TWFuTQ==", 4}, {"TQ==TWFu", -1}, {"TWFuTWFuTWFu", -1}, // 9 bytes > 8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(minisign_base64_decode(c.text, static_cast<int>(strlen(c.text)), out, 8),
                  c.result)
            << c.text;
    }
    uint8_t data[256];
    for (int i = 0; i < 256; ++i) {
        data[i] = static_cast<uint8_t>(255 - i);
    }
    for (int n : {0, 1, 2, 3, 40, 74}) {
        char text[512];
        uint8_t back[256];
        const int len = minisign_base64_encode(data, n, text, sizeof(text));
        ASSERT_EQ(len, (n + 2) / 3 * 4);
        ASSERT_EQ(minisign_base64_decode(text, len, back, sizeof(back)), n);
        EXPECT_EQ(memcmp(back, data, static_cast<size_t>(n)), 0);
    }
}

class MinisignFiles : public ut_test::TempDirTest {};

TEST_F(MinisignFiles, SmallFileReaderIsBounded) {
    char buf[16];
    int length = -1;
    const char* why = "";
    write_file(path("sixteen"), std::string(16, 'a'));
    EXPECT_TRUE(minisign_read_small_file(path("sixteen").c_str(), 1, buf, 16, &length, &why));
    EXPECT_EQ(length, 16);
    write_file(path("seventeen"), std::string(17, 'a'));
    EXPECT_FALSE(minisign_read_small_file(path("seventeen").c_str(), 1, buf, 16, &length, &why));
    EXPECT_STREQ(why, "too large");
    ASSERT_EQ(symlink(path("sixteen").c_str(), path("link").c_str()), 0);
    EXPECT_FALSE(minisign_read_small_file(path("link").c_str(), 1, buf, 16, &length, &why));
    EXPECT_STREQ(why, "a symbolic link");
    EXPECT_TRUE(minisign_read_small_file(path("link").c_str(), 0, buf, 16, &length, &why));
    // A FIFO is refused at once, not waited on.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(minisign_read_small_file(path("fifo").c_str(), 1, buf, 16, &length, &why));
    EXPECT_STREQ(why, "not a regular file");
    EXPECT_FALSE(minisign_read_small_file(path("none").c_str(), 1, buf, 16, &length, &why));
    EXPECT_STREQ(why, "missing");
    mkdir(path("dir").c_str(), 0700);
    EXPECT_FALSE(minisign_read_small_file(path("dir").c_str(), 1, buf, 16, &length, &why));
}

TEST_F(MinisignFiles, FileVerificationStreamsLargeFiles) {
    // Several hash chunks and an odd tail.
    std::string data(100003, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 31 + 7);
    }
    write_file(path("package"), data);
    const signer s;
    minisign_keyring ring{};
    const char* why = "";
    write_file(path("k.pub"), s.public_key());
    ASSERT_TRUE(minisign_add_key_file(path("k.pub").c_str(), &ring, &why)) << why;
    {
        ASSERT_TRUE(parse_sig(s.sign(data), &g_sig, &why));
        int index = -1;
        EXPECT_EQ(minisign_check_file(path("package").c_str(), &g_sig, &ring, &index),
                  MINISIGN_GOOD);
        EXPECT_EQ(index, 0);
        data[99999] ^= 1;
        write_file(path("changed"), data);
        data[99999] ^= 1;
        EXPECT_EQ(minisign_check_file(path("changed").c_str(), &g_sig, &ring, &index),
                  MINISIGN_BAD_SIGNATURE);
    }
    // A legacy signature of the very same bytes is refused.
    ASSERT_TRUE(parse_sig(s.sign(data, false), &g_sig, &why));
    int legacy_index = -1;
    EXPECT_EQ(minisign_check_file(path("package").c_str(), &g_sig, &ring, &legacy_index),
              MINISIGN_LEGACY);
    EXPECT_EQ(legacy_index, -1);
    // Another key id: no key to check it with.
    signer other;
    other.key_id[0] = 9;
    ASSERT_TRUE(parse_sig(other.sign(data), &g_sig, &why));
    int index = -1;
    EXPECT_EQ(minisign_check_file(path("package").c_str(), &g_sig, &ring, &index),
              MINISIGN_UNKNOWN_KEY);
    EXPECT_EQ(minisign_check_file(path("missing").c_str(), &g_sig, &ring, &index),
              MINISIGN_UNKNOWN_KEY);
}

// The board's decision on a package copy in a temporary folder.
class SignatureCheck : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        ut_test::TempDirTest::SetUp();
        log_everything_in_one_file();
        mkdir(path("stick").c_str(), 0700);
        mkdir(path("temp").c_str(), 0700);
        package_ = path("stick/command.f");
        copy_ = path("temp/command.f");
        write_file(package_, kHello);
        write_file(copy_, kHello);
        // Never the machine's own board file and ledger.
        mkdir(path("etc_board").c_str(), 0700);
        set_package_policy_paths(path("etc_board/board").c_str(), folder("ledger").c_str());
    }
    void TearDown() override {
        set_package_policy_paths("/nonexistent/board", "/nonexistent/ledger/");
        ut_test::TempDirTest::TearDown();
    }
    int check(const std::string& keys) {
        return check_package_signature_with(keys.c_str(), package_.c_str(), copy_.c_str());
    }
    std::string package_;
    std::string copy_;
};

TEST_F(SignatureCheck, NoKeysFolderChecksNothing) {
    EXPECT_EQ(check(folder("no-keys")), 1);
    EXPECT_STREQ(signature_note(), "not checked");
    EXPECT_TRUE(ut_test::log_messages().empty());
    // A signature file then gets one information line, and is not copied.
    write_file(package_ + ".minisig", "anything");
    EXPECT_EQ(check(folder("no-keys")), 1);
    ASSERT_EQ(ut_test::log_messages().size(), 1u);
    EXPECT_EQ(ut_test::log_messages()[0].substr(0, 4), "[I] ");
    EXPECT_FALSE(ut_test::exists(copy_ + ".minisig"));
}

TEST_F(SignatureCheck, KeysFolderDecidesAndNotesTheOutcome) {
    const signer s;
    mkdir(path("keys").c_str(), 0700);
    // Empty, or holding no valid key: every package is refused.
    EXPECT_EQ(check(folder("keys")), 0);
    EXPECT_STREQ(signature_note(), "refused: no valid key on the board");
    write_file(path("keys/broken.pub"), "untrusted comment: x\nnot a key\n");
    write_file(path("keys/ignored.txt"), s.public_key());
    EXPECT_EQ(check(folder("keys")), 0);

    write_file(path("keys/board.pub"), s.public_key());
    EXPECT_EQ(check(folder("keys")), 0);
    EXPECT_STREQ(signature_note(), "refused: no signature file");

    write_file(package_ + ".minisig", s.sign(kHello, true, "release 7"));
    EXPECT_EQ(check(folder("keys")), 1);
    EXPECT_STREQ(signature_note(), "key id 0807060504030201, release 7");
    // Nothing of the signature is left in the temporary folder.
    EXPECT_FALSE(ut_test::exists(copy_ + ".minisig"));

    // The copy is what counts: a copy that differs from the signed bytes.
    write_file(copy_, "hello?");
    EXPECT_EQ(check(folder("keys")), 0);
    EXPECT_STREQ(signature_note(), "refused: bad signature by key id 0807060504030201");

    // A signature file that is a link on the stick is refused.
    write_file(copy_, kHello);
    write_file(path("elsewhere"), s.sign(kHello));
    unlink((package_ + ".minisig").c_str());
    ASSERT_EQ(symlink(path("elsewhere").c_str(), (package_ + ".minisig").c_str()), 0);
    EXPECT_EQ(check(folder("keys")), 0);
    EXPECT_STREQ(signature_note(), "refused: malformed signature file: a symbolic link");

    // After the intake the signature goes from the stick, link or not.
    remove_package_signature(package_.c_str());
    EXPECT_FALSE(ut_test::exists(package_ + ".minisig"));
    EXPECT_TRUE(ut_test::exists(path("elsewhere")));

    // A legacy signature by a trusted key, of the very bytes: refused.
    unlink((package_ + ".minisig").c_str());
    write_file(package_ + ".minisig", s.sign(kHello, false));
    EXPECT_EQ(check(folder("keys")), 0);
    EXPECT_STREQ(signature_note(),
                 "refused: legacy signature: sign without -l (key id 0807060504030201)");

    EXPECT_GT(logged("[W] invalid key file: " + path("keys/broken.pub")), 0);
    EXPECT_GT(logged("[W] not a key file, ignored: " + path("keys/ignored.txt") +
                     ": the name does not end in .pub"),
              0);
}

// The keys folder and the folder above it, as a board may find them: only a
// name that does not exist at all means "no keys"; anything else that is
// not a folder, or a link to one, refuses every package.
TEST_F(SignatureCheck, KeysFolderIsLookedAtByItsOwnName) {
    const signer s;
    write_file(package_ + ".minisig", s.sign(kHello));
    mkdir(path("real").c_str(), 0700);
    mkdir(path("real/keys").c_str(), 0700);
    write_file(path("real/keys/board.pub"), s.public_key());
    const struct {
        const char* name;
        const char* above; // what stands at etc: "dir", "none", or a link target
        const char* keys;  // at etc/keys: "dir", "none", "file", or a link target
        int verdict;
        const char* note;
    } cases[] = {
        {"no keys folder", "dir", "none", 1, "not checked"},
        {"no folder above it", "none", "none", 1, "not checked"},
        {"the keys folder", "dir", "dir", 1, nullptr},
        {"a link to a real folder", "dir", "@real/keys", 1, nullptr},
        {"above, a link to a real folder", "@real", "-", 1, nullptr},
        {"a link to a missing target", "dir", "@nowhere", 0,
         "etc/keys: a link whose target is missing"},
        {"a link loop", "dir", "@etc/keys", 0, "etc/keys: a link loop"},
        {"a file", "dir", "file", 0, "etc/keys: not a folder"},
        {"a link to a file", "dir", "@elsewhere", 0,
         "etc/keys: a link to something that is not a folder"},
        {"above, a link to a missing target", "@nowhere", "-", 0,
         "etc: a link whose target is missing"},
        {"above, a file", "file", "-", 0, "etc: not a folder"},
    };
    write_file(path("elsewhere"), "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ut_test::remove_tree(path("etc"));
        const std::string above = c.above;
        if (above == "dir") {
            mkdir(path("etc").c_str(), 0700);
        } else if (above == "file") {
            write_file(path("etc"), "x");
        } else if (above[0] == '@') {
            ASSERT_EQ(symlink(path(above.substr(1)).c_str(), path("etc").c_str()), 0);
        }
        const std::string keys = c.keys;
        if (keys == "dir") {
            mkdir(path("etc/keys").c_str(), 0700);
            write_file(path("etc/keys/board.pub"), s.public_key());
        } else if (keys == "file") {
            write_file(path("etc/keys"), s.public_key());
        } else if (keys[0] == '@') {
            ASSERT_EQ(symlink(path(keys.substr(1)).c_str(), path("etc/keys").c_str()), 0);
        }
        EXPECT_EQ(check(path("etc/keys/")), c.verdict);
        if (c.note == nullptr) {
            EXPECT_STREQ(signature_note(), "key id 0807060504030201, timestamp 1970-01-01 "
                                           "00:00:01 UTC, file command.f");
        } else if (c.verdict == 1) {
            EXPECT_STREQ(signature_note(), c.note);
        } else {
            const std::string note = "refused: keys folder unusable: " + path(c.note);
            EXPECT_EQ(signature_note(), note);
            EXPECT_EQ(logged("[E] package refused: keys folder unusable: " + path(c.note)), 1);
        }
    }
    // A folder that cannot be read (root reads any folder: shown as another
    // user only).
    if (geteuid() != 0) {
        ut_test::remove_tree(path("etc"));
        mkdir(path("etc").c_str(), 0700);
        mkdir(path("etc/keys").c_str(), 0);
        EXPECT_EQ(check(path("etc/keys/")), 0);
        EXPECT_EQ(
            std::string(signature_note())
                .find("refused: keys folder unusable: " + path("etc/keys/") + ": cannot be read: "),
            0u);
        chmod(path("etc/keys").c_str(), 0700);
    }
}

// Keys as a board gets them: up to 256 of them, "*.pub" in any letter case,
// every other entry named with its reason.
TEST_F(SignatureCheck, KeysFolderEntries) {
    signer s;
    mkdir(path("keys").c_str(), 0700);
    write_file(package_ + ".minisig", s.sign(kHello));
    // 255 other keys and the signer's, in whatever order the folder gives.
    for (int i = 0; i < 255; ++i) {
        signer other;
        other.key_id[0] = static_cast<uint8_t>(i);
        other.key_id[1] = 0xEE;
        write_file(path("keys/k" + std::to_string(i) + ".pub"), other.public_key());
    }
    write_file(path("keys/RELEASE.PUB"), s.public_key());
    EXPECT_EQ(check(folder("keys")), 1) << signature_note();
    EXPECT_EQ(logged("[W]"), 0);

    // Everything else in the folder, one level-2 line each.
    const char* const ignored = "not a key file, ignored";
    const char* const invalid = "invalid key file";
    const struct {
        const char* name;
        const char* line;
        const char* why;
    } others[] = {
        {".hidden.pub", ignored, "a hidden name"},
        {".profile", ignored, "a hidden name"},
        {"release.pub.bak", ignored, "the name does not end in .pub"},
        {".pub", ignored, "a hidden name"},
        {"sub.pub", invalid, "not a regular file"},
        {"one-too-many.Pub", invalid, "too many keys: the board takes 256"},
    };
    for (const auto& o : others) {
        if (strcmp(o.name, "sub.pub") == 0) {
            mkdir(path("keys/sub.pub").c_str(), 0700);
        } else {
            write_file(path("keys/" + std::string(o.name)), s.public_key());
        }
    }
    const size_t before = ut_test::log_messages().size();
    // 257 names that are key files: one of them does not fit (not
    // necessarily the last written), and the other good key may be the one.
    check(folder("keys"));
    const std::vector<std::string> all = ut_test::log_messages();
    const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
    int too_many = 0;
    for (const auto& o : others) {
        if (strstr(o.why, "too many") != nullptr) {
            continue;
        }
        const std::string line = std::string("[W] ") + o.line + ": " +
                                 path("keys/" + std::string(o.name)) + ": " + o.why;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
    }
    int warnings = 0;
    for (const std::string& l : lines) {
        too_many += l.find(": too many keys: the board takes 256") != std::string::npos;
        warnings += l.compare(0, 4, "[W] ") == 0;
    }
    EXPECT_EQ(too_many, 1);
    EXPECT_EQ(warnings, 6) << ut_test::all_log_text();
}

// The verdict on the hash taken while the copy was written: the copy is not
// read again, so a hash of other bytes than the signed ones is refused even
// when the copy on disk holds the signed bytes; a legacy signature still goes
// by the file.
TEST_F(SignatureCheck, VerdictOnTheHashTakenWhileCopying) {
    const signer s;
    mkdir(path("keys").c_str(), 0700);
    write_file(path("keys/board.pub"), s.public_key());
    EXPECT_EQ(signatures_checked_with(folder("keys").c_str()), 1);
    EXPECT_EQ(signatures_checked_with(folder("no-keys").c_str()), 0);
    write_file(package_ + ".minisig", s.sign(kHello));

    unlink(copy_.c_str());
    package_hash_begin();
    ASSERT_EQ(copy_one_file(package_.c_str(), copy_.c_str(), package_hash_feed, nullptr), 1);
    EXPECT_EQ(check(folder("keys")), 1) << signature_note();

    package_hash_begin();
    const std::string other = "hello?";
    package_hash_feed(nullptr, reinterpret_cast<const unsigned char*>(other.data()), other.size());
    EXPECT_EQ(check(folder("keys")), 0);
    EXPECT_STREQ(signature_note(), "refused: bad signature by key id 0807060504030201");

    // The hash is used once: the next check reads the copy.
    EXPECT_EQ(check(folder("keys")), 1);

    write_file(package_ + ".minisig", s.sign(kHello, false));
    package_hash_begin();
    package_hash_feed(nullptr, reinterpret_cast<const unsigned char*>(other.data()), other.size());
    EXPECT_EQ(check(folder("keys")), 0) << "a legacy signature is refused, hash or not";
    EXPECT_STREQ(signature_note(),
                 "refused: legacy signature: sign without -l (key id 0807060504030201)");

    // The hash check alone, on a ring: the key that verified, or none.
    minisign_keyring ring{};
    const char* why = "";
    write_file(path("k.pub"), s.public_key());
    ASSERT_TRUE(minisign_add_key_file(path("k.pub").c_str(), &ring, &why));
    ASSERT_TRUE(parse_sig(s.sign(kHello), &g_sig, &why));
    uint8_t hash[MINISIGN_HASH_SIZE];
    crypto_generichash(hash, sizeof(hash), reinterpret_cast<const uint8_t*>(kHello.data()),
                       kHello.size(), nullptr, 0);
    int index = -1;
    EXPECT_EQ(minisign_check_hash(hash, &g_sig, &ring, &index), MINISIGN_GOOD);
    EXPECT_EQ(index, 0);
    hash[63] ^= 1;
    EXPECT_EQ(minisign_check_hash(hash, &g_sig, &ring, &index), MINISIGN_BAD_SIGNATURE);
    EXPECT_EQ(index, -1);
    ASSERT_TRUE(parse_sig(s.sign(kHello, false), &g_sig, &why));
    EXPECT_EQ(minisign_check_hash(hash, &g_sig, &ring, &index), MINISIGN_UNREADABLE);
}
