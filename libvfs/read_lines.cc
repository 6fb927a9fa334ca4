#include <errno.h>
#include <stdio.h>

#include "copiers.h"
#include "library_error.h"
#include "line_output.h"
#include "record_buffer.h"

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

    line_batch lines(fh);
    enum vfs_position pos = vfs_pos_first;
    for (;;) {
        uint64_t n = 0;
        switch (rec.read(api, fh, &pos, &n)) {
        case record_read::record:
            break;
        case record_read::end:
            return lines.finish();
        case record_read::library_failed:
            return lines.fail("Read fail: %d %s\n", api, errno);
        case record_read::no_room:
            (void)lines.flush_before(errno);
            return -1;
        }
        if (lines.add(rec.iov.ptr, (size_t)n) < 0)
            return -1;
        pos = vfs_pos_next;
    }
}
