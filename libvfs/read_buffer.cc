#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>

#include "copiers.h"
#include "library_error.h"
#include "output.h"
#include "progress.h"
#include "syscalls.h"
#include "transfer.h"
#include "whole_write.h"

namespace
{

/* Writes the file block by block from the library's data cache. */
int cache_walk(const struct vfs_api *api, struct vfs_file *fh, const char *fname)
{
    trace_stage("Fall_Back", fname);
    struct vfs_cursor cursor = {};
    cursor.roffset = fh->data_offset;
    for (;;) {
        if (api->vfs_internals->_cache_read(fh, &cursor) < 0) {
            report_library("Buffer fail: %d %s\n", api, fh, errno);
            return -1;
        }
        const struct vfs_buffer *b = fh->dcache.current;
        if (b->total == 0 && b->beof)
            return 0;
        tripl_copies += 1;
        fh->iosn += 1;
        fh->bread += b->total;
        file_size += b->total;
        progress_moved(b->total);
        // A short write is finished rather than leaving the rest of the block out.
        uint64_t done;
        int rc = write_whole(b->buffer, (size_t)b->total, &done);
        fh->bwrite += done;
        file_size += done;
        if (rc < 0)
            return -1;
        fh->iosn += 1;
        cursor.roffset += b->buffsize;
        if (b->beof)
            return 0;
    }
}

/*
 * The library says where the data ends: it confirms that nothing follows
 * the bytes a zero-copy moved, or names the damage (records beyond or short
 * of the count its header gives).
 */
int confirm_end(const struct vfs_api *api, struct vfs_file *fh, uint64_t moved)
{
    struct vfs_cursor cursor = {};
    cursor.roffset = fh->data_offset + moved;
    if (api->vfs_internals->_cache_read(fh, &cursor) < 0) {
        report_library("Buffer fail: %d %s\n", api, fh, errno);
        return -1;
    }
    return 0;
}

/*
 * The kernel's transfers over the descriptor's own position, counted down
 * from bytes; false when the cache walk must copy instead. After bytes went
 * out a walk from data_offset would write them again: a transfer refused
 * then is reported rather than copied twice.
 */
bool zero_copies_done(struct vfs_file *fh, const char *fname, int64_t bytes, const struct stat &in,
                      int64_t *left, int *rc)
{
    *left = bytes;
    // Only a regular file of known size has a length to count down.
    if (!S_ISREG(in.st_mode) || bytes < 0 || (bytes == 0 && in.st_size == 0))
        return false;
    struct transfer_job job = {fh->fd, in, bytes, fname, fname, false, 0, 0, 0, 0};
    transfer_end end = transfer(job);
    fh->iosn += job.calls;
    fh->dcache.bread += job.moved;
    fh->dcache.bwrite += job.moved;
    fh->dcache.retries += job.waits;
    *left = job.left;
    if (end == transfer_end::refused && job.moved == 0)
        return false;
    if (end == transfer_end::failed || end == transfer_end::refused)
        fh->dcache.cerrno = (uint32_t)errno;
    *rc = end == transfer_end::done ? 0 : end == transfer_end::input_cut ? CONCAT_STOP : -1;
    return true;
}

} // namespace

/*
 * The block copier: the file's raw bytes, by splice, copy_file_range or
 * sendfile on the handle's descriptor where the kernel takes the pair, else
 * block by block from the library's data cache.
 */
int read_buffer(const struct vfs_api *api, struct vfs_file *fh,
                const struct vfs_file_info *file_info)
{
    const char *fname = file_info->fname;
    if (verbose)
        fprintf(stderr, "fast buffering file %s\n", fname);
    (void)probe_output();
    // Converted bytes exist only in the library's buffers.
    if (file_info->flags & VFS_CONVERTED)
        return cache_walk(api, fh, fname);
    struct stat in;
    if (sys.fstat(fh->fd, &in) < 0)
        return -1;
    int64_t bytes = file_info->bytes == VFS_ERROR || file_info->bytes > (uint64_t)INT64_MAX
                        ? -1
                        : (int64_t)file_info->bytes;
    if (bytes > 0)
        progress_total((uint64_t)bytes);
    int rc;
    int64_t left;
    if (!zero_copies_done(fh, fname, bytes, in, &left, &rc))
        return cache_walk(api, fh, fname);
    if (rc == 0 && confirm_end(api, fh, (uint64_t)(bytes - std::max<int64_t>(left, 0))) < 0)
        return -1;
    return rc;
}
