// The work list file: one row per line, a code in "<>" and a name in "{}".

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/log/log_c.h"
#include "common/test_utility/work_with_files.h"
#include "test_support.h"

using ut_test::write_file;

namespace {

class WorkList : public ut_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_everything();
    }
    int load(const std::string& text) {
        write_file(path("work_list.f"), text);
        return get_work_list_from_file(path("work_list.f").c_str(), &guarded.table);
    }
    bool logged(const std::string& text) {
        return ut_test::all_log_text().find(text) != std::string::npos;
    }

    // A guard behind the table shows any write past its last row.
    struct {
        work_list_table table;
        char guard[256];
    } guarded{};
};

TEST_F(WorkList, EmptyFileIsAnEmptyList) {
    guarded.table.count = 9;
    EXPECT_EQ(load(""), 1);
    EXPECT_EQ(guarded.table.count, 0);
}

TEST_F(WorkList, RowsInFileOrder) {
    EXPECT_EQ(load("<0001>{update.sh}\n{clean.sh}<0001>\r\n<0003>{x}<9>\n<>{}\n"
                   "{x<1>}\n<0002>{remove_temp_folder}"),
              1);
    const work_list_table& t = guarded.table;
    ASSERT_EQ(t.count, 6);
    const char* expected[][2] = {{"0001", "update.sh"}, {"0001", "clean.sh"},
                                 {"0003", "x"},         {"", ""},
                                 {"1", "x<1>"},         {"0002", "remove_temp_folder"}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(t.rows[i].state, expected[i][0]) << i;
        EXPECT_STREQ(t.rows[i].name, expected[i][1]) << i;
    }
}

TEST_F(WorkList, FieldLimits) {
    std::string name63(63, 'n');
    EXPECT_EQ(load("<0001>{" + name63 + "}\n<1234>{a}\n"), 1);
    EXPECT_STREQ(guarded.table.rows[0].name, name63.c_str());
    EXPECT_EQ(guarded.table.count, 2);

    EXPECT_EQ(load("<0001>{a}\n<0001>{" + std::string(64, 'n') + "}\n"), 0);
    EXPECT_EQ(guarded.table.count, 1);
    EXPECT_TRUE(logged("failed to get name of task row"));

    EXPECT_EQ(load("<00001>{a}\n"), 0);
    EXPECT_EQ(guarded.table.count, 0);
    EXPECT_TRUE(logged("failed to get state of task row"));
}

TEST_F(WorkList, MalformedLinesFailTheWholeFile) {
    struct Case {
        const char* text;
        int count;
        const char* message;
    } const cases[] = {
        {"<0001>{a}\n\n<0002>{b}\n", 1, "failed to get state of task row"},
        {"<0001>{a}\n\r\n", 1, "failed to get state of task row"},
        {"<0001>{a}\n0001 {b}\n", 1, "failed to get state of task row"},
        {"<0001>{a}\n<0001> b\n", 1, "failed to get name of task row"},
        {"<0001>{a\n", 0, "failed to get name of task row"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ut_test::remove_tree(path("logs"));
        ut_test::reset_log_state();
        EXPECT_EQ(load(c.text), 0);
        EXPECT_EQ(guarded.table.count, c.count);
        EXPECT_TRUE(logged(c.message));
    }
}

TEST_F(WorkList, LongLineIsReadInPieces) {
    // The first 511 characters are one row, the rest another.
    std::string first = "<0001>{a}" + std::string(511 - 9, 'x');
    EXPECT_EQ(load(first + "<0002>{b}\n"), 1);
    EXPECT_EQ(guarded.table.count, 2);
    EXPECT_STREQ(guarded.table.rows[1].name, "b");
}

TEST_F(WorkList, HundredRowsFitOneMoreIsRefused) {
    std::string rows;
    for (int i = 0; i < 100; ++i) {
        rows += "<0001>{s" + std::to_string(i) + ".sh}\n";
    }
    EXPECT_EQ(load(rows), 1);
    EXPECT_EQ(guarded.table.count, 100);
    EXPECT_STREQ(guarded.table.rows[99].name, "s99.sh");

    memset(guarded.guard, 0x5a, sizeof(guarded.guard));
    EXPECT_EQ(load(rows + "<0002>{remove_temp_folder}\n"), 0);
    for (char c : guarded.guard) {
        ASSERT_EQ(c, 0x5a) << "written past the table";
    }
    EXPECT_TRUE(logged("work list has more than 100 rows"));
}

TEST_F(WorkList, FileErrors) {
    guarded.table.count = 5;
    EXPECT_EQ(get_work_list_from_file("", &guarded.table), 0);
    EXPECT_EQ(guarded.table.count, 5);
    EXPECT_TRUE(logged("file name is empty"));

    EXPECT_EQ(get_work_list_from_file(path("missing").c_str(), &guarded.table), 0);
    EXPECT_EQ(guarded.table.count, 0);
    EXPECT_TRUE(logged("failed to read work list from file"));

    ASSERT_EQ(mkdir(path("folder").c_str(), 0700), 0);
    guarded.table.count = 5;
    EXPECT_EQ(get_work_list_from_file(path("folder").c_str(), &guarded.table), 0);
    EXPECT_EQ(guarded.table.count, 0);
    EXPECT_TRUE(logged("failed to read file: " + path("folder")));
}

} // namespace
