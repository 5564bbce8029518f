// File and folder helpers. Folder paths end in "/" and names are joined to
// them by plain concatenation. Results are 1 for success or a true answer.
#pragma once

// Writes folder followed by name into out (cut to size - 1 characters) and
// returns the length of the whole join.
int get_full_file_name(const char* folder, const char* name, char* out, int size);

// 1 when the path can be opened for reading.
int is_file_existed(const char* path);

// 1 when the path is absent or was removed.
int delete_test_file(const char* path);

// Removes the files directly in a folder and then the folder itself. Stops
// with 0 at the first sub-folder whose name does not begin with ".".
// An absent folder counts as removed.
int delete_test_folder(const char* folder);

// 1 when the folder exists or was created (mode 0700, last component only).
int create_test_folder(const char* path);
