// State 24: carries out the loaded work list.
#pragma once

// Walks the work list to its end or its first failing row; moves to state 26
// and returns 1.
int F_execute_work_list();

// Runs the script row `name` from the temporary folder.
int exec_script(const char* name);

// Runs the built-in function row `name`.
int exec_function(const char* name);
