#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <algorithm>

#include "copy_util.h"
#include "tandro.h"
#include "vfs_posix.h"

namespace
{

enum class stage { splice, copy_range, sendfile };
enum class outcome { done, refused, failed };

const char *const trace[] = {"splice %s\n", "copy_file_range %s\n", "sendfile %s\n"};

ssize_t transfer(stage s, int fd, size_t chunk)
{
    switch (s) {
    case stage::splice:
        return splice(fd, nullptr, 1, nullptr, chunk, SPLICE_F_NONBLOCK);
    case stage::copy_range:
        return vfs_posix::copy_file_range(fd, nullptr, 1, nullptr, chunk, 0);
    case stage::sendfile:
        return sendfile(1, fd, nullptr, chunk);
    }
    return -1;
}

/* The errors by which the kernel refuses the pair rather than fails the copy. */
bool refused(stage s, int err)
{
    switch (s) {
    case stage::splice:
        return err == EINVAL;
    case stage::copy_range:
        // An appending output is refused with EBADF; sendfile may still take it.
        if (err == EBADF) {
            int flags = fcntl(1, F_GETFL);
            return flags >= 0 && (flags & O_APPEND);
        }
        return err == ENOSYS || err == EXDEV || err == EINVAL;
    case stage::sendfile:
        return err == EINVAL || err == ENOSYS;
    }
    return false;
}

/* One zero-copy stage over the descriptors' own positions, counting down *len. */
outcome zero_copy(stage s, struct vfs_file *fh, const char *fname, int64_t *len)
{
    if (verbose > 1)
        fprintf(stderr, trace[(int)s], fname);
    for (;;) {
        int64_t chunk = *len < vfs_posix::max_transfer ? *len : vfs_posix::max_transfer;
        ssize_t n = transfer(s, fh->fd, chunk > 0 ? (size_t)chunk : 0);
        if (n >= 0) {
            fh->iosn += 1;
            fh->dcache.bread += (uint64_t)n;
            fh->dcache.bwrite += (uint64_t)n;
            file_size += 2 * (uint64_t)n;
            zero_copies += 1;
            *len -= n;
            if (n == 0 || *len <= 0)
                return outcome::done;
        } else if (errno == EAGAIN && s != stage::copy_range) {
            fh->dcache.retries += 1;
            if (wait_ready(fh->fd) < 0)
                return outcome::failed;
        } else if (refused(s, errno)) {
            return outcome::refused;
        } else {
            fh->dcache.cerrno = (uint32_t)errno;
            return outcome::failed;
        }
    }
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
    outcome o = outcome::refused;
    // A descriptor that is not a regular file, or one whose size is not
    // known, has no length to count down: the cache walk copies it whole.
    if (!S_ISREG(in.st_mode) || bytes < 0 || (bytes == 0 && in.st_size == 0))
        return false;
    if (S_ISFIFO(out.st_mode)) {
        o = zero_copy(stage::splice, fh, fname, len);
    } else {
        o = zero_copy(stage::copy_range, fh, fname, len);
        if (o == outcome::refused)
            o = zero_copy(stage::sendfile, fh, fname, len);
    }
    // After bytes went out, a walk from data_offset would write them again:
    // a reported failure is better than a doubled copy.
    if (o == outcome::refused && *len != bytes) {
        fh->dcache.cerrno = (uint32_t)errno;
        o = outcome::failed;
    }
    *rc = o == outcome::failed ? -1 : 0;
    return o != outcome::refused;
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
