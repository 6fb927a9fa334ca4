#include <errno.h>
#include <stdio.h>
#include <sys/uio.h>

#include "copiers.h"
#include "errno_keeper.h"
#include "library_error.h"
#include "line_output.h"
#include "record_buffer.h"

/* Positions the library on the next record: 1 there, 0 at the end, -1 failed. */
static int seek_record(const struct vfs_api *api, struct vfs_file *fh, struct vfs_iovec *iov,
                       enum vfs_position *pos, line_batch &lines)
{
    for (;;) {
        uint64_t n = api->vfs_seek(fh, iov, 1, nullptr, nullptr, *pos, UINT64_C(0));
        if (n == VFS_ERROR) {
            // Only a file that cannot go back to its start is helped by
            // moving on instead; anywhere else ESPIPE would skip a record.
            if (errno == ESPIPE && *pos == vfs_pos_first) {
                *pos = vfs_pos_next;
                continue;
            }
            return lines.fail("Seek fail: %d %s\n", api, errno);
        }
        return n == 0 && api->vfs_eof(fh) == 1 ? 0 : 1;
    }
}

/* Points rec at the current record when it lies whole in the current cache buffer. */
static bool cached_record(const struct vfs_file *fh, struct iovec *rec)
{
    const struct vfs_cursor *csr = &fh->curr_csr;
    const struct vfs_buffer *b = fh->dcache.current;
    // A record that does not start inside the buffer is fetched rather than
    // written from memory that does not hold it.
    if (csr->spanned || b == nullptr || csr->doffset < b->offset)
        return false;
    if (csr->doffset + csr->dlen > b->bend)
        return false;
    rec->iov_base = b->buffer + (csr->doffset - b->offset);
    rec->iov_len = (size_t)csr->dlen;
    tripl_copies += 1;
    return true;
}

/* Reads the current record into buf, growing it: 1 done, 0 at the end, -1 failed. */
static int fetch_record(const struct vfs_api *api, struct vfs_file *fh, record_buffer *buf,
                        struct iovec *rec, line_batch &lines)
{
    enum vfs_position pos = vfs_pos_curr;
    uint64_t n = 0;
    switch (buf->read(api, fh, &pos, &n)) {
    case record_read::record:
        rec->iov_base = buf->iov.ptr;
        rec->iov_len = (size_t)n;
        return 1;
    case record_read::end:
        return 0;
    case record_read::library_failed:
        return lines.fail("Read fail: %d %s\n", api, errno);
    case record_read::no_room:
        break;
    }
    if (lines.flush_before(errno) == 0) {
        errno_keeper keep;
        fprintf(stderr, "Re_Read: malloc(%d)\n", (int)(uint32_t)buf->iov.length);
    }
    return -1;
}

/*
 * The cached record copier: records as lines, straight from the library's
 * cache buffer where a record lies whole in it, through vfs_read otherwise.
 */
int read_linef(const struct vfs_api *api, struct vfs_file *fh,
               const struct vfs_file_info *file_info)
{
    if (verbose)
        fprintf(stderr, "block buffering file %s\n", file_info->fname);
    record_buffer buf;
    uint64_t first = first_record_length(file_info->datlen);
    if (!buf.alloc(first)) {
        errno_keeper keep;
        fprintf(stderr, "read_linef: malloc(%lld)\n", (long long)first);
        return -1;
    }

    line_batch lines(fh);
    enum vfs_position pos = vfs_pos_first;
    int rc;
    while ((rc = seek_record(api, fh, &buf.iov, &pos, lines)) > 0) {
        struct iovec rec = {};
        if (!cached_record(fh, &rec) && (rc = fetch_record(api, fh, &buf, &rec, lines)) <= 0)
            break;
        // The record is copied out of the cache here, so the library may
        // reuse its buffer on the next move.
        if (lines.add(rec.iov_base, rec.iov_len) < 0)
            return -1;
        pos = vfs_pos_next;
    }
    return rc < 0 ? -1 : lines.finish();
}
