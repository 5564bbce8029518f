#include "data_ut.h"

int cur_state;
int main_regim;
int usb_detected;
int task_detected;
char sdx[16];
char dev_path[256];
int count_mem_check;
int cur_rss_mem;
int main_pid_id;
int mem_check_step;
int mem_step_count_sp;
work_list_table work_list;

void init_vars() {
    main_regim = 0;
    cur_state = STATE_USB_SEARCH;
    sdx[0] = 0;
    dev_path[0] = 0;
    usb_detected = 0;
    task_detected = 0;
    cur_rss_mem = 0;
    main_pid_id = 0;
    mem_check_step = 0;
    mem_step_count_sp = 0;
    count_mem_check = 0;
}
