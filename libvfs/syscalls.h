/*
 * The system calls of the copy engines, reached through one table that a
 * test may change entry by entry to make a call fail (EAGAIN, EINTR,
 * ENOSPC), move less than asked, or refuse after moving some bytes. The
 * shipped program never changes it.
 */
#ifndef SYSCALLS_H
#define SYSCALLS_H

#include <poll.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

/* The largest count one Linux transfer call moves. */
inline constexpr int64_t max_transfer = 0x7ffff000;

struct syscall_table {
    ssize_t (*read)(int fd, void *buf, size_t len);
    ssize_t (*writev)(int fd, const struct iovec *iov, int count);
    ssize_t (*splice)(int fd_in, loff_t *off_in, int fd_out, loff_t *off_out, size_t len,
                      unsigned int flags);
    ssize_t (*sendfile)(int fd_out, int fd_in, off_t *offset, size_t count);
    /* The system call itself: the C library's wrapper may copy in user space. */
    ssize_t (*copy_file_range)(int fd_in, loff_t *off_in, int fd_out, loff_t *off_out, size_t len,
                               unsigned int flags);
    /* fcntl with an int argument (or none). */
    int (*fcntl)(int fd, int cmd, int arg);
    int (*poll)(struct pollfd *fds, nfds_t count, int timeout);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fdatasync)(int fd);
    int (*fstat)(int fd, struct stat *st);
};

extern struct syscall_table sys;

#endif
