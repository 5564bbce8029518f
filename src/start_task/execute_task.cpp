#include "execute_task.h"

#include <string.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/work_with_files.h"
#include "../data_ut.h"
#include "receipt.h"

namespace {

const char* const UPDATE_FILE = "/home/velmarok/var/main_ut";

} // namespace

int exec_script(const char* name) {
    if (name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "script name is empty");
        return 0;
    }
    if (!is_plain_script_name(name)) {
        LOG_MSG(LVL_ERROR, "script name is not a plain file name: %s", name);
        return 0;
    }
    char path[256];
    get_full_file_name(UT_TEMP_FOLDER, name, path, sizeof(path));
    // Only what the intake unpacked into the folder it made, and still
    // holds, runs as root: a folder removed by an earlier row leaves the
    // script missed, whatever stands at the name since.
    if (held_folder_fd() < 0 || !is_file_existed(path)) {
        LOG_MSG(LVL_ERROR, "failed to find script file: %s", path);
        return 0;
    }
    // The parent is the application suite's user's, who can rename the
    // folder away and put another in its place; the script still starts
    // from the folder made, through the daemon's handle.
    if (!is_held_folder_at_its_name()) {
        LOG_MSG(LVL_WARNING,
                "temp folder is not the one the package was unpacked into: %s; "
                "the script runs from the folder unpacked into",
                UT_TEMP_FOLDER);
    }
    if (!script_on(path, 1)) {
        LOG_MSG(LVL_ERROR, "failed to switch on script file");
        return 0;
    }
    // The program started is the package's own file whatever the name
    // stands for: the shell gets it by a path through the daemon's handle
    // ("/proc/<pid>/fd/<fd>/<name>"), which is also the script's $0.
    char command[256];
    if (held_folder_path(name, command, sizeof(command)) >= static_cast<int>(sizeof(command)) ||
        !execute_script_captured(command)) {
        LOG_MSG(LVL_ERROR, "failed to execute script: %s", path);
        return 0;
    }
    LOG_MSG(LVL_INFO, "execute script: %s", path);
    return 1;
}

int exec_function(const char* name) {
    if (name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "function name is empty");
        return 0;
    }
    if (strcmp(name, BUILTIN_REMOVE_TEMP_FOLDER) == 0) {
        if (!delete_test_folder(UT_TEMP_FOLDER)) {
            LOG_MSG(LVL_ERROR, "failed to delete folder: %s", UT_TEMP_FOLDER);
            return 0;
        }
    } else if (strcmp(name, BUILTIN_REMOVE_UPDATE_FILE) == 0) {
        if (!delete_test_file(UPDATE_FILE)) {
            LOG_MSG(LVL_ERROR, "failed to delete file: %s", UPDATE_FILE);
            return 0;
        }
    } else {
        LOG_MSG(LVL_ERROR, "unknown function: %s", name);
        return 0;
    }
    LOG_MSG(LVL_INFO, "execute function: %s", name);
    return 1;
}

int F_execute_work_list() {
    receipt_walk_begins();
    for (int i = 0; i < work_list.count; ++i) {
        const task_row& row = work_list.rows[i];
        if (strcmp(row.state, TASK_ROW_SCRIPT) == 0) {
            if (!exec_script(row.name)) {
                LOG_MSG(LVL_ERROR, "failed to execute script: %s", row.name);
                receipt_row_ran(i, RECEIPT_ROW_FAILED, 0);
                break;
            }
            receipt_row_ran(i, RECEIPT_ROW_ENDED, last_execute_status());
            const char* output = nullptr;
            int length = last_execute_output(&output);
            receipt_row_output(i, output, length);
        } else if (strcmp(row.state, TASK_ROW_FUNCTION) == 0) {
            if (!exec_function(row.name)) {
                LOG_MSG(LVL_ERROR, "failed to execute function %s", row.name);
                receipt_row_ran(i, RECEIPT_ROW_FAILED, 0);
                break;
            }
            receipt_row_ran(i, RECEIPT_ROW_DONE, 0);
        } else {
            receipt_row_ran(i, RECEIPT_ROW_PASSED_OVER, 0);
        }
    }
    // The walk is over: the folder made by the intake is let go.
    release_held_folder();
    // What the scripts wrote, on the stick above all, reaches the disks
    // before the service phase: the stick may be pulled now.
    sync();
    receipt_write(1);
    cur_state = STATE_GET_SETTINGS;
    return 1;
}
