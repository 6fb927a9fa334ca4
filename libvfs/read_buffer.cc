#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>

#include "library_error.h"
#include "output.h"
#include "whole_write.h"
#include "copiers.h"
#include "transfer.h"

namespace
{

const char *const trace[] = {"splice %s\n", "copy_file_range %s\n", "sendfile %s\n"};

/* One zero-copy stage over the descriptors' own positions, counting down *len. */
transfer_end zero_copy(transfer_call c, struct vfs_file *fh, const char *fname, int64_t *len)
{
    if (verbose > 1)
        fprintf(stderr, trace[(int)c], fname);
    struct transfer_run run = {fh->fd, *len, true, 0, 0, 0};
    transfer_end end = transfer(c, run);
    fh->iosn += run.calls;
    fh->dcache.bread += run.moved;
    fh->dcache.bwrite += run.moved;
    fh->dcache.retries += run.waits;
    *len = run.left;
    if (end == transfer_end::failed)
        fh->dcache.cerrno = (uint32_t)errno;
    return end;
}

/* Writes the file block by block from the library's data cache. */
int cache_walk(const struct vfs_api *api, struct vfs_file *fh, const char *fname)
{
    if (verbose > 1)
        fprintf(stderr, "Fall_Back %s\n", fname);
    struct vfs_cursor cursor = {};
    cursor.roffset = fh->data_offset;
    for (;;) {
        if (api->vfs_internals->_cache_read(fh, &cursor) < 0) {
            report_library("Buffer fail: %d %s\n", api, fh, errno);
            return -1;
        }
        const struct vfs_buffer *b = fh->dcache.current;
        if (b->total == 0 && b->beof)
            break;
        tripl_copies += 1;
        fh->iosn += 1;
        fh->bread += b->total;
        file_size += b->total;
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
            break;
    }
    trim_stdout();
    return 0;
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
 * Runs the zero-copy stages that fit the pair over bytes, leaving in *len
 * what they did not move; false when the cache walk must copy instead.
 */
bool zero_copies_done(struct vfs_file *fh, const char *fname, int64_t bytes, const struct stat &in,
                      const struct stat &out, int64_t *len, int *rc)
{
    *len = bytes;
    transfer_end o = transfer_end::refused;
    // A descriptor that is not a regular file, or one whose size is not
    // known, has no length to count down: the cache walk copies it whole.
    if (!S_ISREG(in.st_mode) || bytes < 0 || (bytes == 0 && in.st_size == 0))
        return false;
    if (S_ISFIFO(out.st_mode)) {
        o = zero_copy(transfer_call::splice, fh, fname, len);
    } else {
        o = zero_copy(transfer_call::copy_range, fh, fname, len);
        if (o == transfer_end::refused)
            o = zero_copy(transfer_call::sendfile, fh, fname, len);
    }
    // After bytes went out, a walk from data_offset would write them again:
    // a reported failure is better than a doubled copy.
    if (o == transfer_end::refused && *len != bytes) {
        fh->dcache.cerrno = (uint32_t)errno;
        o = transfer_end::failed;
    }
    *rc = o == transfer_end::failed ? -1 : 0;
    return o != transfer_end::refused;
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
    // Converted bytes exist only in the library's buffers.
    if (file_info->flags & VFS_CONVERTED)
        return cache_walk(api, fh, fname);
    struct stat in, out = {};
    if (fstat(fh->fd, &in) < 0)
        return -1;
    (void)fstat(1, &out);
    int64_t bytes = file_info->bytes == VFS_ERROR || file_info->bytes > (uint64_t)INT64_MAX
                        ? -1
                        : (int64_t)file_info->bytes;
    if (bytes > 0 && reserve_output((uint64_t)bytes))
        fh->dcache.extends += 1;
    int rc;
    int64_t left;
    if (!zero_copies_done(fh, fname, bytes, in, out, &left, &rc))
        return cache_walk(api, fh, fname);
    if (rc == 0 && confirm_end(api, fh, (uint64_t)(bytes - std::max<int64_t>(left, 0))) < 0)
        return -1;
    return rc;
}
