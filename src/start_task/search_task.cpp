#include "search_task.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/file_pack.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/work_with_files.h"
#include "../data_ut.h"
#include "signature_check.h"

namespace {

const char* const TASK_FILE_NAME = "command.f";
const char* const WORK_LIST_FILE_NAME = "work_list.f";

// Copies the package into the emptied temporary folder, unpacks it there and
// loads its work list. 1 when the work list is loaded.
int take_in_package(const char* package) {
    if (!delete_test_folder(UT_TEMP_FOLDER)) {
        LOG_MSG(LVL_ERROR, "failed to delete temp folder: %s", UT_TEMP_FOLDER);
        return 0;
    }
    if (!create_test_folder(UT_TEMP_FOLDER)) {
        LOG_MSG(LVL_ERROR, "failed to create temp folder for task file: %s", UT_TEMP_FOLDER);
        return 0;
    }
    char copy[256];
    get_full_file_name(UT_TEMP_FOLDER, TASK_FILE_NAME, copy, sizeof(copy));
    if (!copy_one_file(package, copy)) {
        LOG_MSG(LVL_ERROR, "failed to copy task file: from [%s] to [%s]", package, copy);
        return 0;
    }
    // Signed packages: checked on the copies, before anything is unpacked.
    if (!check_package_signature(package, copy)) {
        return 0;
    }
    // The unpacker may unscramble the file it is given in place: always the
    // copy, never the package on the stick.
    if (!unpack_files(copy, UT_TEMP_FOLDER)) {
        LOG_MSG(LVL_ERROR, "failed to unpack task file");
        return 0;
    }
    if (!delete_test_file(copy)) {
        LOG_MSG(LVL_ERROR, "failed to delete packed from temp folder");
    }
    char list[256];
    get_full_file_name(UT_TEMP_FOLDER, WORK_LIST_FILE_NAME, list, sizeof(list));
    if (!is_file_existed(list)) {
        LOG_MSG(LVL_ERROR, "failed to find work_list file: %s", list);
        delete_test_folder(UT_TEMP_FOLDER);
        return 0;
    }
    if (!get_work_list_from_file(list, &work_list)) {
        LOG_MSG(LVL_ERROR, "failed to get work list from file: %s", list);
        delete_test_folder(UT_TEMP_FOLDER);
        return 0;
    }
    LOG_MSG(LVL_INFO, "work list was created");
    return 1;
}

} // namespace

int F_search_for_task() {
    task_detected = 0;
    char package[256];
    get_full_file_name(dev_path, TASK_FILE_NAME, package, sizeof(package));

    if (!is_file_existed(package)) {
        LOG_MSG(LVL_INFO, "failed to find task file: %s", package);
    } else if (take_in_package(package)) {
        task_detected = 1;
        // Removed from the stick only now, so that it runs once.
        // A cut command line would name some other file.
        char command[256];
        if (snprintf(command, sizeof(command), "chmod 777 %s", package) <
            static_cast<int>(sizeof(command))) {
            execute_script(command);
        }
        if (!delete_test_file(package)) {
            LOG_MSG(LVL_ERROR, "failed to delete packed from usb");
        }
        remove_package_signature(package);
        // The stick stays mounted and may be pulled at any moment: without
        // this the removal would wait in the page cache for up to half a
        // minute, and a stick pulled meanwhile would bring the package back.
        sync();
    }

    cur_state = task_detected == 1 ? STATE_TASK_EXECUTE : STATE_GET_SETTINGS;
    return 1;
}
