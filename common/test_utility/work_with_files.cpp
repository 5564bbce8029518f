#include "work_with_files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"

namespace {

// 8096 bytes, not 8192: the copy buffer of every file-to-file copy.
enum { COPY_BUFFER_SIZE = 8096 };

ssize_t read_retry(int fd, void* buf, size_t size) {
    ssize_t n;
    do {
        n = read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t write_retry(int fd, const void* buf, size_t size) {
    ssize_t n;
    do {
        n = write(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

// ---------------------------------------------------------------------------
// File copy

int copy_one_file(const char* source, const char* destination) {
    scoped_fd in(open(source, O_RDONLY | O_CLOEXEC));
    if (!in) {
        LOG_MSG(LVL_ERROR, "error with read from file: %s", source);
        return 0;
    }
    scoped_fd out(open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
        return 0;
    }
    unsigned char buffer[COPY_BUFFER_SIZE];
    for (;;) {
        ssize_t got = read_retry(in.get(), buffer, sizeof(buffer));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            // A copy cut short by a failing medium is not a copy: a plain
            // package carries no checked checksum to catch it later.
            LOG_MSG(LVL_ERROR, "error with read from file: %s", source);
            return 0;
        }
        if (write_retry(out.get(), buffer, static_cast<size_t>(got)) != got) {
            LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
            return 0;
        }
    }
    if (out.close() != 0) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// CRC-16


// ---------------------------------------------------------------------------
// USB storage: device list, mount table, mount


// ---------------------------------------------------------------------------
// Work list file


// ---------------------------------------------------------------------------
// Shell steps


// ---------------------------------------------------------------------------
// Service settings, process and file information readers

