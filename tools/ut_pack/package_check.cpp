#include "package_check.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/text_escape.h"

namespace {

// An outside name as it may be printed: escaped, never cut in an escape.
// Big enough for a 63-byte row name escaped whole (4 bytes a byte).
struct shown {
    char text[4 * 64 + 1];
    explicit shown(const char* name) { escape_text(name, text, sizeof(text)); }
};

__attribute__((format(printf, 3, 4))) void say(char* out, int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(out, static_cast<size_t>(size), format, args);
    va_end(args);
}

// Inserts a name into a listing kept in name order.
void insert_sorted(folder_listing* out, const char* name) {
    int at = out->count;
    while (at > 0 && strcmp(out->names[at - 1], name) > 0) {
        memcpy(out->names[at], out->names[at - 1], sizeof(out->names[at]));
        --at;
    }
    snprintf(out->names[at], sizeof(out->names[at]), "%s", name);
    ++out->count;
}

} // namespace

int list_folder_for_package(const char* folder, folder_listing* out, char* why, int why_size) {
    out->count = 0;
    scoped_dir dir(opendir(folder));
    if (!dir) {
        say(why, why_size, "cannot read the folder %s: %s", shown(folder).text, strerror(errno));
        return 0;
    }
    int files = 0;
    errno = 0;
    while (struct dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        char path[PATH_MAX];
        if (snprintf(path, sizeof(path), "%s/%s", folder, name) >= static_cast<int>(sizeof(path))) {
            say(why, why_size, "path too long: %s/%s", shown(folder).text, shown(name).text);
            return 0;
        }
        struct stat st;
        if (lstat(path, &st) != 0) {
            say(why, why_size, "cannot read %s: %s", shown(path).text, strerror(errno));
            return 0;
        }
        // A link is never followed, with --force or without: what it names
        // may change before the board runs the package, or lie outside it.
        if (S_ISLNK(st.st_mode)) {
            say(why, why_size,
                "%s is a symbolic link: a package holds plain files only; copy the file itself "
                "into the folder",
                shown(name).text);
            return 0;
        }
        if (S_ISDIR(st.st_mode)) {
            say(why, why_size, "%s is a sub-folder: a package holds plain files only",
                shown(name).text);
            return 0;
        }
        if (!S_ISREG(st.st_mode)) {
            say(why, why_size, "%s is not a plain file", shown(name).text);
            return 0;
        }
        if (has_control_bytes(name)) {
            say(why, why_size, "the name %s holds control bytes: the daemon refuses such a name",
                shown(name).text);
            return 0;
        }
        if (strlen(name) > PACKAGE_NAME_MAX) {
            say(why, why_size, "the name %s has %zu bytes; a package takes names of at most %d",
                shown(name).text, strlen(name), PACKAGE_NAME_MAX);
            return 0;
        }
        if (files < PACKAGE_MAX_FILES) {
            insert_sorted(out, name);
        }
        ++files;
        errno = 0;
    }
    if (errno != 0) {
        say(why, why_size, "cannot read the folder %s: %s", shown(folder).text, strerror(errno));
        return 0;
    }
    if (files > PACKAGE_MAX_FILES) {
        say(why, why_size, "%d files: a package holds at most %d", files, PACKAGE_MAX_FILES);
        out->count = 0;
        return 0;
    }
    return 1;
}

int list_folder_files(const char* folder, folder_listing* out) {
    out->count = 0;
    scoped_dir dir(opendir(folder));
    if (!dir) {
        return 0;
    }
    while (struct dirent* entry = readdir(dir.get())) {
        if (entry->d_type == DT_REG && strlen(entry->d_name) <= PACKAGE_NAME_MAX &&
            out->count < PACKAGE_MAX_FILES) {
            insert_sorted(out, entry->d_name);
        }
    }
    return 1;
}

