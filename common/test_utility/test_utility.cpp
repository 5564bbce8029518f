#include "test_utility.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"

int get_full_file_name(const char* folder, const char* name, char* out, int size) {
    return snprintf(out, static_cast<size_t>(size), "%s%s", folder, name);
}

int is_file_existed(const char* path) {
    return is_f_existed(path);
}

int delete_test_file(const char* path) {
    if (!is_file_existed(path)) {
        return 1;
    }
    return remove(path) == 0 ? 1 : 0;
}

int delete_test_folder(const char* folder) {
    scoped_dir d(opendir(folder));
    if (!d) {
        return 1;
    }
    char path[256];
    while (struct dirent* entry = readdir(d.get())) {
        // The directory bit of the type code; block devices and sockets
        // carry it too and are refused like folders.
        if ((entry->d_type & DT_DIR) != 0 && entry->d_name[0] != '.') {
            return 0;
        }
        if (strcmp(entry->d_name, "..") == 0 || strcmp(entry->d_name, ".") == 0) {
            continue;
        }
        get_full_file_name(folder, entry->d_name, path, sizeof(path));
        if (!delete_test_file(path)) {
            return 0;
        }
    }
    d.close();
    return rmdir(folder) == 0 ? 1 : 0;
}

int create_test_folder(const char* path) {
    scoped_dir d(opendir(path));
    if (d) {
        return 1;
    }
    return mkdir(path, 0700) == 0 ? 1 : 0;
}
