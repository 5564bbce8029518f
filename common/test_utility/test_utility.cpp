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

// The held folder: its handle, its parent's, and its name with the "/".
struct held_folder {
    int fd;
    int parent_fd;
    char name[PATH_SIZE + 1]; // "/home/velmarok/ut_temp/"
    char last[PATH_SIZE];     // "ut_temp"
    int parent_warned;        // the parent's write access was reported
};

held_folder g_held = {-1, -1, "", "", 0};

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

// A listing of an opened folder from its first entry, on a copy of the
// handle (which shares its position with the handle itself).
scoped_dir open_listing(int fd) {
    int list_fd = dup(fd);
    if (list_fd < 0) {
        return scoped_dir();
    }
    scoped_dir d(fdopendir(list_fd));
    if (!d) {
        close(list_fd);
        return d;
    }
    rewinddir(d.get());
    return d;
}

// Empties the held folder through its handle.
int empty_held_folder() {
    scoped_dir d = open_listing(g_held.fd);
    if (!d) {
        return 0;
    }
    while (struct dirent* entry = readdir(d.get())) {
        if (strcmp(entry->d_name, "..") == 0 || strcmp(entry->d_name, ".") == 0) {
            continue;
        }
        if (!remove_entry(g_held.fd, entry->d_name)) {
            return 0;
        }
    }
    return 1;
}

} // namespace

int get_full_file_name(const char* folder, const char* name, char* out, int size) {
    return snprintf(out, static_cast<size_t>(size), "%s%s", folder, name);
}

int is_file_existed(const char* path) {
    if (name_in_held_folder(path) != nullptr) {
        scoped_fd fd(open_path(path, O_RDONLY | O_NONBLOCK));
        return fd ? 1 : 0;
    }
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
    const char* name = name_in_held_folder(path);
    if (name != nullptr) {
        return remove_entry(g_held.fd, name);
    }
    return remove(path) == 0 ? 1 : 0;
}

int delete_test_folder(const char* folder) {
    // The held folder is emptied through its handle, wherever it is by now,
    // removed through its parent's handle while its name still stands for it,
    // and let go. Whatever else stands at the name was put there by whoever
    // can write the parent, and is left as it is: the name is not trusted.
    if (g_held.fd >= 0 && strcmp(folder, g_held.name) == 0) {
        int done = empty_held_folder();
        if (done && is_held_folder_at_its_name()) {
            done = unlinkat(g_held.parent_fd, g_held.last, AT_REMOVEDIR) == 0 ? 1 : 0;
        }
        release_held_folder();
        return done;
    }
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
    scoped_dir d = open_listing(fd.get());
    if (!d) {
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

int create_fresh_folder(const char* folder) {
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
    return 1;
}

namespace {

// 1 when the opened folder has nothing in it but "." and "..".
int is_empty_folder(int fd) {
    scoped_dir d = open_listing(fd);
    if (!d) {
        return 0;
    }
    while (struct dirent* entry = readdir(d.get())) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            return 0;
        }
    }
    return 1;
}

// Said once: a file that a script reads by its absolute path in the held
// folder is the package's only while nobody but root can write the parent.
void report_open_parent(int parent_fd, const char* parent) {
    struct stat st;
    if (g_held.parent_warned || fstat(parent_fd, &st) != 0) {
        return;
    }
    if (st.st_uid != 0 || (st.st_mode & 022) != 0) {
        g_held.parent_warned = 1;
        LOG_MSG(LVL_WARNING,
                "folder above the temp folder can be written by other users than root: %s "
                "(owner %u, mode %04o)",
                parent, static_cast<unsigned>(st.st_uid),
                static_cast<unsigned>(st.st_mode & 07777));
    }
}

} // namespace