int listing_has(const folder_listing* listing, const char* name) {
    for (int i = 0; i < listing->count; ++i) {
        if (strcmp(listing->names[i], name) == 0) {
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Why a work list is refused: the reader's own steps, told in words.

namespace {

// Why the field between open and close (the row code, the name) of a line
// is one the daemon refuses: missing, not closed, or longer than its buffer
// of size bytes takes; 0 when it takes it.
int explain_marked_field(const char* piece, char open_mark, char close_mark, int size,
                         const char* what, char* why, int why_size) {
    const char* open = strchr(piece, open_mark);
    const char* close = open != nullptr ? strchr(open + 1, close_mark) : nullptr;
    if (open == nullptr) {
        say(why, why_size, "no %s: the line has no '%c'", what, open_mark);
        return 1;
    }
    if (close == nullptr) {
        say(why, why_size, "the %s is not closed by '%c'", what, close_mark);
        return 1;
    }
    if (close - open > size) {
        say(why, why_size, "the %s has %d bytes; the daemon takes at most %d", what,
            static_cast<int>(close - open - 1), size - 1);
        return 1;
    }
    return 0;
}

} // namespace

int explain_work_list_piece(const char* piece, char* why, int why_size) {
    const size_t length = strlen(piece);
    if (length < 3) {
        if (strcmp(piece, "\n") == 0 || length == 0) {
            say(why, why_size, "a blank line");
        } else if (strcmp(piece, "\r\n") == 0) {
            say(why, why_size, "a blank line (a carriage return and a line end)");
        } else if (strcmp(piece, "\r") == 0) {
            say(why, why_size, "a line of a carriage return only");
        } else {
            say(why, why_size, "a line of fewer than 3 bytes");
        }
        return 1;
    }
    return explain_marked_field(piece, '<', '>', TASK_ROW_STATE_SIZE, "row code", why, why_size) ||
           explain_marked_field(piece, '{', '}', TASK_ROW_NAME_SIZE, "name", why, why_size);
}

int explain_work_list_stream(FILE* stream, char* why, int why_size) {
    char piece[WORK_LIST_PIECE + 1] = "";
    int line = 1;
    int rows = 0;
    int continued = 0; // the piece is the rest of a line longer than a piece
    while (fgets(piece, sizeof(piece), stream) != nullptr) {
        char reason[160];
        const int too_many = rows == WORK_LIST_ROWS;
        if (too_many) {
            say(reason, sizeof(reason), "more than %d rows; the daemon reads at most %d",
                WORK_LIST_ROWS, WORK_LIST_ROWS);
        }
        if (too_many || explain_work_list_piece(piece, reason, sizeof(reason))) {
            size_t length = strlen(piece);
            if (length > 0 && piece[length - 1] == '\n') {
                piece[length - 1] = '\0';
            }
            // The line as it stands, escaped and cut to a screen's width.
            char text[84];
            int whole = escape_text(piece, text, sizeof(text));
            say(why, why_size,
                "line %d: '%s%s': %s%s; a row reads '<0001>{script.sh}' or "
                "'<0002>{remove_temp_folder}'",
                line, text, whole ? "" : "...", reason,
                continued ? " (the line is longer than 511 bytes: the daemon reads the rest "
                            "as a row of its own)"
                          : "");
            return 1;
        }
        ++rows;
        const size_t length = strlen(piece);
        continued = length > 0 && piece[length - 1] != '\n';
        if (!continued) {
            ++line;
        }
    }
    return 0;
}

int explain_work_list(const char* path, char* why, int why_size) {
    scoped_file f(fopen(path, "r"));
    return f ? explain_work_list_stream(f.get(), why, why_size) : 0;
}

// ---------------------------------------------------------------------------
// Line ends

int line_ends_of_file(const char* path) {
    scoped_file f(fopen(path, "rb"));
    if (!f) {
        return LINE_ENDS_UNIX;
    }
    unsigned char buffer[4096];
    int crlf = 0;
    int cr_only = 0;
    int first_line_crlf = 0;
    int hash = -1; // the first line begins with "#!": unknown yet
    int first_line = 1;
    int previous = -1;
    long long at = 0;
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), f.get())) > 0) {
        for (size_t i = 0; i < got; ++i, ++at) {
            const int c = buffer[i];
            if (at == 0) {
                hash = c == '#';
            } else if (at == 1 && hash == 1) {
                hash = c == '!';
            }
            if (previous == '\r') {
                if (c == '\n') {
                    crlf = 1;
                    first_line_crlf |= first_line;
                } else {
                    cr_only = 1;
                }
            }
            if (c == '\n') {
                first_line = 0;
            }
            previous = c;
        }
    }
    if (cr_only) {
        return LINE_ENDS_CR_ONLY;
    }
    if (first_line_crlf && hash == 1) {
        return LINE_ENDS_CRLF_HASH;
    }
    return crlf ? LINE_ENDS_CRLF : LINE_ENDS_UNIX;
}

// ---------------------------------------------------------------------------
// The walk, row by row

