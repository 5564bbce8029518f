#include "package_check.h"

#include <dirent.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "common/test_utility/scoped_handle.h"

int list_folder_for_package(const char* folder, folder_listing* out, char* why, int why_size) {
    out->count = 0;
    scoped_dir dir(opendir(folder));
    if (!dir) {
        snprintf(why, static_cast<size_t>(why_size), "cannot read the folder %s", folder);
        return 0;
    }
    int files = 0;
    while (struct dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        char path[4096];
        snprintf(path, sizeof(path), "%s/%s", folder, name);
        struct stat st;
        if (stat(path, &st) != 0) {
            snprintf(why, static_cast<size_t>(why_size), "cannot read %s", path);
            return 0;
        }
        if (S_ISDIR(st.st_mode)) {
            snprintf(why, static_cast<size_t>(why_size),
                     "%s is a sub-folder: a package holds plain files only", name);
            return 0;
        }
        if (!S_ISREG(st.st_mode)) {
            snprintf(why, static_cast<size_t>(why_size), "%s is not a plain file", name);
            return 0;
        }
        if (strlen(name) > PACKAGE_NAME_MAX) {
            snprintf(why, static_cast<size_t>(why_size), "the name %s is longer than %d characters",
                     name, PACKAGE_NAME_MAX);
            return 0;
        }
        if (files < PACKAGE_MAX_FILES) {
            // Insert in name order.
            int at = out->count;
            while (at > 0 && strcmp(out->names[at - 1], name) > 0) {
                memcpy(out->names[at], out->names[at - 1], sizeof(out->names[at]));
                --at;
            }
            snprintf(out->names[at], sizeof(out->names[at]), "%s", name);
            ++out->count;
        }
        ++files;
    }
    if (files > PACKAGE_MAX_FILES) {
        snprintf(why, static_cast<size_t>(why_size), "%d files: a package holds at most %d", files,
                 PACKAGE_MAX_FILES);
        out->count = 0;
        return 0;
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

namespace {

__attribute__((format(printf, 2, 3))) void note(row_review* r, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(r->note, sizeof(r->note), format, args);
    va_end(args);
}

} // namespace

int review_work_list(const work_list_table* list, const folder_listing* files, row_review* out) {
    int errors = 0;
    int temp_removed = 0;
    int failed = 0;
    for (int i = 0; i < list->count; ++i) {
        const task_row* row = &list->rows[i];
        row_review* r = &out[i];
        r->error = 0;
        r->warning = 0;
        r->note[0] = '\0';
        int fate;
        if (strcmp(row->state, TASK_ROW_SCRIPT) == 0) {
            fate = ROW_FAILS;
            if (!is_plain_script_name(row->name)) {
                r->error = 1;
                note(r, "the daemon refuses the script name '%s'", row->name);
            } else if (!listing_has(files, row->name)) {
                r->error = 1;
                note(r, "the script %s is not in the package", row->name);
            } else if (temp_removed) {
                r->warning = 1;
                note(r, "comes after %s: the script is gone by then", BUILTIN_REMOVE_TEMP_FOLDER);
            } else {
                fate = ROW_RUNS_SCRIPT;
            }
        } else if (strcmp(row->state, TASK_ROW_FUNCTION) == 0) {
            if (strcmp(row->name, BUILTIN_REMOVE_TEMP_FOLDER) == 0 ||
                strcmp(row->name, BUILTIN_REMOVE_UPDATE_FILE) == 0) {
                fate = ROW_RUNS_FUNCTION;
                temp_removed |= strcmp(row->name, BUILTIN_REMOVE_TEMP_FOLDER) == 0;
            } else {
                fate = ROW_FAILS;
                r->error = 1;
                note(r, "'%s' is not a built-in function (%s, %s)", row->name,
                     BUILTIN_REMOVE_TEMP_FOLDER, BUILTIN_REMOVE_UPDATE_FILE);
            }
        } else {
            fate = ROW_PASSED_OVER;
            r->warning = 1;
            note(r, "code '%s' is neither %s nor %s", row->state, TASK_ROW_SCRIPT,
                 TASK_ROW_FUNCTION);
        }
        r->fate = failed ? ROW_NOT_REACHED : fate;
        failed |= fate == ROW_FAILS;
        errors += r->error;
    }
    return errors;
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
