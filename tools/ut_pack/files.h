// ut_pack's paths and files: joins, the temporary root, and the checks a
// path passes before the library is given it.
#pragma once

#include <stddef.h>
#include <sys/types.h>

mode_t current_umask();

// Joins a folder (ending in "/") and a name; 0 when the path would be cut.
int join(char* out, size_t size, const char* folder, const char* name);

// A folder path with the "/" the library's joins expect; 0 when cut.
int folder_with_slash(const char* folder, char* out, int size);

// The folder that holds a path, and the last component of a path.
void parent_folder(const char* path, char* out, int size);
void base_name(const char* path, char* out, int size);

// Where private folders go: $TMPDIR, else /tmp.
const char* temp_root();

// 1 when the library can take the path whole; else says so, with `what`
// after the length.
int library_takes(const char* path, const char* what);

// 1 when the path is a regular file, not a link to one; else says why.
// Opened without waiting, so that a FIFO or a device never holds the tool
// up.
int is_regular_file(const char* path);

// 1 for a reason of the system that lies with the host, not with the
// package or the file (a full disk, a read-only one, permissions...).
int is_host_error(int error_number);
