#include <errno.h>
#include <stdio.h>

#include "library_error.h"
#include "line_output.h"
#include "output.h"
#include "record_buffer.h"
#include "copiers.h"

/*
 * The general record copier: every record through vfs_read into a buffer
 * of our own, written with its line end.
 */
int read_lines(const struct vfs_api *api, struct vfs_file *fh,
               const struct vfs_file_info *file_info)
{
    if (verbose)
        fprintf(stderr, "line buffering file %s\n", file_info->fname);
    record_buffer rec;
    if (!rec.alloc(first_record_length(file_info->datlen)))
        return -1;
    if (prepare_line_output(fh, file_info) < 0)
        return -1;

    line_batch lines(fh);
    enum vfs_position pos = vfs_pos_first;
    for (;;) {
        pent_copies += 1;
        uint64_t n = api->vfs_read(fh, &rec.iov, 1, nullptr, nullptr, pos, UINT64_C(0));
        if (n == VFS_ERROR) {
            // Only a file that cannot go back to its start is helped by
            // reading on instead; anywhere else ESPIPE would skip a record.
            if (errno == ESPIPE && pos == vfs_pos_first) {
                pos = vfs_pos_next;
                continue;
            }
            return lines.fail("Read fail: %d %s\n", api, errno);
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            break;
        if (n > rec.iov.length) {
            if (!rec.grow()) {
                int err = errno;
                return lines.flush() < 0 ? -1 : (errno = err, -1);
            }
            pos = vfs_pos_curr;
            continue;
        }
        if (lines.add(rec.iov.ptr, (size_t)n) < 0)
            return -1;
        pos = vfs_pos_next;
    }
    if (lines.flush() < 0)
        return -1;
    file_size += fh->dcache.bread;
    fh->iosn += fh->dcache.reuses;
    return 0;
}
