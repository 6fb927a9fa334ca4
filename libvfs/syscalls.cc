#include "syscalls.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

#if defined(__i386__)
static_assert(SYS_copy_file_range == 377, "copy_file_range is call 377 on 32-bit x86");
#endif

ssize_t copy_file_range_call(int fd_in, loff_t *off_in, int fd_out, loff_t *off_out, size_t len,
                             unsigned int flags)
{
    return syscall(SYS_copy_file_range, fd_in, off_in, fd_out, off_out, len, flags);
}

int fcntl_int(int fd, int cmd, int arg)
{
    return fcntl(fd, cmd, arg);
}

} // namespace

struct syscall_table sys = {
    .read = read,
    .writev = writev,
    .splice = splice,
    .sendfile = sendfile,
    .copy_file_range = copy_file_range_call,
    .fcntl = fcntl_int,
    .poll = poll,
    .lseek = lseek,
    .fdatasync = fdatasync,
    .fstat = fstat,
};
