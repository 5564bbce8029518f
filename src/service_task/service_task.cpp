#include "service_task.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/work_with_files.h"
#include "../data_ut.h"

namespace {

// The command line of a process is read with this many bytes, as the lookup
// by name reads it.
enum { CMDLINE_READ_SIZE = 513 };
// A log line shows at most one byte less than this of a command line.
enum { CMDLINE_SHOWN_SIZE = 200 };

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

int pid_is_main(int pid, char* what, int what_size) {
    char cmdline[CMDLINE_READ_SIZE];
    int got = is_killable_pid(pid) ? read_cmdline_of_pid(pid, cmdline, sizeof(cmdline)) : -1;
    if (got < 0) {
        snprintf(what, static_cast<size_t>(what_size), "no such process");
        return -1;
    }
    if (cmdline_is_main(cmdline, got)) {
        snprintf(what, static_cast<size_t>(what_size), "main");
        return 1;
    }
    // The arguments joined by blanks, as ps shows them; the last one's NUL
    // ends the text. Whoever started the process chose these bytes: the log
    // call shows their control bytes escaped.
    for (int i = 0; i < got - 1; ++i) {
        if (cmdline[i] == '\0') {
            cmdline[i] = ' ';
        }
    }
    int whole = static_cast<int>(strlen(cmdline)) < CMDLINE_SHOWN_SIZE;
    snprintf(what, static_cast<size_t>(what_size), "runs [%.*s]%s", CMDLINE_SHOWN_SIZE - 1, cmdline,
             whole ? "" : " (cut)");
    return 0;
}

namespace {

// The end of a check that read no memory of main: counted as 0, so the next
// check comes after the pacing limit of a small main, as with a status file
// that cannot be read.
void end_check_without_memory() {
    cur_rss_mem = 0;
    set_memory_check_sp();
    mem_check_step = 0;
    cur_state = STATE_CHECK_MEM;
}

} // namespace

int F_memory_chack() {
    cur_state = STATE_CHECK_MEM;
    if (!memory_check_due()) {
        return 1;
    }
    // A pid file that leaves the pid unread ("abc") keeps the one read last.
    int pid = main_pid_id;
    if (!get_main_pid_from_file(MAIN_PID_FILE, &pid)) {
        LOG_MSG(LVL_WARNING, "failed to get pid id of main from file");
        return 0;
    }
    // The file outlives main: after main ended its pid may be any process's.
    // Such a pid file is refused, at the pace of a check within the limit.
    // A pid that names no process at all is main's that has ended: its
    // memory cannot be read, and counts as 0.
    char what[PID_WHAT_SIZE];
    const int is_main = pid_is_main(pid, what, sizeof(what));
    if (is_main == 0) {
        LOG_MSG(LVL_WARNING, "pid %d from file is not main: %s", pid, what);
        LOG_MSG(LVL_WARNING, "failed to get pid id of main from file");
        end_check_without_memory();
        return 0;
    }
    main_pid_id = pid;
    char status_path[256];
    snprintf(status_path, sizeof(status_path), PROC_STATUS_FORMAT, main_pid_id);
    if (is_main < 0 || !get_memory_from_status_file(status_path, &cur_rss_mem)) {
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
    const int from_file = get_main_pid_from_file(MAIN_PID_FILE, &pid);
    if (!from_file) {
        LOG_MSG(LVL_WARNING, "failed to get pid id of main from file");
        pid = proc_find_by_name("main");
    }
    // A missing pid file gives the time 0 and so counts as old. A time in
    // the future (the clock was set back after main started) tells nothing
    // of main's age: it does not hold the kill back.
    int32_t started = get_modify_time_of_file(MAIN_PID_FILE);
    long long age = seconds_since_file_time(started, static_cast<long long>(time(nullptr)));
    if (age < 0) {
        LOG_MSG(LVL_WARNING, "pid file time is %lld sec in the future, the kill is not held back",
                -age);
    } else if (age < MIN_MAIN_AGE_FOR_KILL) {
        sleep(YOUNG_MAIN_PAUSE_SECONDS);
        return 1;
    }
    // Read right before the kill: main may have ended since the check, and
    // its pid been given to another process.
    if (from_file) {
        char what[PID_WHAT_SIZE];
        if (pid_is_main(pid, what, sizeof(what)) != 1) {
            LOG_MSG(LVL_WARNING, "pid %d from file is not main: %s", pid, what);
            LOG_MSG(LVL_WARNING, "failed to get pid id of main from file");
            pid = proc_find_by_name("main");
        }
    }
    if (pid == -1) {
        return 1;
    }
    kill_process(pid);
    LOG_MSG(LVL_WARNING, "application [main] was killed");
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
