// Packages for one board, once: the trusted comment's fields, the board
// file, the ledger (parsers, writer), the decision, and the board's check
// and ledger write around them.
#include <sodium.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/test_utility/package_policy.h"
#include "src/start_task/signature_check.h"
#include "test_support.h"

namespace {

using ut_test::read_file;
using ut_test::write_file;

const uint8_t kKeyId[8] = {1, 2, 3, 4, 5, 6, 7, 8}; // "0807060504030201"
const uint8_t kOtherKeyId[8] = {9, 9, 9, 9, 9, 9, 9, 9};

int parse_fields(const std::string& comment, comment_fields* out, std::string* why) {
    char reason[POLICY_TEXT_SIZE] = "";
    const int ok = policy_parse_fields(comment.data(), static_cast<int>(comment.size()), out,
                                       reason, sizeof(reason));
    *why = reason;
    return ok;
}

int parse_board(const std::string& text, board_identity* out, std::string* why) {
    char reason[POLICY_TEXT_SIZE] = "";
    const int ok = policy_parse_board_file(text.data(), static_cast<int>(text.size()), out, reason,
                                           sizeof(reason));
    *why = reason;
    return ok;
}

int parse_ledger(const std::string& text, sequence_ledger* out, std::string* why) {
    char reason[POLICY_TEXT_SIZE] = "";
    const int ok = policy_parse_ledger(text.data(), static_cast<int>(text.size()), out, reason,
                                       sizeof(reason));
    *why = reason;
    return ok;
}

std::string list_of(const char* list, int length) {
    return list == nullptr ? "-" : std::string(list, static_cast<size_t>(length));
}

sequence_ledger g_ledger; // 4 KB: kept off the stack

} // namespace

