// What the daemon will make of a task package, for the host tool: the check
// of a folder before it is packed, and a review of the work list rows as the
// daemon's walk will meet them.
#pragma once

#include "common/test_utility/file_pack.h"
#include "common/test_utility/work_with_files.h"

enum {
    PACKAGE_MAX_FILES = PACK_MAX_FILES,
    PACKAGE_NAME_MAX = PACK_NAME_SIZE - 1, // longer names would be cut by the format
};

struct folder_listing {
    int count;
    char names[PACKAGE_MAX_FILES][PACKAGE_NAME_MAX + 1]; // in name order
};

// Lists the files of a folder for packing, sorted by name. 0 with the reason
// in `why` when the folder cannot be read, holds a sub-folder or anything
// but plain files, more than 20 files, or a name the format would cut.
int list_folder_for_package(const char* folder, folder_listing* out, char* why, int why_size);

// 1 when the listing holds a file of this name.
int listing_has(const folder_listing* listing, const char* name);

enum row_fate {
    ROW_RUNS_SCRIPT,
    ROW_RUNS_FUNCTION,
    ROW_PASSED_OVER,
    ROW_FAILS,       // the daemon's walk ends at this row
    ROW_NOT_REACHED, // after a failing row
};

struct row_review {
    int fate;
    int error;   // packing refuses such a row
    int warning; // worth a word, but the daemon takes it
    char note[160];
};

// Reviews every row of the list against the files of the package. Returns
// the number of rows with an error.
int review_work_list(const work_list_table* list, const folder_listing* files, row_review* out);

// A short text for a fate: "runs script", "passed over", ...
const char* row_fate_text(int fate);
