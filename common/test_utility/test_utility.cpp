#include "test_utility.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"

namespace {

enum { PATH_SIZE = 256 };

// The folder path without its final "/": with it, lstat and open would
// follow a symbolic link of that name. 0 when it does not fit.
int folder_without_slash(const char* folder, char* out, int size) {
    int length = snprintf(out, static_cast<size_t>(size), "%s", folder);
    if (length >= size) {
        return 0;
    }
    while (length > 1 && out[length - 1] == '/') {
        out[--length] = '\0';
    }
    return 1;
}

// Removes one entry of the opened folder by its name, never through a link:
// a symbolic link goes as a link, a hidden sub-folder only when it is empty.
int remove_entry(int dir_fd, const char* name) {
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 1 : 0;
    }
    int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
    return unlinkat(dir_fd, name, flags) == 0 || errno == ENOENT ? 1 : 0;
}

} // namespace

int get_full_file_name(const char* folder, const char* name, char* out, int size) {
    return snprintf(out, static_cast<size_t>(size), "%s%s", folder, name);
}

int is_file_existed(const char* path) {
    return is_f_existed(path);
}

int is_name_taken(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 ? 1 : 0;
}

int delete_test_file(const char* path) {
    if (!is_file_existed(path)) {
        return 1;
    }
    return remove(path) == 0 ? 1 : 0;
}

int delete_test_folder(const char* folder) {
    char own[PATH_SIZE];
    if (!folder_without_slash(folder, own, sizeof(own))) {
        return 0;
    }
    struct stat st;
    if (lstat(own, &st) != 0) {
        return 1; // absent
    }
    if (S_ISLNK(st.st_mode)) {
        return unlink(own) == 0 || errno == ENOENT ? 1 : 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        return 1; // not a folder: nothing to remove
    }
    // The folder is opened once and emptied through that handle, so that a
    // link put in its place meanwhile leads nowhere.
    scoped_fd fd(open(own, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        return errno == ENOENT ? 1 : 0;
    }
    struct stat opened;
    struct stat parent;
    if (fstat(fd.get(), &opened) != 0 || fstatat(fd.get(), "..", &parent, 0) != 0) {
        return 0;
    }
    // Another file system mounted here: its files are not ours to remove.
    if (opened.st_dev != parent.st_dev) {
        return 0;
    }
    int list_fd = dup(fd.get());
    if (list_fd < 0) {
        return 0;
    }
    scoped_dir d(fdopendir(list_fd));
    if (!d) {
        close(list_fd);
        return 0;
    }
    char path[PATH_SIZE];
    while (struct dirent* entry = readdir(d.get())) {
        // The directory bit of the type code; block devices and sockets
        // carry it too and are refused like folders.
        if ((entry->d_type & DT_DIR) != 0 && entry->d_name[0] != '.') {
            return 0;
        }
        if (strcmp(entry->d_name, "..") == 0 || strcmp(entry->d_name, ".") == 0) {
            continue;
        }
        // A cut path would name another file: the entry stays, and so does
        // the folder.
        if (get_full_file_name(folder, entry->d_name, path, sizeof(path)) >=
            static_cast<int>(sizeof(path))) {
            return 0;
        }
        if (!remove_entry(fd.get(), entry->d_name)) {
            return 0;
        }
    }
    d.close();
    fd.close();
    return rmdir(own) == 0 ? 1 : 0;
}

int create_test_folder(const char* path) {
    scoped_dir d(opendir(path));
    if (d) {
        return 1;
    }
    return mkdir(path, 0700) == 0 ? 1 : 0;
}

int create_fresh_folder(const char* folder, folder_id* id) {
    char own[PATH_SIZE];
    if (!folder_without_slash(folder, own, sizeof(own))) {
        return 0;
    }
    if (mkdir(own, 0700) != 0) {
        return 0;
    }
    // The mode against the file-creation mask, on the folder just made
    // (not on whatever may have taken its name since).
    scoped_fd fd(open(own, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() || fchmod(fd.get(), 0700) != 0) {
        return 0;
    }
    if (id != nullptr) {
        id->dev = static_cast<unsigned long long>(st.st_dev);
        id->ino = static_cast<unsigned long long>(st.st_ino);
    }
    return 1;
}

int is_same_private_folder(const char* folder, const folder_id* id) {
    char own[PATH_SIZE];
    struct stat st;
    if (!folder_without_slash(folder, own, sizeof(own)) || lstat(own, &st) != 0) {
        return 0;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0 &&
                   static_cast<unsigned long long>(st.st_dev) == id->dev &&
                   static_cast<unsigned long long>(st.st_ino) == id->ino
               ? 1
               : 0;
}

int change_file_mode(const char* path, int mode) {
    struct stat named;
    if (lstat(path, &named) != 0 || !S_ISREG(named.st_mode)) {
        return 0;
    }
    scoped_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!fd || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        return 0;
    }
    return fchmod(fd.get(), static_cast<mode_t>(mode)) == 0 ? 1 : 0;
}
