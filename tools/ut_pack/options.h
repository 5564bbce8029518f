// ut_pack's options: each command declares its options in a table, and they
// are taken anywhere after the command's name ("--" ends them). "-v" (the
// library's lines) and "--help" are known to every command.
#pragma once

struct option {
    const char* name;   // "--force", "-t"
    int* flag;          // a flag: set to 1
    const char** value; // an option with a value (null until given), at most once
    // An option that may be given again: each value in turn, at most
    // `most` of them.
    const char** values;
    int* count;
    int most;
};

// Takes the options out of argv (the arguments after the command's name):
// the other arguments are left in order at its start, their number in
// *argc. 1 to go on; 0 with the exit status in *status when the command
// is done (its help shown) or misused (said why).
int take_options(int* argc, char** argv, const option* options, int count, int* status);

// The help of the command g_command names, on standard output (main.cpp).
void print_command_help();
