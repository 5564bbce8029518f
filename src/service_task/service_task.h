// States 26 and 30: the service settings and the memory watch of the main
// application, with the kill of the application suite.
#pragma once

// The board's files that the service watch reads. The main application
// writes its pid file when it starts, so the file's time is its start time.
#define MAIN_PID_FILE "/home/velmarok/var/velmarok.pid"
#define SERVICE_SETTINGS_FILE "/home/settings_main_ut"
#define PROC_STATUS_FORMAT "/proc/%d/status"

enum {
    // The highest resident memory of the main application tolerated, in kB
    // (600 MB); above it the application suite is killed.
    MEMORY_LIMIT_KB = 600 * 1024,
    // Above this resident memory (kB) the watch checks every 3rd pass,
    // up to it every 11th.
    LARGE_MEMORY_KB = 100 * 1024 - 1,
    SMALL_MEMORY_CHECK_SP = 10,
    LARGE_MEMORY_CHECK_SP = 2,
    // A main application younger than this (seconds) is not killed yet.
    MIN_MAIN_AGE_FOR_KILL = 60,
    // The pause of a pass whose kill is held back by that age.
    YOUNG_MAIN_PAUSE_SECONDS = 5,
};

// Reads "/home/settings_main_ut" into main_regim; 1 when it held a value.
int F_get_settings();

// One pass of the memory watch; 0 when the pid file cannot be read (on every
// pass) or names a process other than main (at the pace of a check). A pid
// that names no process is read as main's memory that cannot be read: 0.
int F_memory_chack();

// Sets the pacing limit from the memory found: 2 passes above 102399 kB, else 10.
void set_memory_check_sp();

// Pacing of the memory watch: counts this pass and returns 0 while fewer
// passes than mem_step_count_sp were counted since the last check; 1 when
// this pass checks.
int memory_check_due();

// Kills main, journaler and archiver, unless the pid file is younger than
// 60 s. The pid file's pid is killed only while main runs under it.
int restart_program();

// 1 when a pid may be handed to "kill -9 %d": 0 and negative values would
// address a process group or every process.
int is_killable_pid(int pid);

// Room for what pid_is_main says runs under a pid.
enum { PID_WHAT_SIZE = 256 };

// 1 when process pid is the main application by its command line, read now
// (cmdline_is_main). Otherwise what (what_size bytes) says what runs under
// pid: 0 and "runs [<command line>]", its arguments joined by blanks (raw:
// the log call escapes them), or -1 and "no such process".
int pid_is_main(int pid, char* what, int what_size);
