#include "line_output.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/uio.h>

#include "copiers.h"
#include "library_error.h"
#include "progress.h"
#include "whole_write.h"

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
    progress_input(fh->fd);
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
    progress_moved(fh_->dcache.bread - read_);
    read_ = fh_->dcache.bread;
    return rc;
}

int line_batch::flush_before(int err)
{
    errno = err;
    return flush();
}

int line_batch::fail(const char *fmt, const struct vfs_api *api, int err)
{
    if (flush_before(err) < 0)
        return -1;
    report_library(fmt, api, fh_, err);
    return -1;
}

int line_batch::finish()
{
    if (flush() < 0)
        return -1;
    file_size += fh_->dcache.bread;
    fh_->iosn += fh_->dcache.reuses;
    return 0;
}
