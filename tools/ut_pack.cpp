// ut_pack: builds, checks and scrambles the task packages that usb_tools
// takes in from a USB stick, with the same library code as the daemon, so
// that a package it calls good is one the daemon accepts and runs well.
//
// Exit status: 0 success, 1 a check or an operation failed, 2 a usage error.
// Messages go to standard error, results to standard output. Every name that
// comes from outside (a package, a folder, the command line) is printed
// escaped: control bytes show as \xNN and never reach the terminal.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/log/log_c.h"
#include "common/test_utility/file_pack.h"
#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/scramble.h"
#include "common/test_utility/test_utility.h"
#include "common/test_utility/text_escape.h"
#include "common/test_utility/work_with_files.h"
#include "package_check.h"
#include "tool_messages.h"
#include "ut_pack_sign.h"

namespace {

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

#define UT_PACK_VERSION "8"
#define WORK_LIST_NAME "work_list.f"
// The one name under which the daemon looks for a package on the stick, and
// under which it copies the package into its temporary folder before it
// unpacks it there; checks do the same in a private folder.
#define PACKAGE_NAME "command.f"
#define PACKAGE_COPY_NAME "command.f"

// The library joins paths into buffers of 256 bytes: longer paths would be
// cut and name another file.
enum { LIBRARY_PATH_MAX = 255 };

// Bytes 9 to 65 of a description block carry the text.
enum { DESCRIPTION_BLOCK_SIZE = 66, DESCRIPTION_TEXT_MAX = DESCRIPTION_BLOCK_SIZE - 9 };

// ---------------------------------------------------------------------------
// Output

// An outside text made fit to print: escape_text into one of a few rotating
// buffers, each large enough for a path escaped whole.
const char* esc(const char* text) {
    static char buffers[4][4 * PATH_MAX + 1];
    static int next = 0;
    char* out = buffers[next];
    next = (next + 1) % 4;
    escape_text(text, out, sizeof(buffers[0]));
    return out;
}

// A line of the library with its control bytes shown as \xNN. The
// backslash stays as it is: the library may have escaped the names in it.
void show_library_text(const char* text, char* out, size_t size) {
    escape_control_bytes(text, out, static_cast<int>(size));
}

// The library's last error line, as the reason of a failed step.
const char* library_reason() {
    static char shown[4 * 512 + 1];
    const char* last = log_last_error();
    show_library_text(last[0] != '\0' ? last : "no reason given", shown, sizeof(shown));
    return shown;
}

// The library's progress lines (-v) pass through here on their way to
// standard error: one write a line, its control bytes shown but its own
// line end kept.
ssize_t write_library_lines(void*, const char* data, size_t size) {
    char line[4 * 1024 + 2];
    char text[1024 + 1];
    size_t length = size < sizeof(text) - 1 ? size : sizeof(text) - 1;
    memcpy(text, data, length);
    text[length] = '\0';
    const int ends_line = length > 0 && text[length - 1] == '\n';
    if (ends_line) {
        text[length - 1] = '\0';
    }
    show_library_text(text, line, sizeof(line) - 1);
    if (ends_line) {
        strcat(line, "\n");
    }
    size_t done = 0;
    const size_t total = strlen(line);
    while (done < total) {
        ssize_t n = write(STDERR_FILENO, line + done, total - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

FILE* library_line_stream() {
    cookie_io_functions_t functions = {nullptr, write_library_lines, nullptr, nullptr};
    FILE* stream = fopencookie(nullptr, "w", functions);
    if (stream == nullptr) {
        return stderr;
    }
    // Unbuffered: each line of the library reaches the filter in one piece.
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// ---------------------------------------------------------------------------
// Temporary files and folders: removed on every path, also when a signal
// ends the tool (Ctrl-C, kill). The handler only unlinks and removes folders
// through system calls, which may run in a signal handler.

enum { TEMP_FILE, TEMP_FOLDER, TEMP_FOLDER_CONTENTS, TEMPORARIES = 4 };

struct temporary {
    volatile sig_atomic_t armed;
    int kind;
    char path[PATH_MAX];
};

temporary g_temporaries[TEMPORARIES];

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// While a temporary is made and recorded, the ending signals wait.
struct signals_held {
    sigset_t old;
    signals_held() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kEndingSignals) {
            sigaddset(&set, s);
        }
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

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
        long got = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
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

// Records a temporary that exists; the caller holds the signals. -1 when
// every place is taken (the tool never holds that many).
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

// Forgets a temporary that is no longer one (moved into place).
void let_go(int slot) {
    if (slot >= 0) {
        g_temporaries[slot].armed = 0;
    }
}

// Removes a temporary now.
void remove_temporary(int slot) {
    if (slot >= 0 && g_temporaries[slot].armed) {
        remove_temporary_now(&g_temporaries[slot]);
        g_temporaries[slot].armed = 0;
    }
}

// ---------------------------------------------------------------------------
// Files and folders of the tool

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Joins a folder (ending in "/") and a name; 0 when the path would be cut.
int join(char* out, size_t size, const char* folder, const char* name) {
    const size_t a = strlen(folder);
    const size_t b = strlen(name);
    if (a + b >= size) {
        return 0;
    }
    memcpy(out, folder, a);
    memcpy(out + a, name, b + 1);
    return 1;
}

// A folder path with the "/" the library's joins expect.
int folder_with_slash(const char* folder, char* out, int size) {
    size_t len = strlen(folder);
    int n = snprintf(out, static_cast<size_t>(size), "%s%s", folder,
                     len > 0 && folder[len - 1] == '/' ? "" : "/");
    return n < size ? 1 : 0;
}

// The folder that holds a path (for temporary files beside it).
void parent_folder(const char* path, char* out, int size) {
    char copy[PATH_MAX];
    snprintf(copy, sizeof(copy), "%s", path);
    snprintf(out, static_cast<size_t>(size), "%s", dirname(copy));
}

// The last component of a path.
void base_name(const char* path, char* out, int size) {
    char copy[PATH_MAX];
    snprintf(copy, sizeof(copy), "%s", path);
    snprintf(out, static_cast<size_t>(size), "%s", basename(copy));
}

// Where private folders go: $TMPDIR, else /tmp.
const char* temp_root() {
    const char* root = getenv("TMPDIR");
    return root != nullptr && root[0] == '/' ? root : "/tmp";
}

// 1 when the library can take the path whole; else says so.
int library_takes(const char* path, const char* what) {
    const size_t length = strlen(path);
    if (length <= LIBRARY_PATH_MAX) {
        return 1;
    }
    error("%s: path too long: %zu bytes%s; the library takes paths of at most %d bytes", esc(path),
          length, what, LIBRARY_PATH_MAX);
    return 0;
}

// Makes an empty temporary file beside `target`, recorded for removal; its
// path goes into out. The slot, or -1 with errno set.
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

// Makes a private folder in the temporary root (its path ends in "/"),
// recorded for removal. The slot, or -1 with errno set.
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

// 1 when the path is a regular file; else says why. Opened without waiting,
// so that a FIFO or a device never holds the tool up.
int is_regular_file(const char* path) {
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        error("cannot read %s: %s", esc(path), strerror(errno));
        return 0;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        error("cannot read %s: %s", esc(path), strerror(errno));
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        error("%s is not a regular file", esc(path));
        return 0;
    }
    return 1;
}

// Flushes a finished file to its medium before it is renamed into place.
int sync_file(const char* path) {
    scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    return fd && fsync(fd.get()) == 0 ? 1 : 0;
}

// Moves a finished temporary file over its target, keeping the target's
// permission bits when it existed.
int put_in_place(int slot, const char* temp, const char* target, const struct stat* old) {
    // A temporary file is private (0600); the result gets the target's bits,
    // or those of any new file.
    chmod(temp, old != nullptr ? old->st_mode & 07777 : 0666 & ~current_umask());
    if (!sync_file(temp) || rename(temp, target) != 0) {
        error("cannot write %s: %s", esc(target), strerror(errno));
        remove_temporary(slot);
        return 0;
    }
    let_go(slot);
    return 1;
}

// A reason of the system that lies with the host, not with the package or
// the file.
int is_host_error(int error_number) {
    switch (error_number) {
    case ENOSPC:
    case EDQUOT:
    case EIO:
    case EROFS:
    case EACCES:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case EFBIG:
    case ENAMETOOLONG:
        return 1;
    default:
        return 0;
    }
}

// Transforms a file in place through a copy beside it, so that a failure
// never leaves it half transformed.
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

// Copies a file, keeping errno of the failing step.
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
        for (ssize_t done = 0; done < got;) {
            ssize_t n = write(out.get(), buffer + done, static_cast<size_t>(got - done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (n == 0) {
                    errno = ENOSPC;
                }
                return 0;
            }
            done += n;
        }
    }
    if (fsync(out.get()) != 0) {
        return 0;
    }
    return out.close() == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The daemon's intake, played in a private folder

int is_plain_record(const packed_info* info) {
    return info->pack_struct_size == PACK_INFO_SIZE &&
           info->entries[0].start_pointer == PACK_INFO_SIZE;
}

struct intake {
    char folder[PATH_MAX];  // the daemon's temporary folder, ends in "/"
    char package[PATH_MAX]; // the package's copy in it
    int slot;
    long long length;
    int scrambled;
    packed_info info; // the record, unscrambled
    int info_read;
    int crc_known;
    uint16_t stored_crc;
    uint16_t computed_crc;
    long long needed_length; // what the record describes, checksum included
    int taken_in;            // the package was unpacked
    char refusal[4 * 512 + 1];
    int has_work_list;
    int work_list_loaded;
    char work_list_why[4 * 512 + 1];
    work_list_table list;
    folder_listing files; // the files the daemon's folder holds afterwards
};

// The bytes a record describes: its entries' data end, and the checksum.
long long described_length(const packed_info* info) {
    long long end = PACK_INFO_SIZE;
    for (int i = 0; i < info->files_count && i < PACK_MAX_FILES; ++i) {
        const packed_entry* e = &info->entries[i];
        if (e->size > 0 && e->start_pointer >= 0 &&
            static_cast<long long>(e->start_pointer) + e->size > end) {
            end = static_cast<long long>(e->start_pointer) + e->size;
        }
    }
    return end + 2;
}

// 1 when the unscrambled record is one the daemon's reader takes: a wrong
// record, not the host, is then the reason of a failed unpacking.
int record_is_refused(const intake* in) {
    const packed_info* info = &in->info;
    if (in->crc_known && in->scrambled && in->stored_crc != in->computed_crc) {
        return 1;
    }
    if (in->scrambled && info->pack_struct_size != info->entries[0].start_pointer) {
        return 1;
    }
    if (info->files_count < 0 || info->files_count > PACK_MAX_FILES) {
        return 1;
    }
    for (int i = 0; i < info->files_count; ++i) {
        const char* name = info->entries[i].name;
        if (info->entries[i].start_pointer < 0 || memchr(name, '\0', PACK_NAME_SIZE) == nullptr ||
            name[0] == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
            strcmp(name, "..") == 0 || has_control_bytes(name)) {
            return 1;
        }
    }
    return 0;
}

// Reads the record and the checksums of the copy, unscrambling a scrambled
// copy for the look and scrambling it back, so that the daemon's own steps
// then start from the package as it travels.
int look_at_copy(intake* in) {
    packed_info raw;
    if (!get_info_of_packed(in->package, &raw)) {
        return 1; // not a package: the daemon's steps say so below
    }
    in->scrambled = !is_plain_record(&raw);
    if (in->scrambled && !crypt_file(in->package)) {
        return 0;
    }
    in->info_read = get_info_of_packed(in->package, &in->info);
    in->crc_known = read_crc16_of_file(in->package, 0, &in->stored_crc) &&
                    calc_crc16_of_file(in->package, 2, &in->computed_crc);
    in->needed_length = described_length(&in->info);
    return !in->scrambled || crypt_file(in->package);
}

// The daemon's reason, without the private folder's path: the names in it
// are those of the package.
void refusal_without_folder(intake* in, const char* reason) {
    if (!in->info_read) {
        snprintf(in->refusal, sizeof(in->refusal),
                 "not a package: %lld bytes, fewer than its %d-byte record", in->length,
                 PACK_INFO_SIZE);
        return;
    }
    const size_t skip = strlen(in->folder);
    size_t n = 0;
    for (const char* p = reason; *p != '\0' && n + 1 < sizeof(in->refusal);) {
        if (strncmp(p, in->folder, skip) == 0) {
            p += skip;
            continue;
        }
        in->refusal[n++] = *p++;
    }
    in->refusal[n] = '\0';
}

void end_intake(intake* in) {
    remove_temporary(in->slot);
}

// Takes the package in as the daemon does: copies it into an emptied folder,
// unpacks it there, deletes the copy, finds and loads the work list. 0 after
// saying why when the host failed (the package's faults are in `in`).
int take_in(const char* package, intake* in, const minisign_keyring* keys = nullptr) {
    memset(in, 0, sizeof(*in));
    in->slot = -1;
    if (!is_regular_file(package)) {
        return 0;
    }
    in->slot = temp_folder(in->folder, sizeof(in->folder));
    if (in->slot < 0) {
        error("cannot make a temporary folder in %s: %s", esc(temp_root()), strerror(errno));
        return 0;
    }
    if (strlen(in->folder) + PACKAGE_NAME_MAX > LIBRARY_PATH_MAX) {
        error("the temporary folder %s is too long for the library (at most %d bytes with a "
              "name): set TMPDIR to a shorter one",
              esc(temp_root()), LIBRARY_PATH_MAX - PACKAGE_NAME_MAX - 17);
        end_intake(in);
        return 0;
    }
    join(in->package, sizeof(in->package), in->folder, PACKAGE_COPY_NAME);
    struct stat st;
    if (!copy_one_file(package, in->package) || stat(in->package, &st) != 0) {
        error("cannot copy %s into a temporary folder in %s: %s", esc(package), esc(temp_root()),
              strerror(errno));
        end_intake(in);
        return 0;
    }
    in->length = static_cast<long long>(st.st_size);
    if (!look_at_copy(in)) {
        error("cannot read %s in a temporary folder in %s: %s", esc(package), esc(temp_root()),
              strerror(errno));
        end_intake(in);
        return 0;
    }
    // With keys, the board's signature check comes first, on the copy.
    if (keys != nullptr &&
        !check_signature_for_board("verify", package, in->folder, in->package, keys)) {
        end_intake(in);
        return 0;
    }

    errno = 0;
    in->taken_in = unpack_files(in->package, in->folder);
    const int unpack_errno = errno;
    refusal_without_folder(in, library_reason());
    if (!in->taken_in && in->info_read && !record_is_refused(in) && is_host_error(unpack_errno)) {
        // A sound package that could not be written out: the host's fault.
        error("cannot unpack %s in a temporary folder in %s: %s", esc(package), esc(temp_root()),
              strerror(unpack_errno));
        end_intake(in);
        return 0;
    }
    if (!in->taken_in) {
        return 1;
    }
    delete_test_file(in->package);
    char list_path[PATH_MAX];
    join(list_path, sizeof(list_path), in->folder, WORK_LIST_NAME);
    in->has_work_list = is_file_existed(list_path);
    if (in->has_work_list) {
        in->work_list_loaded = get_work_list_from_file(list_path, &in->list);
        if (!in->work_list_loaded &&
            !explain_work_list(list_path, in->work_list_why, sizeof(in->work_list_why))) {
            snprintf(in->work_list_why, sizeof(in->work_list_why), "%s", library_reason());
        }
    }
    list_folder_files(in->folder, &in->files);
    return 1;
}

// The faults that make verify fail; each said as an error (or, for list,
// counted only). Returns their number.
int package_faults(const char* package, const intake* in, int say) {
    int faults = 0;
    if (!in->taken_in) {
        if (say) {
            error("%s: the daemon refuses the package: %s", esc(package), in->refusal);
        }
        return 1;
    }
    if (in->crc_known && in->stored_crc != in->computed_crc) {
        ++faults;
        if (say) {
            error("%s: the checksum does not match (stored 0x%04x, computed 0x%04x): the "
                  "package is damaged%s",
                  esc(package), in->stored_crc, in->computed_crc,
                  in->scrambled ? "" : " (the board would take a plain one in all the same)");
        }
    }
    if (in->length < in->needed_length) {
        ++faults;
        if (say) {
            error("%s: cut short: %lld bytes where its record needs %lld", esc(package), in->length,
                  in->needed_length);
        }
    }
    if (!in->has_work_list) {
        ++faults;
        if (say) {
            error("%s: no %s in the package: the daemon would not run it", esc(package),
                  WORK_LIST_NAME);
        }
    } else if (!in->work_list_loaded) {
        ++faults;
        if (say) {
            error("%s: the daemon refuses %s: %s", esc(package), WORK_LIST_NAME, in->work_list_why);
        }
    }
    return faults;
}

// ---------------------------------------------------------------------------
// What the board will run badly: warnings, which `create` turns into a
// refusal unless forced.

// Warns about every row that has something to say; row errors become
// errors when `as_errors`. Returns the number of warnings given.
int warn_rows(const work_list_table* list, const row_review* reviews, int as_errors) {
    int warnings = 0;
    for (int i = 0; i < list->count; ++i) {
        const row_review* r = &reviews[i];
        if (r->error && as_errors) {
            error("%s row %d: %s", WORK_LIST_NAME, i + 1, r->note);
        } else if (r->error || r->warning) {
            warning("%s row %d: %s", WORK_LIST_NAME, i + 1, r->note);
            warnings += r->warning;
        }
    }
    return warnings;
}

// Warnings about the work list as a whole and the package's name.
int warn_package(const char* package, const char* list_path, const work_list_table* list,
                 const folder_listing* files) {
    int warnings = 0;
    if (listing_has(files, PACKAGE_COPY_NAME)) {
        ++warnings;
        warning("a file named %s is lost on the board: the daemon keeps its copy of the package "
                "under that name in the folder it unpacks into, and deletes it",
                PACKAGE_COPY_NAME);
    }
    if (work_list_does_nothing(list)) {
        ++warnings;
        warning("%s has no row the daemon acts on (%s runs a script, %s a built-in): the "
                "package does nothing",
                WORK_LIST_NAME, TASK_ROW_SCRIPT, TASK_ROW_FUNCTION);
    }
    if (line_ends_of_file(list_path) == LINE_ENDS_CR_ONLY) {
        ++warnings;
        warning("%s has line ends of a carriage return alone: the daemon reads such lines as "
                "one and runs its first row only",
                WORK_LIST_NAME);
    }
    char base[PATH_MAX];
    base_name(package, base, sizeof(base));
    if (strcmp(base, PACKAGE_NAME) != 0) {
        ++warnings;
        warning("%s: the daemon takes in a package named %s only: give it that name on the "
                "stick",
                esc(package), PACKAGE_NAME);
    }
    return warnings;
}

void print_rows(const work_list_table* list, const row_review* reviews) {
    printf("work list: %d rows\n", static_cast<int>(list->count));
    printf("  %-3s %-6s %-34s %s\n", "#", "code", "name", "the daemon");
    for (int i = 0; i < list->count; ++i) {
        const task_row* row = &list->rows[i];
        const row_review* r = &reviews[i];
        char code[4 * TASK_ROW_STATE_SIZE + 3];
        snprintf(code, sizeof(code), "<%s>", esc(row->state));
        printf("  %-3d %-6s %-34s %s%s%s\n", i + 1, code, esc(row->name), row_fate_text(r->fate),
               r->note[0] != '\0' ? ": " : "", r->note);
    }
}

// ---------------------------------------------------------------------------
// Commands

int cmd_create(int argc, char** argv) {
    int scramble = 0;
    int force = 0;
    int at = 0;
    const char* sign_key = nullptr;      // --sign SECRET_KEY
    const char* password_file = nullptr; // --password-file FILE
    for (; at < argc && argv[at][0] == '-'; ++at) {
        if (strcmp(argv[at], "--scramble") == 0) {
            scramble = 1;
        } else if (strcmp(argv[at], "--force") == 0) {
            force = 1;
        } else if (strcmp(argv[at], "--sign") == 0 && at + 1 < argc) {
            sign_key = argv[++at];
        } else if (strcmp(argv[at], "--password-file") == 0 && at + 1 < argc) {
            password_file = argv[++at];
        } else {
            error("unknown option %s (see ut_pack create --help)", esc(argv[at]));
            return EXIT_USAGE;
        }
    }
    if (argc - at != 2) {
        error("expects [--sign SECRET_KEY [--password-file FILE]] [--scramble] [--force] FOLDER "
              "PACKAGE (see ut_pack create --help)");
        return EXIT_USAGE;
    }
    const char* folder_arg = argv[at];
    const char* package = argv[at + 1];
    char folder[PATH_MAX];
    if (!folder_with_slash(folder_arg, folder, sizeof(folder))) {
        error("folder path too long: %s", esc(folder_arg));
        return EXIT_USAGE;
    }

    static folder_listing files;
    char why[4 * 512 + 1];
    if (!list_folder_for_package(folder_arg, &files, why, sizeof(why))) {
        error("%s", why);
        return EXIT_FAILED;
    }
    if (!listing_has(&files, WORK_LIST_NAME)) {
        error("no %s in %s: the daemon would not run the package", WORK_LIST_NAME, esc(folder_arg));
        return EXIT_FAILED;
    }
    char list_path[PATH_MAX];
    if (!join(list_path, sizeof(list_path), folder, WORK_LIST_NAME) ||
        !library_takes(list_path, "")) {
        return EXIT_USAGE;
    }
    static work_list_table list;
    if (!get_work_list_from_file(list_path, &list)) {
        if (!explain_work_list(list_path, why, sizeof(why))) {
            snprintf(why, sizeof(why), "%s", library_reason());
        }
        error("the daemon refuses %s: %s", esc(list_path), why);
        return EXIT_FAILED;
    }
    static row_review reviews[WORK_LIST_ROWS];
    int errors = review_work_list(&list, &files, folder, reviews);
    int warnings = warn_rows(&list, reviews, 1);
    warnings += warn_package(package, list_path, &list, &files);
    if (errors > 0) {
        error("%d row(s) of %s the daemon would fail: nothing written", errors, WORK_LIST_NAME);
        return EXIT_FAILED;
    }
    if (warnings > 0 && !force) {
        error("%d warning(s): the board would run this package badly; nothing written "
              "(--force writes it all the same)",
              warnings);
        return EXIT_FAILED;
    }

    // The package goes where the user says, never into the folder packed.
    char real_folder[PATH_MAX];
    char package_parent[PATH_MAX];
    char real_parent[PATH_MAX];
    parent_folder(package, package_parent, sizeof(package_parent));
    if (realpath(folder_arg, real_folder) != nullptr &&
        realpath(package_parent, real_parent) != nullptr && strcmp(real_folder, real_parent) == 0) {
        error("%s is inside %s: write the package elsewhere", esc(package), esc(folder_arg));
        return EXIT_USAGE;
    }

    long long total = PACK_INFO_SIZE + 2;
    for (int i = 0; i < files.count; ++i) {
        struct stat st;
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s%s", folder, files.names[i]);
        if (stat(path, &st) == 0) {
            total += static_cast<long long>(st.st_size);
        }
    }
    if (total > INT32_MAX) {
        error("%lld bytes: a package stays below 2 GiB", total);
        return EXIT_FAILED;
    }

    char temp[PATH_MAX];
    const int slot = temp_file_beside(package, temp, sizeof(temp));
    if (slot < 0) {
        error("cannot write beside %s: %s", esc(package), strerror(errno));
        return EXIT_FAILED;
    }
    if (!library_takes(temp, " with the temporary name it is written under")) {
        remove_temporary(slot);
        return EXIT_USAGE;
    }
    static pack_writer writer;
    errno = 0;
    int ok = pack_begin(&writer, temp);
    for (int i = 0; ok && i < files.count; ++i) {
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s%s", folder, files.names[i]);
        ok = pack_add_file(&writer, path, files.names[i]);
    }
    ok = ok && pack_finish(&writer);
    ok = ok && (!scramble || crypt_file(temp));
    if (!ok) {
        const int saved = errno;
        if (is_host_error(saved)) {
            error("cannot write %s: %s", esc(package), strerror(saved));
        } else {
            error("packing failed: %s", library_reason());
        }
        remove_temporary(slot);
        return EXIT_FAILED;
    }
    struct stat old;
    if (!put_in_place(slot, temp, package, stat(package, &old) == 0 ? &old : nullptr)) {
        return EXIT_FAILED;
    }
    struct stat st;
    stat(package, &st);
    printf("%s: %d files, %lld bytes, %s\n", esc(package), files.count,
           static_cast<long long>(st.st_size), scramble ? "scrambled" : "plain");
    if (sign_key != nullptr && !sign_package("create", sign_key, password_file, nullptr, package)) {
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

// One entry's name as it may be printed, also when it fills its 32 bytes.
const char* entry_name(const packed_entry* e) {
    char name[PACK_NAME_SIZE + 1];
    memcpy(name, e->name, PACK_NAME_SIZE);
    name[PACK_NAME_SIZE] = '\0';
    return esc(name);
}

int cmd_list(int argc, char** argv) {
    if (argc != 1) {
        error("expects PACKAGE (see ut_pack list --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    static intake in;
    if (!take_in(package, &in)) {
        return EXIT_FAILED;
    }
    const packed_info* info = &in.info;
    printf("package: %s\n", esc(package));
    if (in.info_read) {
        printf("  %s, %lld bytes, %d entries\n", in.scrambled ? "scrambled" : "plain", in.length,
               static_cast<int>(info->files_count));
    } else {
        printf("  %lld bytes\n", in.length);
    }
    if (in.crc_known) {
        printf("  checksum: stored 0x%04x, computed 0x%04x: %s\n", in.stored_crc, in.computed_crc,
               in.stored_crc == in.computed_crc ? "match" : "MISMATCH: the package is damaged");
    }
    if (in.info_read && in.length < in.needed_length) {
        printf("  cut short: %lld bytes where its record needs %lld\n", in.length,
               in.needed_length);
    }
    if (!in.taken_in) {
        printf("  the daemon refuses it: %s\n", in.refusal);
    }
    report_signature_file(package);
    if (in.info_read && info->files_count >= 0 && info->files_count <= PACK_MAX_FILES) {
        printf("  %-3s %-32s %10s %10s\n", "#", "name", "offset", "size");
        for (int i = 0; i < info->files_count; ++i) {
            const packed_entry* e = &info->entries[i];
            printf("  %-3d %-32s %10d %10d\n", i + 1, entry_name(e),
                   static_cast<int>(e->start_pointer), static_cast<int>(e->size));
        }
    }
    if (in.taken_in && in.work_list_loaded) {
        // The rows as the daemon will walk them: from the work list it
        // unpacked, entries of the same name joined.
        static row_review reviews[WORK_LIST_ROWS];
        review_work_list(&in.list, &in.files, in.folder, reviews);
        print_rows(&in.list, reviews);
    } else if (in.taken_in) {
        printf("work list: none the daemon can load: %s\n",
               in.has_work_list ? in.work_list_why : "no " WORK_LIST_NAME " in the package");
    }
    const int faults = package_faults(package, &in, 0);
    end_intake(&in);
    return faults > 0 ? EXIT_FAILED : EXIT_OK;
}

int cmd_verify(int argc, char** argv) {
    static minisign_keyring keys;
    int keys_given = 0;
    if (!take_key_options("verify", &argc, argv, &keys, &keys_given)) {
        return EXIT_FAILED;
    }
    if (argc != 1) {
        error("expects [--key PUBLIC_KEY]... PACKAGE (see ut_pack verify --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    static intake in;
    if (!take_in(package, &in, keys_given > 0 ? &keys : nullptr)) {
        return EXIT_FAILED;
    }
    int status = package_faults(package, &in, 1) > 0 ? EXIT_FAILED : EXIT_OK;
    if (in.taken_in && in.work_list_loaded) {
        // What the board will run badly, from the files as the daemon has
        // them.
        static row_review reviews[WORK_LIST_ROWS];
        char list_path[PATH_MAX];
        join(list_path, sizeof(list_path), in.folder, WORK_LIST_NAME);
        review_work_list(&in.list, &in.files, in.folder, reviews);
        warn_rows(&in.list, reviews, 0);
        static folder_listing entries;
        entries.count = 0;
        for (int i = 0; i < in.info.files_count && i < PACKAGE_MAX_FILES; ++i) {
            snprintf(entries.names[entries.count++], sizeof(entries.names[0]), "%.31s",
                     in.info.entries[i].name);
        }
        warn_package(package, list_path, &in.list, &entries);
    }
    if (status == EXIT_OK) {
        printf("%s: good: the daemon takes it in and loads its work list (%d rows)\n", esc(package),
               static_cast<int>(in.list.count));
        if (keys_given == 0) {
            report_signature_file(package);
        }
    }
    end_intake(&in);
    return status;
}

int cmd_extract(int argc, char** argv) {
    if (argc != 2) {
        error("expects PACKAGE FOLDER (see ut_pack extract --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    const char* target = argv[1];
    char target_folder[PATH_MAX];
    if (!folder_with_slash(target, target_folder, sizeof(target_folder))) {
        error("folder path too long: %s", esc(target));
        return EXIT_USAGE;
    }
    struct stat st;
    const int target_exists = stat(target, &st) == 0;
    if (target_exists) {
        scoped_dir dir(opendir(target));
        if (!dir) {
            error("%s is not a folder that can be read: %s", esc(target), strerror(errno));
            return EXIT_USAGE;
        }
        while (struct dirent* e = readdir(dir.get())) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                error("%s is not empty: the daemon unpacks into an emptied folder", esc(target));
                return EXIT_USAGE;
            }
        }
    }
    static intake in;
    if (!take_in(package, &in)) {
        return EXIT_FAILED;
    }
    if (!in.taken_in) {
        error("%s: the daemon refuses the package: %s", esc(package), in.refusal);
        end_intake(&in);
        return EXIT_FAILED;
    }
    // The files go into the folder, also on another file system: moved
    // where a rename can, copied where it cannot.
    int slot;
    {
        signals_held held;
        if (!target_exists && mkdir(target, 0777) != 0) {
            error("cannot make the folder %s: %s", esc(target), strerror(errno));
            end_intake(&in);
            return EXIT_FAILED;
        }
        slot = hold_temporary(target_exists ? TEMP_FOLDER_CONTENTS : TEMP_FOLDER, target);
    }
    folder_listing all;
    list_folder_files(in.folder, &all);
    for (int i = 0; i < all.count; ++i) {
        char from[PATH_MAX];
        char to[PATH_MAX];
        if (!join(from, sizeof(from), in.folder, all.names[i]) ||
            !join(to, sizeof(to), target_folder, all.names[i])) {
            error("cannot write into %s: path too long", esc(target));
            remove_temporary(slot);
            end_intake(&in);
            return EXIT_FAILED;
        }
        if (rename(from, to) != 0 && (errno != EXDEV || !copy_for_move(from, to))) {
            error("cannot write %s into %s: %s", esc(all.names[i]), esc(target), strerror(errno));
            remove_temporary(slot);
            end_intake(&in);
            return EXIT_FAILED;
        }
    }
    let_go(slot);
    end_intake(&in);
    for (int i = 0; i < all.count; ++i) {
        printf("%s%s\n", esc(target_folder), esc(all.names[i]));
    }
    return EXIT_OK;
}

int cmd_scramble(int argc, char** argv) {
    if (argc != 1) {
        error("expects FILE (see ut_pack scramble --help)");
        return EXIT_USAGE;
    }
    if (!transform_through_copy(argv[0], crypt_file)) {
        return EXIT_FAILED;
    }
    packed_info info;
    const char* now = "scrambled";
    if (get_info_of_packed(argv[0], &info) && is_plain_record(&info)) {
        now = "a plain package again";
    }
    printf("%s: %s (the same command undoes it)\n", esc(argv[0]), now);
    return EXIT_OK;
}

int cmd_db_scramble(int argc, char** argv) {
    if (argc != 1) {
        error("expects FILE (see ut_pack db-scramble --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    if (!is_regular_file(path)) {
        return EXIT_FAILED;
    }
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size < ENCRYPT_SECTOR_SIZE) {
        error("%s has %lld bytes: a database to scramble has at least %d", esc(path),
              static_cast<long long>(st.st_size), ENCRYPT_SECTOR_SIZE);
        return EXIT_FAILED;
    }
    int was_plain = is_encrypted(path) == 0;
    if (is_descriptioned(path)) {
        warning("%s carries a description block: its length keys the scrambling", esc(path));
    }
    if (!transform_through_copy(path, encrypt_db)) {
        return EXIT_FAILED;
    }
    printf("%s: %s\n", esc(path), was_plain ? "scrambled" : "restored");
    return EXIT_OK;
}

int cmd_db_status(int argc, char** argv) {
    if (argc != 1) {
        error("expects FILE (see ut_pack db-status --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    if (!is_regular_file(path)) {
        return EXIT_FAILED;
    }
    printf("%s: %s\n", esc(path),
           is_encrypted(path) == 0 ? "plain database" : "scrambled (no database header)");
    unsigned char block[DESCRIPTION_BLOCK_SIZE];
    if (is_descriptioned(path)) {
        scoped_file g(fopen(path, "rb"));
        int have = g && fseeko(g.get(), -DESCRIPTION_BLOCK_SIZE, SEEK_END) == 0 &&
                   fread(block, 1, sizeof(block), g.get()) == sizeof(block);
        char text[DESCRIPTION_TEXT_MAX + 1];
        snprintf(text, sizeof(text), "%.*s", DESCRIPTION_TEXT_MAX,
                 have ? reinterpret_cast<const char*>(block + 9) : "(unreadable)");
        printf("description block: %s\n", esc(text));
    } else {
        printf("description block: none\n");
    }
    return EXIT_OK;
}

const unsigned char* g_description;

int append_description(const char* path) {
    return add_description(path, g_description, DESCRIPTION_BLOCK_SIZE);
}

int cmd_describe(int argc, char** argv) {
    if (argc != 2) {
        error("expects FILE TEXT (see ut_pack describe --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    const char* text = argv[1];
    if (strlen(text) > DESCRIPTION_TEXT_MAX) {
        error("the text has %zu bytes; a description block carries at most %d", strlen(text),
              DESCRIPTION_TEXT_MAX);
        return EXIT_USAGE;
    }
    if (!is_regular_file(path)) {
        return EXIT_FAILED;
    }
    if (is_descriptioned(path)) {
        error("%s already carries a description block", esc(path));
        return EXIT_FAILED;
    }
    static unsigned char block[DESCRIPTION_BLOCK_SIZE];
    memcpy(block, DESCRIPTION_MARK, 8); // the mark and, at byte 8, its NUL
    memcpy(block + 9, text, strlen(text));
    g_description = block;
    if (!transform_through_copy(path, append_description)) {
        return EXIT_FAILED;
    }
    printf("%s: description block appended\n", esc(path));
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Command line

struct command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* synopsis;
    const char* help;
};

const command kCommands[] = {
    {"create", cmd_create, "create [--sign SECRET_KEY] [--scramble] [--force] FOLDER PACKAGE",
     "Packs the files of FOLDER into PACKAGE, in name order, so that the same folder\n"
     "always gives the same bytes. FOLDER must hold work_list.f and plain files only\n"
     "(at most 20, names of at most 31 bytes); every row of the work list is checked\n"
     "as the daemon will run it, and nothing is written when one would fail. Nor is\n"
     "anything written after a warning about what the board would run badly (a script\n"
     "with CRLF line ends, a script row after remove_temp_folder, a row the daemon\n"
     "passes over, a work list that does nothing, a PACKAGE not named command.f, a\n"
     "file named command.f in FOLDER), unless --force is given. PACKAGE is written\n"
     "beside FOLDER or anywhere else, never inside it.\n"
     "  --scramble   scramble the finished package as a whole\n"
     "  --force      write the package in spite of warnings\n"
     "  --sign SECRET_KEY  sign the finished package into PACKAGE.minisig, as `sign` does\n"
     "  --password-file FILE  the secret key's password, instead of asking on the terminal"},
    {"list", cmd_list, "list PACKAGE",
     "Shows a package, plain or scrambled: its entries with offsets and sizes, the\n"
     "stored and computed checksums, and each row of the work list the daemon will\n"
     "load (entries of the same name joined, as the daemon unpacks them) with what\n"
     "the daemon will do with it, and whether PACKAGE.minisig is there and which key\n"
     "id it names. Exit status as verify's. PACKAGE is not changed."},
    {"verify", cmd_verify, "verify [--key PUBLIC_KEY]... PACKAGE",
     "Exit status 0 exactly when the daemon would take the package in and load its\n"
     "work list and the package is whole: its checksum matches (plain ones too) and\n"
     "it is as long as its record says; else 1 with the reason. Warns about rows that\n"
     "will fail and what the board will run badly. PACKAGE is not changed.\n"
     "  --key PUBLIC_KEY  check PACKAGE.minisig as a board holding these keys does (a\n"
     "                    public-key file, or a folder of *.pub files; may be repeated)\n"
     "Without --key, tells whether PACKAGE.minisig is there and which key id it names."},
    {"keygen", cmd_keygen, "keygen [--no-password] SECRET_KEY PUBLIC_KEY",
     "Makes a new key pair in minisign's formats. The secret key is encrypted with a\n"
     "password asked for on the terminal, as minisign does it.\n"
     "  --no-password         leave the secret key unencrypted (build servers)\n"
     "  --password-file FILE  read the password from the first line of FILE"},
    {"sign", cmd_sign, "sign [-t COMMENT] SECRET_KEY PACKAGE",
     "Signs PACKAGE into PACKAGE.minisig in minisign's format (\"ED\": the BLAKE2b-512 of\n"
     "the package, signed with Ed25519). A minisign secret key works as well.\n"
     "  -t COMMENT            the trusted comment (default: timestamp:<seconds>\n"
     "                        file:<name> hashed, separated by tabs, as minisign)\n"
     "  --password-file FILE  read the password from the first line of FILE"},
    {"extract", cmd_extract, "extract PACKAGE FOLDER",
     "Unpacks what the daemon would unpack into FOLDER (made when missing; it must be\n"
     "empty), on any file system. PACKAGE is not changed."},
    {"scramble", cmd_scramble, "scramble FILE",
     "Scrambles a whole file in place, as packages travel; the same command restores it."},
    {"db-scramble", cmd_db_scramble, "db-scramble FILE",
     "Scrambles the first and last 8000 bytes of a database file in place; the same\n"
     "command restores it."},
    {"db-status", cmd_db_status, "db-status FILE",
     "Tells a plain database from a scrambled one, and shows its description block."},
    {"describe", cmd_describe, "describe FILE TEXT",
     "Appends a 66-byte description block carrying TEXT (at most 57 bytes) to FILE."},
};

void usage(FILE* out) {
    fprintf(out, "ut_pack: builds, checks and scrambles usb_tools task packages\n\n"
                 "usage: ut_pack [-v] COMMAND ARGUMENTS\n\n");
    for (const command& c : kCommands) {
        fprintf(out, "  ut_pack %s\n", c.synopsis);
    }
    fprintf(out, "\n  -v          also show the library's progress lines on standard error\n"
                 "  --help      this text; ut_pack COMMAND --help for one command\n"
                 "  --version   the version\n\n"
                 "Exit status: 0 success, 1 a check or an operation failed, 2 a usage error.\n");
}

} // namespace

int main(int argc, char** argv) {
    int at = 1;
    int verbose = 0;
    while (at < argc && argv[at][0] == '-') {
        if (strcmp(argv[at], "-v") == 0) {
            verbose = 1;
        } else if (strcmp(argv[at], "--help") == 0 || strcmp(argv[at], "-h") == 0) {
            usage(stdout);
            return EXIT_OK;
        } else if (strcmp(argv[at], "--version") == 0) {
            printf("ut_pack " UT_PACK_VERSION "\n");
            return EXIT_OK;
        } else {
            fprintf(stderr, "ut_pack: unknown option %s\n", esc(argv[at]));
            usage(stderr);
            return EXIT_USAGE;
        }
        ++at;
    }
    if (at >= argc) {
        usage(stderr);
        return EXIT_USAGE;
    }
    // The library's lines go to standard error (with -v), never into a
    // settings file or a log folder in the user's folder.
    log_to_stream(verbose ? library_line_stream() : stderr, verbose ? LVL_DEBUG : 0);
    catch_ending_signals();
    for (const command& c : kCommands) {
        if (strcmp(argv[at], c.name) == 0) {
            g_command = c.name;
            if (at + 1 < argc &&
                (strcmp(argv[at + 1], "--help") == 0 || strcmp(argv[at + 1], "-h") == 0)) {
                printf("usage: ut_pack %s\n\n%s\n", c.synopsis, c.help);
                return EXIT_OK;
            }
            return c.run(argc - at - 1, argv + at + 1);
        }
    }
    fprintf(stderr, "ut_pack: unknown command %s\n", esc(argv[at]));
    usage(stderr);
    return EXIT_USAGE;
}