int hold_fresh_folder(const char* folder) {
    release_held_folder();
    char own[PATH_SIZE];
    if (!folder_without_slash(folder, own, sizeof(own))) {
        return 0;
    }
    char* slash = strrchr(own, '/');
    if (slash == nullptr || slash[1] == '\0') {
        return 0;
    }
    char parent[PATH_SIZE];
    snprintf(parent, sizeof(parent), "%.*s/", static_cast<int>(slash - own), own);
    const char* last = slash + 1;
    scoped_fd parent_fd(open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent_fd) {
        return 0;
    }
    report_open_parent(parent_fd.get(), parent);
    if (mkdirat(parent_fd.get(), last, 0700) != 0) {
        return 0;
    }
    scoped_fd fd(openat(parent_fd.get(), last, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    // Renamed away and replaced between the two calls: another's folder, one
    // open to others, or one with something in it is not the folder made.
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        fchmod(fd.get(), 0700) != 0 || !is_empty_folder(fd.get())) {
        return 0;
    }
    snprintf(g_held.name, sizeof(g_held.name), "%s/", own);
    snprintf(g_held.last, sizeof(g_held.last), "%s", last);
    g_held.fd = dup(fd.get());
    g_held.parent_fd = dup(parent_fd.get());
    if (g_held.fd < 0 || g_held.parent_fd < 0) {
        release_held_folder();
        return 0;
    }
    // dup drops O_CLOEXEC: set again, so that no script inherits the handles.
    fcntl(g_held.fd, F_SETFD, FD_CLOEXEC);
    fcntl(g_held.parent_fd, F_SETFD, FD_CLOEXEC);
    return 1;
}

void release_held_folder() {
    if (g_held.fd >= 0) {
        close(g_held.fd);
    }
    if (g_held.parent_fd >= 0) {
        close(g_held.parent_fd);
    }
    g_held.fd = -1;
    g_held.parent_fd = -1;
    g_held.name[0] = '\0';
    g_held.last[0] = '\0';
}

int held_folder_fd() {
    return g_held.fd;
}

int is_held_folder_at_its_name() {
    struct stat named;
    struct stat held;
    if (g_held.fd < 0 || fstat(g_held.fd, &held) != 0 ||
        fstatat(g_held.parent_fd, g_held.last, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return 0;
    }
    return named.st_dev == held.st_dev && named.st_ino == held.st_ino ? 1 : 0;
}

const char* name_in_held_folder(const char* path) {
    if (g_held.fd < 0) {
        return nullptr;
    }
    size_t length = strlen(g_held.name);
    if (strncmp(path, g_held.name, length) != 0) {
        return nullptr;
    }
    const char* name = path + length;
    if (name[0] == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
        strcmp(name, "..") == 0) {
        return nullptr;
    }
    return name;
}

int held_folder_path(const char* name, char* out, int size) {
    if (g_held.fd < 0) {
        return -1;
    }
    return snprintf(out, static_cast<size_t>(size), "/proc/%d/fd/%d/%s", static_cast<int>(getpid()),
                    g_held.fd, name);
}

int statvfs_folder(const char* folder, struct statvfs* out) {
    if (g_held.fd >= 0 && strcmp(folder, g_held.name) == 0) {
        return fstatvfs(g_held.fd, out);
    }
    return statvfs(folder, out);
}

int open_path(const char* path, int flags, int mode) {
    const char* name = name_in_held_folder(path);
    if (name != nullptr) {
        return openat(g_held.fd, name, flags | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    }
    return open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
}

FILE* fopen_path(const char* path, const char* mode) {
    int flags = 0;
    if (mode[0] == 'r') {
        flags = strchr(mode, '+') != nullptr ? O_RDWR : O_RDONLY;
    } else if (mode[0] == 'a') {
        flags = (strchr(mode, '+') != nullptr ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    } else if (mode[0] == 'w') {
        flags = (strchr(mode, '+') != nullptr ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    } else {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open_path(path, flags, 0666);
    if (fd < 0) {
        return nullptr;
    }
    FILE* f = fdopen(fd, mode);
    if (f == nullptr) {
        close(fd);
    }
    return f;
}

FILE* fopen_path_unbuffered(const char* path, const char* mode) {
    FILE* f = fopen_path(path, mode);
    if (f != nullptr) {
        setvbuf(f, nullptr, _IONBF, 0);
    }
    return f;
}

int change_file_mode(const char* path, int mode) {
    if (name_in_held_folder(path) != nullptr) {
        scoped_fd held(open_path(path, O_RDONLY | O_NONBLOCK));
        struct stat st;
        return held && fstat(held.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                       fchmod(held.get(), static_cast<mode_t>(mode)) == 0
                   ? 1
                   : 0;
    }
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
