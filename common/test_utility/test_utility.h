// File and folder helpers. Folder paths end in "/" and names are joined to
// them by plain concatenation. Results are 1 for success or a true answer.
//
// The folders these helpers remove and make may lie in a folder that others
// can write (the application suite's home): no removal follows a symbolic
// link, none reaches through a mount point, and no path that a join would cut
// is used at all.
#pragma once

#include <stdio.h>
#include <sys/statvfs.h>

// Writes folder followed by name into out (cut to size - 1 characters) and
// returns the length of the whole join.
int get_full_file_name(const char* folder, const char* name, char* out, int size);

// 1 when the path can be opened for reading.
int is_file_existed(const char* path);

// 1 when anything has that name. A symbolic link counts as itself: its
// target is never looked at, nor is any file opened.
int is_name_taken(const char* path);

// 1 when the path is absent or was removed.
int delete_test_file(const char* path);

// Removes the files directly in a folder and then the folder itself. Stops
// with 0 at the first sub-folder whose name does not begin with ".".
// An absent folder counts as removed. A symbolic link by the folder's name is
// removed as a link, and its target is untouched. A folder that is a mount
// point is not touched (0), and neither is an entry whose joined path would
// not fit 255 characters (0). The held folder (see below), given by its name,
// is emptied through its handle, removed only while its name still stands for
// it (whatever else stands there is left), and let go.
int delete_test_folder(const char* folder);

// 1 when the folder exists or was created (mode 0700, last component only).
int create_test_folder(const char* path);

// Makes the folder anew: 1 only when this call created it, as a folder of
// this process's user with mode 0700 whatever the file-creation mask. Anything
// by that name already there makes it 0.
int create_fresh_folder(const char* folder);

// ---------------------------------------------------------------------------
// The held folder
//
// A folder that the process made inside a folder that others can write (the
// application suite's home), and then holds open. Whoever can write the
// parent can rename the folder away and put another in its place at any
// moment; the name is never trusted again after the folder was made. While it
// is held, every helper of this module and of the package, copy and work-list
// modules that is given a path of the held folder's name followed by a bare
// file name reaches that file through the handle (openat, never following a
// link), whatever the name stands for by then. Log lines still show the name.

// Makes the folder (its path ends in "/") with mkdirat on a handle of its
// parent, opens it without following a link and checks through the handle
// that it is the folder just made: this process's user's, a folder, mode 0700
// whatever the file-creation mask, empty. 1 when it is held from now on (an
// earlier one is let go first). Anything by that name already there makes it 0.
int hold_fresh_folder(const char* folder);

// Lets the held folder go (nothing when none is held).
void release_held_folder();

// The handle of the held folder, or -1.
int held_folder_fd();

// 1 when the name still stands for the held folder.
int is_held_folder_at_its_name();

// The bare name inside the held folder for a path of its name followed by a
// bare file name; nullptr for any other path, or when nothing is held.
const char* name_in_held_folder(const char* path);

// A path by which another process of this user reaches name inside the held
// folder through this process's handle, whatever the folder's name stands for:
// "/proc/<pid>/fd/<fd>/<name>". The length of the whole path (as snprintf), or
// -1 when nothing is held.
int held_folder_path(const char* name, char* out, int size);

// statvfs of a folder; the held folder's (its name) through its handle.
int statvfs_folder(const char* folder, struct statvfs* out);

// open(2) (O_CLOEXEC added) of a path; one inside the held folder is opened
// through the handle and never through a link.
int open_path(const char* path, int flags, int mode = 0);

// fopen for the modes "r", "rb", "rb+", "ab", "ab+", "wb", the same way.
FILE* fopen_path(const char* path, const char* mode);

// The same, without a buffer of the stream's own (see open_unbuffered).
FILE* fopen_path_unbuffered(const char* path, const char* mode);

// Sets the permission bits of a regular file, without a shell and without
// following a symbolic link: the change reaches exactly that file or nothing.
int change_file_mode(const char* path, int mode);
