// usb_tools: the service daemon of the data recorder. Once at start it takes
// in a task package from a USB stick and runs its work list; then, for good,
// it watches the main application's memory.

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "../common/log/log_c.h"
#include "data_ut.h"
#include "service_task/service_task.h"
#include "start_task/execute_task.h"
#include "start_task/receipt.h"
#include "start_task/search_task.h"
#include "start_task/search_usb.h"
#include "start_task/signature_check.h"

namespace {

enum {
    VERSION_NUMBER = 8,
    PASS_SLEEP_SECONDS = 5,
    // Before the memory watch starts, and again after it killed the suite.
    SETTLE_SLEEP_SECONDS = 60,
    // One heartbeat line every this many passes in state 30.
    HEARTBEAT_PASSES = 60,
};

// The answer to "-about": the version, and the time stamp and age of the
// main application's pid file (0 and the time since the epoch without one).
int answer_about() {
    printf("CURRENT VERSION: %d\n", VERSION_NUMBER);
    printf("velmarok pid was created in %d\n", get_modify_time_of_file(MAIN_PID_FILE));
    long long now = static_cast<long long>(time(nullptr));
    long long age = seconds_since_file_time(get_modify_time_of_file(MAIN_PID_FILE), now);
    printf("main was started: %lld sec\n", age);
    return 0;
}

// The answer to "--version": the first line of the answer to "-about".
int answer_version() {
    printf("CURRENT VERSION: %d\n", VERSION_NUMBER);
    return 0;
}

// The answer to "--help". Like "--version" it touches nothing: no log
// settings, no log folder, no search.
int answer_help() {
    printf("usage: usb_tools            run the service daemon (one per board, as root, from\n"
           "                            its working folder, where c_log.ini and logs/ are)\n"
           "       usb_tools -about     the version and the age of the main application\n"
           "       usb_tools --version  the version\n"
           "       usb_tools --help     this text\n"
           "Any other argument is ignored: the daemon runs.\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "-about") == 0) {
        return answer_about();
    }
    // Asking for help must not start a second daemon.
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        return answer_version();
    }
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        return answer_help();
    }
    init_vars();
    // The start-up phase's lines, from "USB_SEARCH PART" on, for the receipt.
    receipt_begin(VERSION_NUMBER);
    receipt_set_signature_source(signature_note);
    warn_if_ledger_forgets();
    for (;;) {
        switch (cur_state) {
        case STATE_USB_SEARCH:
            LOG_MSG(LVL_INFO, "USB_SEARCH PART");
            if (!F_search_for_usb()) {
                LOG_MSG(LVL_ERROR, "error in search usb part");
                return 1;
            }
            break;
        case STATE_TASK_SEARCH:
            LOG_MSG(LVL_INFO, "TASK_SEARCH PART");
            if (!F_search_for_task()) {
                LOG_MSG(LVL_ERROR, "error in search task part");
                return 1;
            }
            break;
        case STATE_TASK_EXECUTE:
            LOG_MSG(LVL_INFO, "TASK_EXECUTE_PART");
            if (!F_execute_work_list()) {
                LOG_MSG(LVL_ERROR, "error in execute work list part");
            }
            break;
        case STATE_GET_SETTINGS:
            F_get_settings();
            if (main_regim == 0) {
                sleep(SETTLE_SLEEP_SECONDS);
                cur_state = STATE_CHECK_MEM;
            }
            break;
        case STATE_CHECK_MEM:
            ++count_mem_check;
            if (count_mem_check > HEARTBEAT_PASSES - 1) {
                count_mem_check = 0;
                LOG_MSG(LVL_INFO, "STATE_CHECK_MEM: [%d]", cur_rss_mem);
            }
            if (!F_memory_chack()) {
                LOG_MSG(LVL_ERROR, "failed to check memory");
            }
            break;
        default:
            break;
        }
        sleep(PASS_SLEEP_SECONDS);
    }
}
