#include "temporaries.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/work_with_files.h"
#include "files.h"
#include "messages.h"

// The signal handler only unlinks and removes folders through system calls,
// which may run in a signal handler.

namespace {

enum { TEMPORARIES = 4 };

struct temporary {
    volatile sig_atomic_t armed;
    int kind;
    char path[PATH_MAX];
};

temporary g_temporaries[TEMPORARIES];

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// Removes the entries of a folder (path without a trailing "/" or with it)
// with system calls only.
void remove_folder_entries(const char* folder) {
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    alignas(8) char buffer[4096];
    // Each pass reads the folder from its start; a pass that finds nothing
    // to remove (or removes nothing) ends the work.
    for (int removed = 1; removed > 0;) {
        removed = 0;
        // The C library's thin wrapper of the system call (glibc and the
        // WebAssembly build's C library alike).
        long got =
            getdents64(fd, static_cast<struct dirent*>(static_cast<void*>(buffer)), sizeof(buffer));
        if (got <= 0) {
            break;
        }
        for (long at = 0; at < got;) {
            // struct linux_dirent64: inode (8), offset (8), record length (2),
            // type (1), name.
            unsigned short length;
            memcpy(&length, buffer + at + 16, sizeof(length));
            const char* name = buffer + at + 19;
            if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
                if (unlinkat(fd, name, 0) == 0 || unlinkat(fd, name, AT_REMOVEDIR) == 0) {
                    ++removed;
                }
            }
            at += length;
        }
        lseek(fd, 0, SEEK_SET);
    }
    close(fd);
}

void remove_temporary_now(const temporary* t) {
    if (t->kind == TEMP_FILE) {
        unlink(t->path);
        return;
    }
    remove_folder_entries(t->path);
    if (t->kind == TEMP_FOLDER) {
        rmdir(t->path);
    }
}

void on_ending_signal(int signal_number) {
    for (temporary& t : g_temporaries) {
        if (t.armed) {
            remove_temporary_now(&t);
            t.armed = 0;
        }
    }
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Flushes a finished file to its medium before it is renamed into place.
int sync_file(const char* path) {
    scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    return fd && fsync(fd.get()) == 0 ? 1 : 0;
}

// Writes all of data; 0 with errno set when it cannot (ENOSPC for a write
// that takes nothing).
int write_whole(int fd, const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    return 1;
}

} // namespace

signals_held::signals_held() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kEndingSignals) {
        sigaddset(&set, s);
    }
    sigprocmask(SIG_BLOCK, &set, &old);
}

signals_held::~signals_held() {
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void catch_ending_signals() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    for (int s : kEndingSignals) {
        sigaddset(&action.sa_mask, s);
    }
    for (int s : kEndingSignals) {
        sigaction(s, &action, nullptr);
    }
}

int hold_temporary(int kind, const char* path) {
    for (int i = 0; i < TEMPORARIES; ++i) {
        temporary& t = g_temporaries[i];
        if (!t.armed) {
            t.kind = kind;
            snprintf(t.path, sizeof(t.path), "%s", path);
            t.armed = 1;
            return i;
        }
    }
    return -1;
}

void let_go(int slot) {
    if (slot >= 0) {
        g_temporaries[slot].armed = 0;
    }
}

void remove_temporary(int slot) {
    if (slot >= 0 && g_temporaries[slot].armed) {
        remove_temporary_now(&g_temporaries[slot]);
        g_temporaries[slot].armed = 0;
    }
}

int temp_file_beside(const char* target, char* out, int size) {
    char folder[PATH_MAX];
    char base[PATH_MAX];
    parent_folder(target, folder, sizeof(folder));
    base_name(target, base, sizeof(base));
    if (snprintf(out, static_cast<size_t>(size), "%s/.%s.ut_pack-XXXXXX", folder, base) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    signals_held held;
    scoped_fd fd(mkstemp(out));
    if (!fd) {
        return -1;
    }
    return hold_temporary(TEMP_FILE, out);
}

int temp_folder(char* out, int size) {
    if (snprintf(out, static_cast<size_t>(size), "%s/.ut_pack-XXXXXX", temp_root()) >= size - 1) {
        errno = ENAMETOOLONG;
        return -1;
    }
    signals_held held;
    if (mkdtemp(out) == nullptr) {
        return -1;
    }
    const int slot = hold_temporary(TEMP_FOLDER, out);
    strcat(out, "/");
    return slot;
}

int put_in_place(int slot, const char* temp, const char* target, const struct stat* old) {
    // A temporary file is private (0600); the result gets the target's bits,
    // or those of any new file.
    chmod(temp, old != nullptr ? old->st_mode & 07777 : 0666 & ~current_umask());
    return move_into_place(slot, temp, target);
}

int move_into_place(int slot, const char* temp, const char* target) {
    if (!sync_file(temp) || rename(temp, target) != 0) {
        error("cannot write %s: %s", esc(target), strerror(errno));
        remove_temporary(slot);
        return 0;
    }
    let_go(slot);
    return 1;
}

int write_beside(const char* target, const char* data, size_t length, mode_t mode, char* temp,
                 int size) {
    const int slot = temp_file_beside(target, temp, size);
    if (slot < 0) {
        error("cannot write beside %s: %s", esc(target), strerror(errno));
        return -1;
    }
    scoped_fd fd(open(temp, O_WRONLY | O_CLOEXEC));
    if (!fd || !write_whole(fd.get(), data, length) || fchmod(fd.get(), mode) != 0 ||
        fd.close() != 0) {
        error("cannot write %s: %s", esc(target), strerror(errno));
        remove_temporary(slot);
        return -1;
    }
    return slot;
}

int transform_through_copy(const char* path, int (*transform)(const char*)) {
    if (!is_regular_file(path)) {
        return 0;
    }
    struct stat st;
    stat(path, &st);
    char temp[PATH_MAX];
    const int slot = temp_file_beside(path, temp, sizeof(temp));
    if (slot < 0) {
        error("cannot make a temporary file beside %s: %s", esc(path), strerror(errno));
        return 0;
    }
    errno = 0;
    if (!copy_one_file(path, temp) || !transform(temp)) {
        const int saved = errno;
        if (is_host_error(saved)) {
            error("%s: not changed: cannot write beside it: %s", esc(path), strerror(saved));
        } else {
            error("%s: not changed: %s", esc(path), library_reason());
        }
        remove_temporary(slot);
        return 0;
    }
    return put_in_place(slot, temp, path, &st);
}

int copy_for_move(const char* from, const char* to) {
    scoped_fd in(open(from, O_RDONLY | O_CLOEXEC));
    if (!in) {
        return 0;
    }
    scoped_fd out(open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out) {
        return 0;
    }
    char buffer[8192];
    for (;;) {
        ssize_t got = read(in.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return 0;
        }
        if (got == 0) {
            break;
        }
        if (!write_whole(out.get(), buffer, static_cast<size_t>(got))) {
            return 0;
        }
    }
    if (fsync(out.get()) != 0) {
        return 0;
    }
    return out.close() == 0 ? 1 : 0;
}
