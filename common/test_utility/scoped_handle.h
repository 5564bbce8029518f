// Move-only owners of a FILE*, a DIR* or a file descriptor that close it at
// scope end, so that every function closes what it opened on every path.
#pragma once

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

template <typename T, int (*CloseFn)(T*)>
class scoped_ptr_handle {
  public:
    explicit scoped_ptr_handle(T* p = nullptr) : p_(p) {}
    ~scoped_ptr_handle() { close(); }
    scoped_ptr_handle(scoped_ptr_handle&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    scoped_ptr_handle& operator=(scoped_ptr_handle&& other) noexcept {
        if (this != &other) {
            close();
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    scoped_ptr_handle(const scoped_ptr_handle&) = delete;
    scoped_ptr_handle& operator=(const scoped_ptr_handle&) = delete;

    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Closes now; returns the close call's result (0 when nothing was open).
    int close() {
        int rc = 0;
        if (p_ != nullptr) {
            rc = CloseFn(p_);
            p_ = nullptr;
        }
        return rc;
    }

  private:
    T* p_;
};

using scoped_file = scoped_ptr_handle<FILE, fclose>;
using scoped_dir = scoped_ptr_handle<DIR, closedir>;

// Opens a stream without a buffer of its own: every read and write goes to
// the file at once, so a short write shows in the count that fwrite returns
// instead of in a later flush. For streams moved in large chunks.
inline FILE* open_unbuffered(const char* path, const char* mode) {
    FILE* f = fopen(path, mode);
    if (f != nullptr) {
        setvbuf(f, nullptr, _IONBF, 0);
    }
    return f;
}

class scoped_fd {
  public:
    explicit scoped_fd(int fd = -1) : fd_(fd) {}
    ~scoped_fd() { close(); }
    scoped_fd(scoped_fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    scoped_fd& operator=(scoped_fd&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    scoped_fd(const scoped_fd&) = delete;
    scoped_fd& operator=(const scoped_fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    int close() {
        int rc = 0;
        if (fd_ >= 0) {
            rc = ::close(fd_);
            fd_ = -1;
        }
        return rc;
    }

  private:
    int fd_;
};
