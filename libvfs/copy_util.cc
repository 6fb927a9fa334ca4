#include "copy_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "output.h"
#include "tandro.h"

static int writev_whole(struct iovec *iov, int count, uint64_t *done)
{
    *done = 0;
    for (;;) {
        ssize_t w = writev(1, iov, count);
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

int write_line(struct vfs_file *fh, const void *rec, size_t len)
{
    static char newline[] = "\n";
    struct iovec iov[2] = {{const_cast<void *>(rec), len}, {newline, 1}};
    uint64_t done;
    int rc = writev_whole(iov, 2, &done);
    if (rc == 0)
        fh->iosn += 1;
    fh->dcache.bwrite += done;
    file_size += done;
    return rc;
}

line_batch::line_batch(struct vfs_file *fh)
    : fh_(fh), data_(static_cast<unsigned char *>(aligned_alloc(4096, size)))
{
}

line_batch::~line_batch()
{
    free(data_);
}

// Without a batch buffer, or for a long record, the line is written as it
// comes; otherwise the batch is full and goes out first.
int line_batch::add_slowly(const void *rec, size_t len)
{
    if (flush() < 0)
        return -1;
    if (data_ == nullptr || len > record_max)
        return write_line(fh_, rec, len);
    return add(rec, len);
}

int line_batch::flush()
{
    if (used_ == 0)
        return 0;
    uint64_t done;
    int rc = write_whole(data_, used_, &done);
    if (rc == 0)
        fh_->iosn += lines_;
    fh_->dcache.bwrite += done;
    file_size += done;
    used_ = 0;
    lines_ = 0;
    return rc;
}

int prepare_line_output(struct vfs_file *fh, const struct vfs_file_info *file_info)
{
    struct stat st;
    if (fstat(fh->fd, &st) < 0)
        return -1;
    uint64_t datlen = file_info->datlen, records = file_info->records;
    if (file_info->recfm != vfs_rec_fixed || datlen == VFS_ERROR || records == VFS_ERROR)
        return 0;
    // A product that wraps would reserve a meaningless size.
    if (records != 0 && datlen + 1 > UINT64_MAX / records)
        return 0;
    if (reserve_output((datlen + 1) * records))
        fh->dcache.extends += 1;
    return 0;
}

int line_batch::fail(const char *fmt, const struct vfs_api *api, int err)
{
    errno = err;
    if (flush() < 0)
        return -1;
    report_library(fmt, api, fh_, err);
    return -1;
}

void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
{
    uint32_t errnum = (uint32_t)err;
    const char *text = api->vfs_strerror ? api->vfs_strerror(fh, errnum, &errnum, &lookup) : 0;
    fprintf(stderr, fmt, (int)errnum, text ? text : "");
    errno = err;
}

uint64_t first_record_length(uint64_t datlen)
{
    return reclen_unset(datlen) ? 4096 : datlen + 1;
}

bool record_buffer::alloc(uint64_t length)
{
    free(iov.ptr);
    iov.ptr = nullptr;
    iov.length = length;
    // The allocation is rounded up to the alignment, which strict allocators
    // require; the library is told only the length.
    if (length == 0 || length > (uint64_t)PTRDIFF_MAX - 15) {
        errno = ENOMEM;
        return false;
    }
    iov.ptr = aligned_alloc(16, (size_t)((length + 15) & ~UINT64_C(15)));
    return iov.ptr != nullptr;
}
