#include "search_task.h"

#include <stdio.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/file_pack.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/work_with_files.h"
#include "../data_ut.h"
#include "receipt.h"
#include "signature_check.h"

namespace {

const char* const TASK_FILE_NAME = "command.f";
const char* const WORK_LIST_FILE_NAME = "work_list.f";

// The package may be run by anyone: its scripts are what it carries.
const int PACKAGE_MODE = 0777;

// The handler's end: the next state follows from whether a work list loaded.
int end_of_task_search() {
    cur_state = task_detected == 1 ? STATE_TASK_EXECUTE : STATE_GET_SETTINGS;
    return 1;
}

// The end after a package was found and not taken in: the stick tells the
// engineer why.
int package_refused() {
    // What is left in the folder stays as the name shows it; the handle goes.
    release_held_folder();
    receipt_write(0);
    return end_of_task_search();
}

} // namespace

// Everything on the stick is the stick holder's: its names, links and nodes.
// The package is copied, changed and removed only as the regular file it is
// by its own name; nothing is reached through a link on the stick.
int F_search_for_task() {
    task_detected = 0;
    char package[256];
    if (get_full_file_name(dev_path, TASK_FILE_NAME, package, sizeof(package)) >=
        static_cast<int>(sizeof(package))) {
        // A cut path names another file: no package can be reached.
        LOG_MSG(LVL_INFO, "failed to find task file: %s%s", dev_path, TASK_FILE_NAME);
        return end_of_task_search();
    }
    if (!is_name_taken(package)) {
        LOG_MSG(LVL_INFO, "failed to find task file: %s", package);
        return end_of_task_search();
    }

    // An empty temporary folder of the daemon's own, made anew.
    if (!delete_test_folder(UT_TEMP_FOLDER)) {
        LOG_MSG(LVL_ERROR, "failed to delete temp folder: %s", UT_TEMP_FOLDER);
        return package_refused();
    }
    // Held open from here through the walk: every later step reaches the
    // folder made here, whatever its name stands for by then.
    if (!hold_fresh_folder(UT_TEMP_FOLDER)) {
        LOG_MSG(LVL_ERROR, "failed to create temp folder for task file: %s", UT_TEMP_FOLDER);
        return package_refused();
    }

    // The temporary folder lies on the recorder's data partition: a package
    // that would fill it stays on the stick.
    if (!check_room_for_package(package, UT_TEMP_FOLDER)) {
        return package_refused();
    }
    char copy[256];
    get_full_file_name(UT_TEMP_FOLDER, TASK_FILE_NAME, copy, sizeof(copy));
    // A board that checks signatures hashes the package while it copies it:
    // the stick and the copy are read once for it.
    copy_sink sink = nullptr;
    if (signatures_checked()) {
        package_hash_begin();
        sink = package_hash_feed;
    }
    if (!copy_one_file(package, copy, sink, nullptr)) {
        LOG_MSG(LVL_ERROR, "failed to copy task file: from [%s] to [%s]", package, copy);
        return package_refused();
    }
    // Signed packages: checked on the copy, before anything is unpacked.
    if (!check_package_signature(package, copy)) {
        // Nothing of a refused package stays on the board.
        delete_test_file(copy);
        return package_refused();
    }

    // The unpacker may unscramble the file it is given in place: always the
    // copy, never the package on the stick.
    if (!unpack_files(copy, UT_TEMP_FOLDER, 1)) {
        LOG_MSG(LVL_ERROR, "failed to unpack task file");
        return package_refused();
    }
    if (!delete_test_file(copy)) {
        LOG_MSG(LVL_ERROR, "failed to delete packed from temp folder");
    }

    char list[256];
    get_full_file_name(UT_TEMP_FOLDER, WORK_LIST_FILE_NAME, list, sizeof(list));
    if (!is_file_existed(list)) {
        LOG_MSG(LVL_ERROR, "failed to find work_list file: %s", list);
        delete_test_folder(UT_TEMP_FOLDER);
        return package_refused();
    }
    if (!get_work_list_from_file(list, &work_list)) {
        LOG_MSG(LVL_ERROR, "failed to get work list from file: %s", list);
        delete_test_folder(UT_TEMP_FOLDER);
        return package_refused();
    }
    // A sequenced package is spent here, before it leaves the stick and
    // before its first row: a power cut from now on never runs it again.
    if (!commit_package_sequence()) {
        delete_test_folder(UT_TEMP_FOLDER);
        return package_refused();
    }
    LOG_MSG(LVL_INFO, "work list was created");
    task_detected = 1;

    // Removed from the stick only now, so that it runs once. The mode change
    // is not looked at (a read-only stick refuses it, and the removal below).
    change_file_mode(package, PACKAGE_MODE);
    if (!delete_test_file(package)) {
        LOG_MSG(LVL_ERROR, "failed to delete packed from usb");
    }
    remove_package_signature(package);
    // The stick stays mounted and may be pulled at any moment: without this
    // the removal would wait in the page cache for up to half a minute, and a
    // stick pulled meanwhile would bring the package back.
    sync();
    return end_of_task_search();
}