TEST(PackagePolicy, CommentFields) {
    const struct {
        const char* comment;
        int ok;
        const char* boards; // "-": absent
        const char* types;
        long long sequence; // 0: absent
        const char* why;
    } cases[] = {
        {"timestamp:1796988095\tfile:command.f\thashed", 1, "-", "-", 0, ""},
        {"release 7", 1, "-", "-", 0, ""},
        {"", 1, "-", "-", 0, ""},
        {"boards:RX-00042\tsequence:7", 1, "RX-00042", "-", 7, ""},
        {"timestamp:1\tfile:f\thashed\tboards:A,B.c_d\ttypes:recorder-v2", 1, "A,B.c_d",
         "recorder-v2", 0, ""},
        {"sequence:9223372036854775807", 1, "-", "-", 9223372036854775807LL, ""},
        {"sequence:4294967297", 1, "-", "-", 4294967297LL, ""},
        {"unknown:x\tboardsx:1\tBoards:1", 1, "-", "-", 0, ""},
        {"boards:", 0, "", "", 0, "the field boards is not a list of names"},
        {"types:a,,b", 0, "", "", 0, "the field types is not a list of names"},
        {"boards:a,", 0, "", "", 0, "the field boards is not a list of names"},
        {"boards:a b", 0, "", "", 0, "the field boards is not a list of names"},
        {"boards:a\tboards:b", 0, "", "", 0, "the field boards is given twice"},
        {"boards:x\ttypes:y\ttypes:y", 0, "", "", 0, "the field types is given twice"},
        {"sequence:7\tsequence:8", 0, "", "", 0, "the field sequence is given twice"},
        {"sequence:", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:0", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:07", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:-1", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:+1", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence: 1", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:9223372036854775808", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:18446744073709551617", 0, "", "", 0, "the field sequence is not a number"},
        {"sequence:12x", 0, "", "", 0, "the field sequence is not a number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.comment);
        comment_fields f;
        std::string why;
        const std::string comment = c.comment; // the lists point into it
        ASSERT_EQ(parse_fields(comment, &f, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_EQ(why.find(c.why), 0u) << why;
            continue;
        }
        EXPECT_EQ(list_of(f.boards, f.boards_length), c.boards);
        EXPECT_EQ(list_of(f.types, f.types_length), c.types);
        EXPECT_EQ(f.has_sequence, c.sequence != 0);
        EXPECT_EQ(f.sequence, static_cast<uint64_t>(c.sequence));
    }
    // A name of 63 characters is one, 64 are not.
    comment_fields f;
    std::string why;
    EXPECT_TRUE(parse_fields("boards:" + std::string(63, 'a'), &f, &why));
    EXPECT_FALSE(parse_fields("boards:" + std::string(64, 'a'), &f, &why));
}

TEST(PackagePolicy, BoardFile) {
    const struct {
        const char* text;
        int ok;
        const char* id;
        const char* type;
        int require_target;
        int require_sequence;
        const char* why;
    } cases[] = {
        {"", 1, "", "", 0, 0, ""},
        {"id = RX-00042\ntype = recorder-v2\n", 1, "RX-00042", "recorder-v2", 0, 0, ""},
        {"  id=RX-00042 \r\n\r\n\ttype =recorder-v2", 1, "RX-00042", "recorder-v2", 0, 0, ""},
        {"require = target, sequence\n", 1, "", "", 1, 1, ""},
        {"require = sequence\nid = a\n", 1, "a", "", 0, 1, ""},
        {"require=target\n", 1, "", "", 1, 0, ""},
        {"ID = RX\n", 0, "", "", 0, 0, "line 1: unknown key"},
        {"id = a\nname = b\n", 0, "", "", 0, 0, "line 2: unknown key"},
        {"# a comment\n", 0, "", "", 0, 0, "line 1: not \"key = value\""},
        {"id = a\nid = a\n", 0, "", "", 0, 0, "line 2: a key given twice"},
        {"id =\n", 0, "", "", 0, 0, "line 1: bad value"},
        {"id = RX 42\n", 0, "", "", 0, 0, "line 1: bad value"},
        {"id = RX/42\n", 0, "", "", 0, 0, "line 1: bad value"},
        {"type = a=b\n", 0, "", "", 0, 0, "line 1: bad value"},
        {"require = targets\n", 0, "", "", 0, 0, "line 1: require takes"},
        {"require = target, target\n", 0, "", "", 0, 0, "line 1: require takes"},
        {"require = target,\n", 0, "", "", 0, 0, "line 1: require takes"},
        {"require =\n", 0, "", "", 0, 0, "line 1: require takes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        board_identity b;
        std::string why;
        ASSERT_EQ(parse_board(c.text, &b, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_EQ(why.find(c.why), 0u) << why;
            continue;
        }
        EXPECT_STREQ(b.id, c.id);
        EXPECT_STREQ(b.type, c.type);
        EXPECT_EQ(b.require_target, c.require_target);
        EXPECT_EQ(b.require_sequence, c.require_sequence);
    }
    board_identity b;
    std::string why;
    EXPECT_TRUE(parse_board("id = " + std::string(63, 'x'), &b, &why));
    EXPECT_FALSE(parse_board("id = " + std::string(64, 'x'), &b, &why));
    EXPECT_FALSE(parse_board(std::string("id = a\0b", 8), &b, &why));
}

TEST(PackagePolicy, LedgerReadAndWrittenBack) {
    std::string why;
    // Sequences above 2^32 keep all their 64 bits (on the 32-bit board too).
    const std::string text = "0807060504030201 4294967297\n"
                             "0909090909090909 9223372036854775807\n";
    ASSERT_TRUE(parse_ledger(text, &g_ledger, &why)) << why;
    ASSERT_EQ(g_ledger.count, 2);
    EXPECT_EQ(g_ledger.lines[policy_ledger_find(&g_ledger, kKeyId)].sequence, 4294967297ull);
    EXPECT_EQ(g_ledger.lines[policy_ledger_find(&g_ledger, kOtherKeyId)].sequence,
              9223372036854775807ull);
    char out[POLICY_LEDGER_FILE_MAX];
    ASSERT_EQ(policy_format_ledger(&g_ledger, out, sizeof(out)), static_cast<int>(text.size()));
    EXPECT_EQ(std::string(out), text);
    ASSERT_TRUE(policy_ledger_set(&g_ledger, kKeyId, 4294967298ull));
    EXPECT_EQ(g_ledger.count, 2);
    policy_format_ledger(&g_ledger, out, sizeof(out));
    EXPECT_EQ(std::string(out).substr(0, 28), "0807060504030201 4294967298\n");

    const struct {
        const char* text;
        const char* why;
    } bad[] = {
        {"0807060504030201 7", "line 1: no line end"},
        {"0807060504030201 7\n\n", "line 2: not"},
        {"0807060504030201  7\n", "line 1: not"},
        {"0807060504030201 0\n", "line 1: not"},
        {"0807060504030201 x\n", "line 1: not"},
        {"0807060504030201 7 \n", "line 1: not"},
        {"0807060504030201 7\r\n", "line 1: not"},
        {"080706050403020a 7\n", "line 1: not"},
        {"08070605040302 7\n", "line 1: not"},
        {"0807060504030201 9223372036854775808\n", "line 1: not"},
        {"0807060504030201 7\n0807060504030201 8\n", "line 2: a key id given twice"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(parse_ledger(c.text, &g_ledger, &why));
        EXPECT_EQ(why.find(c.why), 0u) << why;
    }
    EXPECT_TRUE(parse_ledger("", &g_ledger, &why));
    EXPECT_EQ(g_ledger.count, 0);

    // Full: as many lines as the board takes keys, then no new key id.
    std::string full;
    for (int i = 0; i < POLICY_LEDGER_LINES; ++i) {
        char line[64];
        snprintf(line, sizeof(line), "%016X 1\n", i + 1);
        full += line;
    }
    ASSERT_TRUE(parse_ledger(full, &g_ledger, &why)) << why;
    EXPECT_FALSE(policy_ledger_set(&g_ledger, kKeyId, 5));
    EXPECT_FALSE(parse_ledger(full + "0807060504030201 1\n", &g_ledger, &why));
    EXPECT_EQ(why, "more than 256 lines");
    ASSERT_TRUE(parse_ledger(full, &g_ledger, &why));
    ASSERT_EQ(policy_format_ledger(&g_ledger, out, sizeof(out)), static_cast<int>(full.size()));
}

TEST(PackagePolicy, Decision) {
    board_identity board{};
    snprintf(board.id, sizeof(board.id), "RX-00042");
    snprintf(board.type, sizeof(board.type), "recorder-v2");
    board_identity bare{};
    board_identity requiring = board;
    requiring.require_target = 1;
    requiring.require_sequence = 1;
    sequence_ledger& ledger = g_ledger;
    ledger.count = 0;
    policy_ledger_set(&ledger, kKeyId, 5);
    const char* absent = nullptr;
    const struct {
        const char* name;
        const char* comment;
        const board_identity* board; // null: no board file
        int ledger_state;
        const char* reason; // null: taken in
        const char* summary;
    } cases[] = {
        {"no fields", "timestamp:1\tfile:f\thashed", &board, POLICY_FILE_READ, absent, ""},
        {"no fields, no board file", "release 7", nullptr, POLICY_FILE_BROKEN, absent, ""},
        {"listed board", "boards:RX-00040,RX-00042", &board, POLICY_FILE_READ, absent,
         "boards RX-00040,RX-00042: this board is RX-00042"},
        {"another board", "boards:RX-00040,RX-00041", &board, POLICY_FILE_READ,
         "made for boards RX-00040,RX-00041; this board is RX-00042", ""},
        {"a prefix of the id is not the id", "boards:RX-0004", &board, POLICY_FILE_READ,
         "made for boards RX-0004; this board is RX-00042", ""},
        {"letter case counts", "boards:rx-00042", &board, POLICY_FILE_READ,
         "made for boards rx-00042; this board is RX-00042", ""},
        {"board without an id", "boards:RX-00042", &bare, POLICY_FILE_READ,
         "made for boards RX-00042; this board has no id", ""},
        {"no board file", "types:recorder-v2", nullptr, POLICY_FILE_READ,
         "made for types recorder-v2; this board has no type", ""},
        {"listed type", "types:recorder-v1,recorder-v2", &board, POLICY_FILE_READ, absent,
         "types recorder-v1,recorder-v2: this board is of type recorder-v2"},
        {"both must match", "boards:RX-00042\ttypes:recorder-v1", &board, POLICY_FILE_READ,
         "made for types recorder-v1; this board is of type recorder-v2", ""},
        {"sequence above", "sequence:6", &board, POLICY_FILE_READ, absent,
         "sequence 6: above 5 taken in before"},
        {"the same sequence", "sequence:5", &board, POLICY_FILE_READ,
         "sequence 5 of key id 0807060504030201; this board has taken in 5", ""},
        {"a lower sequence", "sequence:4", &board, POLICY_FILE_READ,
         "sequence 4 of key id 0807060504030201; this board has taken in 5", ""},
        {"broken ledger, sequenced", "sequence:6", &board, POLICY_FILE_BROKEN,
         "sequence 6 of key id 0807060504030201: the ledger /var/lib/usb_tools/ledger cannot be "
         "used: line 1: not",
         ""},
        {"broken ledger, unsequenced", "boards:RX-00042", &board, POLICY_FILE_BROKEN, absent,
         "boards RX-00042: this board is RX-00042"},
        {"malformed field", "boards:RX-00042\tsequence:x", &board, POLICY_FILE_READ,
         "malformed trusted comment: the field sequence is not a number", ""},
        {"require, none", "timestamp:1", &requiring, POLICY_FILE_READ,
         "no boards or types named; this board requires a target", ""},
        {"require, no sequence", "types:recorder-v2", &requiring, POLICY_FILE_READ,
         "no sequence; this board requires one", ""},
        {"require, both", "types:recorder-v2\tsequence:6", &requiring, POLICY_FILE_READ, absent,
         "types recorder-v2: this board is of type recorder-v2; sequence 6: above 5 taken in "
         "before"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        policy_decision d;
        const std::string comment = c.comment;
        policy_decide(comment.data(), static_cast<int>(comment.size()), kKeyId,
                      c.board != nullptr ? POLICY_FILE_READ : POLICY_FILE_ABSENT, c.board, nullptr,
                      c.ledger_state, &ledger, "line 1: not", &d);
        EXPECT_EQ(d.taken, c.reason == nullptr);
        if (c.reason != nullptr) {
            EXPECT_EQ(std::string(d.reason).find(c.reason), 0u) << d.reason;
        } else {
            EXPECT_STREQ(d.summary, c.summary);
        }
    }
    // Another key id: its own line, none yet.
    policy_decision d;
    policy_decide("sequence:1", 10, kOtherKeyId, POLICY_FILE_ABSENT, nullptr, nullptr,
                  POLICY_FILE_READ, &ledger, nullptr, &d);
    EXPECT_TRUE(d.taken);
    EXPECT_STREQ(d.summary, "sequence 1: the first of its key id on this board");
    EXPECT_EQ(d.sequenced, 1);
    // A full ledger: a new key id's sequence is refused, a known one's taken.
    ledger.count = 0;
    for (int i = 0; i < POLICY_LEDGER_LINES; ++i) {
        uint8_t id[8] = {static_cast<uint8_t>(i), 0xAA};
        policy_ledger_set(&ledger, id, 3);
    }
    policy_decide("sequence:1", 10, kKeyId, POLICY_FILE_ABSENT, nullptr, nullptr, POLICY_FILE_READ,
                  &ledger, nullptr, &d);
    EXPECT_FALSE(d.taken);
    EXPECT_STREQ(d.reason,
                 "sequence 1 of key id 0807060504030201: the ledger is full (256 key ids)");
    const uint8_t known[8] = {7, 0xAA};
    policy_decide("sequence:4", 10, known, POLICY_FILE_ABSENT, nullptr, nullptr, POLICY_FILE_READ,
                  &ledger, nullptr, &d);
    EXPECT_TRUE(d.taken) << d.reason;
    // A broken board file refuses every signed package.
    policy_decide("release 7", 9, kKeyId, POLICY_FILE_BROKEN, nullptr, "line 2: unknown key",
                  POLICY_FILE_READ, &ledger, nullptr, &d);
    EXPECT_FALSE(d.taken);
    EXPECT_STREQ(d.reason, "board file /etc/usb_tools/board: line 2: unknown key");
}

TEST(PackagePolicy, CommentForAPerson) {
    const struct {
        const char* comment;
        const char* text;
    } cases[] = {
        {"timestamp:1796988095\tfile:command.f\thashed",
         "timestamp 2026-12-11 11:21:35 UTC, file command.f"},
        {"release 7", "release 7"},
        {"boards:RX-00042\tsequence:7", "boards RX-00042, sequence 7"},
        {"timestamp:x\tfile:a\x01"
         "b\\c",
         "timestamp x, file a\\x01b\\x5cc"},
        {"timestamp:99999999999999\tx", "timestamp 99999999999999, x"},
        {"", ""},
    };
    for (const auto& c : cases) {
        char out[POLICY_TEXT_SIZE];
        policy_comment_text(c.comment, static_cast<int>(strlen(c.comment)), out, sizeof(out));
        EXPECT_STREQ(out, c.text) << c.comment;
    }
}

// The board's check with a board file and a ledger in a test's folder.
class BoardPolicy : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        ut_test::TempDirTest::SetUp();
        log_everything_in_one_file();
        for (const char* d : {"stick", "temp", "keys", "etc"}) {
            mkdir(path(d).c_str(), 0700);
        }
        for (int i = 0; i < 32; ++i) {
            seed_[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        crypto_sign_seed_keypair(pk_, sk_, seed_);
        uint8_t blob[42] = {'E', 'd', 1, 2, 3, 4, 5, 6, 7, 8};
        memcpy(blob + 10, pk_, 32);
        char line[80];
        minisign_base64_encode(blob, 42, line, sizeof(line));
        write_file(path("keys/board.pub"), std::string("untrusted comment: k\n") + line + "\n");
        write_file(path("stick/command.f"), "package");
        write_file(path("temp/command.f"), "package");
        set_package_policy_paths(path("etc/board").c_str(), folder("ledger").c_str());
    }
    void TearDown() override {
        set_package_policy_paths("/nonexistent/board", "/nonexistent/ledger/");
        ut_test::TempDirTest::TearDown();
    }
    // Signs "package" with this comment and checks it as the board does.
    int check(const std::string& comment) {
        uint8_t blob[74] = {'E', 'D', 1, 2, 3, 4, 5, 6, 7, 8};
        uint8_t hash[64];
        crypto_generichash(hash, 64, reinterpret_cast<const uint8_t*>("package"), 7, nullptr, 0);
        crypto_sign_detached(blob + 10, nullptr, hash, 64, sk_);
        std::string message(reinterpret_cast<const char*>(blob + 10), 64);
        message += comment;
        uint8_t global[64];
        crypto_sign_detached(global, nullptr, reinterpret_cast<const uint8_t*>(message.data()),
                             message.size(), sk_);
        char sig_line[128];
        char global_line[128];
        minisign_base64_encode(blob, 74, sig_line, sizeof(sig_line));
        minisign_base64_encode(global, 64, global_line, sizeof(global_line));
        write_file(path("stick/command.f.minisig"), std::string("untrusted comment: s\n") +
                                                        sig_line + "\ntrusted comment: " + comment +
                                                        "\n" + global_line + "\n");
        return check_package_signature_with(folder("keys").c_str(), path("stick/command.f").c_str(),
                                            path("temp/command.f").c_str());
    }
    uint8_t seed_[32];
    uint8_t pk_[32];
    uint8_t sk_[64];
};

TEST_F(BoardPolicy, SequenceIsSpentOnceTheLedgerIsWritten) {
    write_file(path("etc/board"), "id = RX-00042\n");
    // Checked, but not committed: nothing spent.
    ASSERT_EQ(check("boards:RX-00042\tsequence:4294967301"), 1) << signature_note();
    EXPECT_FALSE(ut_test::exists(path("ledger/ledger")));
    ASSERT_EQ(check("boards:RX-00042\tsequence:4294967301"), 1) << signature_note();
    // Committed: the folder is made, the ledger holds it, mode 0600.
    ASSERT_EQ(commit_package_sequence(), 1);
    EXPECT_EQ(read_file(path("ledger/ledger")), "0807060504030201 4294967301\n");
    struct stat st;
    ASSERT_EQ(stat(path("ledger/ledger").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(ut_test::exists(path("ledger/ledger.tmp")));
    EXPECT_EQ(std::string(signature_note()),
              "key id 0807060504030201, boards RX-00042, sequence 4294967301; boards RX-00042: "
              "this board is RX-00042; sequence 4294967301: the first of its key id on this "
              "board; sequence 4294967301 taken in; it will not run again on this board");
    // A second commit writes nothing more.
    EXPECT_EQ(commit_package_sequence(), 1);

    EXPECT_EQ(check("sequence:4294967301"), 0);
    EXPECT_STREQ(signature_note(), "refused: sequence 4294967301 of key id 0807060504030201; "
                                   "this board has taken in 4294967301");
    EXPECT_EQ(check("sequence:4294967302"), 1);
    ASSERT_EQ(commit_package_sequence(), 1);
    EXPECT_EQ(read_file(path("ledger/ledger")), "0807060504030201 4294967302\n");
    // Unsequenced packages leave the ledger alone.
    EXPECT_EQ(check("release 8"), 1);
    EXPECT_EQ(commit_package_sequence(), 1);
    EXPECT_EQ(read_file(path("ledger/ledger")), "0807060504030201 4294967302\n");

    const std::vector<std::string> log = ut_test::log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "[I] sequence 4294967301 of key id 0807060504030201 taken in; it will "
                         "not run again on this board"),
              1);
}

TEST_F(BoardPolicy, LedgerThatCannotBeReadOrWrittenFailsClosed) {
    // Unreadable (malformed): sequenced packages refused, others run.
    mkdir(path("ledger").c_str(), 0700);
    write_file(path("ledger/ledger"), "garbage\n");
    EXPECT_EQ(check("sequence:1"), 0);
    EXPECT_STREQ(signature_note(),
                 "refused: sequence 1 of key id 0807060504030201: the ledger "
                 "/var/lib/usb_tools/ledger cannot be used: line 1: not \"<key id> <sequence>\"");
    EXPECT_EQ(check("release 1"), 1);
    // A folder others can write.
    unlink(path("ledger/ledger").c_str());
    chmod(path("ledger").c_str(), 0777);
    EXPECT_EQ(check("sequence:1"), 0);
    EXPECT_NE(std::string(signature_note()).find("can be written by others than root"),
              std::string::npos);
    // Cannot be written: the ledger's name is a folder.
    chmod(path("ledger").c_str(), 0700);
    mkdir(path("ledger/ledger.tmp").c_str(), 0700);
    EXPECT_EQ(check("sequence:1"), 1);
    EXPECT_EQ(commit_package_sequence(), 0);
    EXPECT_EQ(std::string(signature_note())
                  .find("refused: sequence 1 of key id "
                        "0807060504030201: the ledger cannot be written: "
                        "cannot remove "),
              0u)
        << signature_note();
    // A board file that is malformed refuses every signed package.
    write_file(path("etc/board"), "id = a\nid = b\n");
    EXPECT_EQ(check("release 1"), 0);
    EXPECT_STREQ(signature_note(),
                 ("refused: board file /etc/usb_tools/board: line 2: a key given twice"));
    // A link as the board file is refused, not followed.
    unlink(path("etc/board").c_str());
    write_file(path("elsewhere"), "id = RX-00042\n");
    ASSERT_EQ(symlink(path("elsewhere").c_str(), path("etc/board").c_str()), 0);
    EXPECT_EQ(check("release 1"), 0);
    EXPECT_STREQ(signature_note(), "refused: board file /etc/usb_tools/board: a symbolic link");
}

// What stands at the ledger's name or its folder's is never read or written
// through: a link or a FIFO refuses sequenced packages, and what the link
// points at stays as it was.
TEST_F(BoardPolicy, LedgerThatIsALinkOrAFifoIsNotUsed) {
    const struct {
        const char* name;
        const char* at;     // "ledger" (the file) or "folder" (its folder)
        const char* stands; // "link" or "fifo"
        const char* reason; // the end of the note
    } cases[] = {
        {"the ledger a link", "ledger", "link", "cannot be used: a symbolic link"},
        {"the ledger a FIFO", "ledger", "fifo", "cannot be used: not a regular file"},
        {"the folder a link", "folder", "link", "ledger is not a folder"},
    };
    const std::string elsewhere = "0807060504030201 1\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mkdir(path("real").c_str(), 0700);
        write_file(path("real/ledger"), elsewhere);
        const bool folder_case = strcmp(c.at, "folder") == 0;
        if (folder_case) {
            ASSERT_EQ(symlink(path("real").c_str(), path("ledger").c_str()), 0);
        } else {
            mkdir(path("ledger").c_str(), 0700);
            if (strcmp(c.stands, "link") == 0) {
                ASSERT_EQ(symlink(path("real/ledger").c_str(), path("ledger/ledger").c_str()), 0);
            } else {
                ASSERT_EQ(mkfifo(path("ledger/ledger").c_str(), 0600), 0);
            }
        }
        EXPECT_EQ(check("sequence:2"), 0);
        const std::string note = signature_note();
        EXPECT_EQ(note.find("refused: sequence 2 of key id 0807060504030201: the ledger "), 0u)
            << note;
        EXPECT_NE(note.find(c.reason), std::string::npos) << note;
        // Nothing pending: a commit writes nothing anywhere.
        EXPECT_EQ(commit_package_sequence(), 1);
        EXPECT_EQ(read_file(path("real/ledger")), elsewhere);
        EXPECT_FALSE(ut_test::exists(path("real/ledger.tmp")));
        if (folder_case) {
            unlink(path("ledger").c_str());
        } else {
            unlink(path("ledger/ledger").c_str());
            rmdir(path("ledger").c_str());
        }
    }
    // Links put at the ledger's and its temporary's names after the check:
    // the write replaces them and leaves their targets alone.
    ASSERT_EQ(check("sequence:2"), 1) << signature_note();
    mkdir(path("ledger").c_str(), 0700);
    write_file(path("real/temp"), "kept\n");
    ASSERT_EQ(symlink(path("real/ledger").c_str(), path("ledger/ledger").c_str()), 0);
    ASSERT_EQ(symlink(path("real/temp").c_str(), path("ledger/ledger.tmp").c_str()), 0);
    ASSERT_EQ(commit_package_sequence(), 1) << signature_note();
    EXPECT_EQ(read_file(path("real/ledger")), elsewhere);
    EXPECT_EQ(read_file(path("real/temp")), "kept\n");
    struct stat st;
    ASSERT_EQ(lstat(path("ledger/ledger").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(path("ledger/ledger")), "0807060504030201 2\n");
    EXPECT_FALSE(ut_test::exists(path("ledger/ledger.tmp")));
}
