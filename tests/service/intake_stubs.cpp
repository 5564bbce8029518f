// Stand-ins for the start-up handlers of the daemon, for running its service
// phase (states 26 and 30) on its own: no USB storage is ever found, so the
// first pass goes straight to the service settings. A test fixture only; the
// daemon itself is linked with the real handlers.

#include "src/data_ut.h"
#include "src/start_task/execute_task.h"
#include "src/start_task/search_task.h"
#include "src/start_task/search_usb.h"

int F_search_for_usb() {
    cur_state = STATE_GET_SETTINGS;
    return 1;
}

int F_search_for_task() {
    cur_state = STATE_GET_SETTINGS;
    return 1;
}

int F_execute_work_list() {
    cur_state = STATE_GET_SETTINGS;
    return 1;
}
