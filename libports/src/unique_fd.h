/* A descriptor closed by its owner. */
#ifndef UNIQUE_FD_H
#define UNIQUE_FD_H

#ifdef __cplusplus
#include <unistd.h>

#include "errno_keeper.h"

/* Owns one descriptor (-1: none) and closes it when it goes out of scope,
 * keeping errno, so a failure's errno survives the clean-up. */
class unique_fd
{
  public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    /* Gives the descriptor up without closing it. */
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    /* Closes the descriptor held (errno kept) and holds fd instead. */
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            errno_keeper keep;
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};
#endif

#endif
