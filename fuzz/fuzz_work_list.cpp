// The work list reader on arbitrary files: never past the table, rows always
// terminated strings of the allowed lengths.
#include <string.h>

#include "common/test_utility/work_with_files.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static struct {
        work_list_table table;
        char guard[64];
    } guarded;
    memset(guarded.guard, 0x5a, sizeof(guarded.guard));
    const char* path = fuzz_write_file("work_list.f", data, size);
    int ok = get_work_list_from_file(path, &guarded.table);
    FUZZ_CHECK(guarded.table.count >= 0 && guarded.table.count <= WORK_LIST_ROWS);
    FUZZ_CHECK(ok == 0 || ok == 1);
    for (int i = 0; i < guarded.table.count; ++i) {
        FUZZ_CHECK(memchr(guarded.table.rows[i].state, 0, TASK_ROW_STATE_SIZE) != nullptr);
        FUZZ_CHECK(memchr(guarded.table.rows[i].name, 0, TASK_ROW_NAME_SIZE) != nullptr);
    }
    for (char c : guarded.guard) {
        FUZZ_CHECK(c == 0x5a);
    }
    return 0;
}
