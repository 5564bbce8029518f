// The supervisor's global state: the current state, the service mode, what the
// USB search found, and the counters of the memory watch.
#pragma once

#include "../common/test_utility/test_utility.h"
#include "../common/test_utility/work_with_files.h"

enum {
    STATE_USB_SEARCH = 20,
    STATE_TASK_SEARCH = 22,
    STATE_TASK_EXECUTE = 24,
    STATE_GET_SETTINGS = 26,
    STATE_CHECK_MEM = 30,
};

extern int cur_state;         // the state the next loop pass serves
extern int main_regim;        // service mode; 0 means the memory watch runs
extern int usb_detected;      // 1 once a USB storage device was found
extern int task_detected;     // 1 once a work list was loaded from a package
extern char sdx[16];          // kernel name of the device to use: sdb or sdb1
extern char dev_path[256];    // folder of the device's files, ending in "/"
extern int count_mem_check;   // passes in state 30 since the last heartbeat line
extern int cur_rss_mem;       // main application's VmRSS in kB at the last check
extern int main_pid_id;       // main application's pid as last read
extern int mem_check_step;    // passes counted since the last memory check
extern int mem_step_count_sp; // passes to count before the next memory check

// The work list loaded from the task package, carried out in state 24.
extern work_list_table work_list;

// The daemon's temporary folder: the task package is unpacked here and the
// work list's scripts run from here.
#define UT_TEMP_FOLDER "/home/velmarok/ut_temp/"

// Gives the supervisor globals their start values.
void init_vars();
