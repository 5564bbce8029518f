// File and folder helpers. Folder paths end in "/" and names are joined to
// them by plain concatenation. Results are 1 for success or a true answer.
//
// The folders these helpers remove and make may lie in a folder that others
// can write (the application suite's home): no removal follows a symbolic
// link, none reaches through a mount point, and no path that a join would cut
// is used at all.
#pragma once

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
// not fit 255 characters (0).
int delete_test_folder(const char* folder);

// 1 when the folder exists or was created (mode 0700, last component only).
int create_test_folder(const char* path);

// Which folder a name stood for when it was made: a folder that others
// can rename away and replace is known again only by its device and inode.
struct folder_id {
    unsigned long long dev;
    unsigned long long ino;
};

// Makes the folder anew: 1 only when this call created it, as a folder of
// this process's user with mode 0700 whatever the file-creation mask. Anything
// by that name already there makes it 0. The folder made goes to id.
int create_fresh_folder(const char* folder, folder_id* id = nullptr);

// 1 when the name still stands for the folder id, not a link, still this
// process's user's and closed to everybody else.
int is_same_private_folder(const char* folder, const folder_id* id);

// Sets the permission bits of a regular file, without a shell and without
// following a symbolic link: the change reaches exactly that file or nothing.
int change_file_mode(const char* path, int mode);
