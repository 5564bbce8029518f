// States 26 and 30: the service settings and the memory watch of the main
// application, with the kill of the application suite.
#pragma once

// Reads "/home/settings_main_ut" into main_regim; 1 when it held a value.
int F_get_settings();

// One pass of the memory watch; 0 when the pid file cannot be read.
int F_memory_chack();

// Sets the pacing limit from the memory found: 2 passes above 102399 kB, else 10.
void set_memory_check_sp();

// Kills main, journaler and archiver, unless the pid file is younger than 60 s.
int restart_program();
