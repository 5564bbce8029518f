// ut_pack's temporary files and folders: recorded when made, and removed on
// every path, also when a signal ends the tool (Ctrl-C, kill, a closed
// pipe). Files are written under a temporary name beside their target and
// renamed into place, so that a failure never leaves a half-written file.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/stat.h>

enum { TEMP_FILE, TEMP_FOLDER, TEMP_FOLDER_CONTENTS };

// While a temporary is made and recorded, the ending signals wait.
struct signals_held {
    sigset_t old;
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

// Makes the ending signals remove every recorded temporary before the tool
// ends by them.
void catch_ending_signals();

// Records a temporary that exists; the caller holds the signals. Its slot,
// or -1 when every place is taken (the tool never holds that many).
int hold_temporary(int kind, const char* path);

// Forgets a temporary that is no longer one (moved into place).
void let_go(int slot);

// Removes a temporary now.
void remove_temporary(int slot);

// Makes an empty temporary file beside `target`, recorded for removal; its
// path goes into out. The slot, or -1 with errno set.
int temp_file_beside(const char* target, char* out, int size);

// Makes a private folder in the temporary root (its path ends in "/"),
// recorded for removal. The slot, or -1 with errno set.
int temp_folder(char* out, int size);

// Moves a finished temporary file over its target, keeping the target's
// permission bits when it existed (old), else those of any new file. 1 on
// success; else says so and removes the temporary.
int put_in_place(int slot, const char* temp, const char* target, const struct stat* old);

// The same with the temporary's own permission bits.
int move_into_place(int slot, const char* temp, const char* target);

// Writes a small file beside `target` under a temporary name, with the
// permission bits `mode`, flushed to its medium: the slot (its path in temp),
// or -1 after saying why. move_into_place then gives it its name.
int write_beside(const char* target, const char* data, size_t length, mode_t mode, char* temp,
                 int size);

// Transforms a file in place through a copy beside it, so that a failure
// never leaves it half transformed. 1 on success; else says why.
int transform_through_copy(const char* path, int (*transform)(const char*));

// Copies a file to a new one, keeping errno of the failing step.
int copy_for_move(const char* from, const char* to);
