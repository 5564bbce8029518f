#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_utility/scoped_handle.h"
#include "messages.h"
#include "ut_pack.h"

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

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

int folder_with_slash(const char* folder, char* out, int size) {
    size_t len = strlen(folder);
    int n = snprintf(out, static_cast<size_t>(size), "%s%s", folder,
                     len > 0 && folder[len - 1] == '/' ? "" : "/");
    return n < size ? 1 : 0;
}

void parent_folder(const char* path, char* out, int size) {
    char copy[PATH_MAX];
    snprintf(copy, sizeof(copy), "%s", path);
    snprintf(out, static_cast<size_t>(size), "%s", dirname(copy));
}

void base_name(const char* path, char* out, int size) {
    char copy[PATH_MAX];
    snprintf(copy, sizeof(copy), "%s", path);
    snprintf(out, static_cast<size_t>(size), "%s", basename(copy));
}

const char* temp_root() {
    const char* root = getenv("TMPDIR");
    return root != nullptr && root[0] == '/' ? root : "/tmp";
}

int library_takes(const char* path, const char* what) {
    const size_t length = strlen(path);
    if (length <= LIBRARY_PATH_MAX) {
        return 1;
    }
    error("%s: path too long: %zu bytes%s; the library takes paths of at most %d bytes", esc(path),
          length, what, LIBRARY_PATH_MAX);
    return 0;
}

int is_regular_file(const char* path) {
    // A link is not followed, as the daemon follows none on the stick.
    struct stat named;
    if (lstat(path, &named) == 0 && S_ISLNK(named.st_mode)) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path, target, sizeof(target) - 1);
        target[n > 0 ? n : 0] = '\0';
        error("%s is a symbolic link (to %s): the board takes in no link; name the file "
              "itself",
              esc(path), esc(target));
        return 0;
    }
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
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
