#include "service_task.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/work_with_files.h"
#include "../data_ut.h"

namespace {

// Runs "kill -9 <pid>" through the shell and waits for it; its result is not
// looked at, as a process that is already gone needs no kill.
void kill_process(int pid) {
    char command[128];
    snprintf(command, sizeof(command), "kill -9 %d", pid);
    (void)system(command);
}

} // namespace

int F_get_settings() {
    main_regim = 0;
    if (!is_file_existed(SERVICE_SETTINGS_FILE)) {
        return 0;
    }
    int value = 0;
    if (!get_service_settings_from_file(SERVICE_SETTINGS_FILE, &value)) {
        return 0;
    }
    main_regim = value;
    return 1;
}

int is_killable_pid(int pid) {
    return pid > 0 ? 1 : 0;
}

void set_memory_check_sp() {
    mem_step_count_sp =
        cur_rss_mem > LARGE_MEMORY_KB ? LARGE_MEMORY_CHECK_SP : SMALL_MEMORY_CHECK_SP;
}

int memory_check_due() {
    if (mem_check_step < mem_step_count_sp) {
        ++mem_check_step;
        return 0;
    }
    return 1;
}

int F_memory_chack() {
    cur_state = STATE_CHECK_MEM;
    if (!memory_check_due()) {
        return 1;
    }
    if (!get_main_pid_from_file(MAIN_PID_FILE, &main_pid_id)) {
        LOG_MSG(LVL_WARNING, "failed to get pid id of main from file");
        return 0;
    }
    char status_path[256];
    snprintf(status_path, sizeof(status_path), PROC_STATUS_FORMAT, main_pid_id);
    if (!get_memory_from_status_file(status_path, &cur_rss_mem)) {
        LOG_MSG(LVL_ERROR, "failed to get rss_memory from: %s", status_path);
        cur_rss_mem = 0;
    }
    set_memory_check_sp();
    if (cur_rss_mem > MEMORY_LIMIT_KB) {
        LOG_MSG(LVL_ERROR, "used memory = %d, can be overflow - need restart main", cur_rss_mem);
        cur_rss_mem = 0;
        main_pid_id = 0;
        mem_check_step = 0;
        mem_step_count_sp = 0;
        return restart_program();
    }
    mem_check_step = 0;
    cur_state = STATE_CHECK_MEM;
    return 1;
}

int restart_program() {
    int pid = -1;
    if (!get_main_pid_from_file(MAIN_PID_FILE, &pid)) {
        LOG_MSG(LVL_WARNING, "failed to get pid id of main from file");
        pid = proc_find_by_name("main");
    }
    // A missing pid file gives the time 0 and so counts as old.
    int32_t started = get_modify_time_of_file(MAIN_PID_FILE);
    if (seconds_since_file_time(started, static_cast<long long>(time(nullptr))) <
        MIN_MAIN_AGE_FOR_KILL) {
        sleep(YOUNG_MAIN_PAUSE_SECONDS);
        return 1;
    }
    if (pid == -1) {
        return 1;
    }
    if (is_killable_pid(pid)) {
        kill_process(pid);
        LOG_MSG(LVL_WARNING, "application [main] was killed");
    } else {
        // Such a pid would reach a whole process group, or every process
        // with the daemon among them: main is taken as not found.
        LOG_MSG(LVL_ERROR, "pid of main from file is not valid: %d, main is not killed", pid);
    }
    int journaler = proc_find_by_name("journaler");
    if (journaler != -1) {
        kill_process(journaler);
        LOG_MSG(LVL_WARNING, "application [journaler] was killed");
    }
    int archiver = proc_find_by_name("archiver");
    if (archiver != -1) {
        kill_process(archiver);
        LOG_MSG(LVL_WARNING, "application [archiver] was killed");
    }
    cur_state = STATE_GET_SETTINGS;
    return 1;
}
