// What the daemon will make of a task package, for the host tool: the check
// of a folder before it is packed, why a work list is refused, and a review
// of the work list rows as the daemon's walk will meet them. Every name that
// goes into a text here is escaped (control bytes shown as \xNN).
#pragma once

#include <stdio.h>

#include "common/test_utility/file_pack.h"
#include "common/test_utility/work_with_files.h"

enum {
    PACKAGE_MAX_FILES = PACK_MAX_FILES,
    PACKAGE_NAME_MAX = PACK_NAME_SIZE - 1, // bytes; longer names would be cut by the format
    // The daemon's reader takes a work list in pieces of this many bytes.
    WORK_LIST_PIECE = 511,
};

struct folder_listing {
    int count;
    char names[PACKAGE_MAX_FILES][PACKAGE_NAME_MAX + 1]; // in name order
};

// Lists the files of a folder for packing, sorted by name. 0 with the reason
// in `why` when the folder cannot be read (with the system's reason), holds a
// sub-folder or anything but plain files, more than 20 files, or a name the
// format would cut (counted in bytes, as the daemon counts).
int list_folder_for_package(const char* folder, folder_listing* out, char* why, int why_size);

// Lists the plain files of a folder as they are, in name order (at most 20
// kept); 0 when it cannot be read.
int list_folder_files(const char* folder, folder_listing* out);

// 1 when the listing holds a file of this name.
int listing_has(const folder_listing* listing, const char* name);

// Why the daemon's reader refuses one piece of a work list (a line as the
// reader takes it, line end included), or 0 when it reads it as a row.
int explain_work_list_piece(const char* piece, char* why, int why_size);

// Why the daemon's reader refuses a work list, as a person wants to hear it:
// "line N: '<the line>': <reason>; a row reads '<0001>{script.sh}' or
// '<0002>{remove_temp_folder}'". 0 when the reader would load it whole.
int explain_work_list_stream(FILE* stream, char* why, int why_size);
int explain_work_list(const char* path, char* why, int why_size);

enum row_fate {
    ROW_RUNS_SCRIPT,
    ROW_RUNS_FUNCTION,
    ROW_PASSED_OVER,
    ROW_FAILS,       // the daemon's walk ends at this row
    ROW_NOT_REACHED, // after a failing row
};

struct row_review {
    int fate;
    int error;   // packing refuses such a row: the daemon's walk fails at it
    int warning; // the board runs it badly: packing refuses it unless forced
    char note[400];
};

// Reviews every row of the list against the files of the package, which lie
// in `folder` (ending in "/"), where the scripts are read for their line
// ends. Returns the number of rows with an error.
int review_work_list(const work_list_table* list, const folder_listing* files, const char* folder,
                     row_review* out);

// 1 when no row has a code the daemon acts on ("0001" or "0002").
int work_list_does_nothing(const work_list_table* list);

// Line ends of a text, for the scripts and the work list.
enum line_ends {
    LINE_ENDS_UNIX,      // no carriage return before a line end
    LINE_ENDS_CRLF,      // some line ends in CR LF
    LINE_ENDS_CRLF_HASH, // and so does a first line "#!...": no interpreter of that name
    LINE_ENDS_CR_ONLY,   // a CR not followed by LF: the daemon reads one long line
};
// The worst of the file's line ends (CR-only above CRLF); LINE_ENDS_UNIX when
// it cannot be read.
int line_ends_of_file(const char* path);

// A short text for a fate: "runs the script", "passed over", ...
const char* row_fate_text(int fate);
