/* System-call wrappers shared by the copy engines and the library. */
#ifndef VFS_POSIX_H
#define VFS_POSIX_H

#include <stdint.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef __cplusplus
namespace vfs_posix
{

#if defined(__i386__)
static_assert(SYS_copy_file_range == 377, "copy_file_range is call 377 on 32-bit x86");
#endif

/* The largest count one Linux transfer call moves. */
inline constexpr int64_t max_transfer = 0x7ffff000;

/* Raw system call: the C library's wrapper may emulate the copy in user space. */
inline ssize_t copy_file_range(int fd_in, int64_t *off_in, int fd_out, int64_t *off_out, size_t len,
                               unsigned int flags)
{
    return syscall(SYS_copy_file_range, fd_in, off_in, fd_out, off_out, len, flags);
}

} // namespace vfs_posix
#endif

#endif