namespace {

__attribute__((format(printf, 2, 3))) void note(row_review* r, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(r->note, sizeof(r->note), format, args);
    va_end(args);
}

// 1 for a script row's name that is a plain script name followed by
// arguments: "update.sh --full".
int has_arguments(const char* name) {
    const char* space = strchr(name, ' ');
    if (space == nullptr || space == name) {
        return 0;
    }
    char first[TASK_ROW_NAME_SIZE];
    snprintf(first, sizeof(first), "%.*s", static_cast<int>(space - name), name);
    return is_plain_script_name(first);
}

// A word on a script the daemon will start, from its line ends.
void review_script_text(const char* folder, const char* name, row_review* r) {
    char path[PATH_MAX];
    if (snprintf(path, sizeof(path), "%s%s", folder, name) >= static_cast<int>(sizeof(path))) {
        return;
    }
    switch (line_ends_of_file(path)) {
    case LINE_ENDS_CRLF_HASH:
        r->warning = 1;
        note(r,
             "the script %s has CRLF line ends: its first line names an interpreter ending "
             "in a carriage return (\"/bin/sh\\r\"), and on the board it cannot start",
             shown(name).text);
        break;
    case LINE_ENDS_CRLF:
    case LINE_ENDS_CR_ONLY:
        r->warning = 1;
        note(r,
             "the script %s has CRLF or CR line ends: the board's shell takes the carriage "
             "returns as part of its commands",
             shown(name).text);
        break;
    default:
        break;
    }
}

} // namespace

int review_work_list(const work_list_table* list, const folder_listing* files, const char* folder,
                     row_review* out) {
    int errors = 0;
    int temp_removed = 0;
    int failed = 0;
    for (int i = 0; i < list->count; ++i) {
        const task_row* row = &list->rows[i];
        row_review* r = &out[i];
        r->error = 0;
        r->warning = 0;
        r->note[0] = '\0';
        const shown name(row->name);
        int fate;
        if (strcmp(row->state, TASK_ROW_SCRIPT) == 0) {
            fate = ROW_FAILS;
            if (!is_plain_script_name(row->name) && has_arguments(row->name)) {
                r->error = 1;
                const char* space = strchr(name.text, ' ');
                note(r,
                     "the daemon refuses the script name '%s': the board runs a bare script "
                     "name, without arguments; name a wrapper script in the row, whose command "
                     "is: exec \"$(dirname \"$0\")/%.*s\"%s",
                     name.text, static_cast<int>(space - name.text), name.text, space);
            } else if (!is_plain_script_name(row->name)) {
                r->error = 1;
                note(r, "the daemon refuses the script name '%s'", name.text);
            } else if (!listing_has(files, row->name)) {
                r->error = 1;
                note(r, "the script %s is not in the package", name.text);
            } else if (temp_removed) {
                r->warning = 1;
                note(r, "comes after %s: the script is gone by then and the walk ends here",
                     BUILTIN_REMOVE_TEMP_FOLDER);
            } else {
                fate = ROW_RUNS_SCRIPT;
                review_script_text(folder, row->name, r);
            }
        } else if (strcmp(row->state, TASK_ROW_FUNCTION) == 0) {
            if (strcmp(row->name, BUILTIN_REMOVE_TEMP_FOLDER) == 0 ||
                strcmp(row->name, BUILTIN_REMOVE_UPDATE_FILE) == 0) {
                fate = ROW_RUNS_FUNCTION;
                temp_removed |= strcmp(row->name, BUILTIN_REMOVE_TEMP_FOLDER) == 0;
            } else {
                fate = ROW_FAILS;
                r->error = 1;
                note(r, "'%s' is not a built-in function (%s, %s)", name.text,
                     BUILTIN_REMOVE_TEMP_FOLDER, BUILTIN_REMOVE_UPDATE_FILE);
            }
        } else {
            fate = ROW_PASSED_OVER;
            r->warning = 1;
            note(r, "code '%s' is neither %s nor %s: the daemon passes over the row",
                 shown(row->state).text, TASK_ROW_SCRIPT, TASK_ROW_FUNCTION);
        }
        r->fate = failed ? ROW_NOT_REACHED : fate;
        failed |= fate == ROW_FAILS;
        errors += r->error;
    }
    return errors;
}

int work_list_does_nothing(const work_list_table* list) {
    for (int i = 0; i < list->count; ++i) {
        if (strcmp(list->rows[i].state, TASK_ROW_SCRIPT) == 0 ||
            strcmp(list->rows[i].state, TASK_ROW_FUNCTION) == 0) {
            return 0;
        }
    }
    return 1;
}

const char* row_fate_text(int fate) {
    switch (fate) {
    case ROW_RUNS_SCRIPT:
        return "runs the script";
    case ROW_RUNS_FUNCTION:
        return "runs the built-in";
    case ROW_PASSED_OVER:
        return "passed over";
    case ROW_FAILS:
        return "FAILS, ends the walk";
    default:
        return "not reached";
    }
}
