#include "whole_write.h"

#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include "output.h"
#include "syscalls.h"

int writev_whole(struct iovec *iov, int count, uint64_t *done)
{
    *done = 0;
    for (;;) {
        ssize_t w = sys.writev(1, iov, count);
        if (w < 0) {
            if (errno == EINTR || (errno == EAGAIN && wait_ready(-1) == 0))
                continue;
            return -1;
        }
        *done += (uint64_t)w;
        size_t left = (size_t)w;
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            iov++;
            count--;
        }
        if (count == 0)
            return 0;
        if (w == 0) {
            // Nothing moved although bytes were asked for: spinning would
            // never end, so this counts as an output failure.
            errno = EIO;
            return -1;
        }
        iov->iov_base = (char *)iov->iov_base + left;
        iov->iov_len -= left;
    }
}

int write_whole(const void *data, size_t len, uint64_t *done)
{
    struct iovec iov = {const_cast<void *>(data), len};
    return writev_whole(&iov, 1, done);
}
