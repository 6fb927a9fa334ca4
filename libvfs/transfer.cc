#include "transfer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/sendfile.h>

#include <algorithm>

#include "output.h"
#include "copiers.h"
#include "vfs_posix.h"

namespace
{

ssize_t call(transfer_call c, int fd_in, size_t chunk)
{
    switch (c) {
    case transfer_call::splice:
        return splice(fd_in, nullptr, 1, nullptr, chunk, SPLICE_F_NONBLOCK);
    case transfer_call::copy_range:
        return vfs_posix::copy_file_range(fd_in, nullptr, 1, nullptr, chunk, 0);
    case transfer_call::sendfile:
        return sendfile(1, fd_in, nullptr, chunk);
    }
    errno = EINVAL;
    return -1;
}

/*
 * The errors by which the kernel refuses the pair rather than fails the
 * copy. An appending output refuses copy_file_range with EBADF; sendfile or
 * a plain write may still take it.
 */
bool refused(transfer_call c, int err)
{
    switch (c) {
    case transfer_call::splice:
        return err == EINVAL;
    case transfer_call::copy_range:
        return err == ENOSYS || err == EXDEV || err == EINVAL || (err == EBADF && output()->append);
    case transfer_call::sendfile:
        return err == EINVAL || err == ENOSYS;
    }
    return false;
}

} // namespace

transfer_end transfer(transfer_call c, struct transfer_run &run)
{
    for (;;) {
        int64_t chunk =
            run.left < 0 ? vfs_posix::max_transfer : std::min(run.left, vfs_posix::max_transfer);
        ssize_t n = call(c, run.fd_in, (size_t)chunk);
        if (n < 0) {
            // copy_file_range joins two files that never say "not now".
            if (errno == EAGAIN && c != transfer_call::copy_range) {
                run.waits++;
                if (wait_ready(run.fd_in) == 0)
                    continue;
                return transfer_end::failed;
            }
            return refused(c, errno) ? transfer_end::refused : transfer_end::failed;
        }
        run.calls++;
        if (n > 0 || run.count_empty) {
            file_size += 2 * (uint64_t)n;
            zero_copies++;
        }
        run.moved += (uint64_t)n;
        if (run.left >= 0)
            run.left = std::max<int64_t>(run.left - n, 0);
        if (n == 0 || run.left == 0)
            return transfer_end::done;
    }
}
