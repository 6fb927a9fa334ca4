#include "record_buffer.h"

#include <errno.h>
#include <stddef.h>

#include "copiers.h"

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

record_read record_buffer::read(const struct vfs_api *api, struct vfs_file *fh,
                                enum vfs_position *pos, uint64_t *len)
{
    for (;;) {
        pent_copies += 1;
        uint64_t n = api->vfs_read(fh, &iov, 1, nullptr, nullptr, *pos, UINT64_C(0));
        if (n == VFS_ERROR) {
            // Only a file that cannot go back to its start is helped by
            // reading on instead; anywhere else ESPIPE would skip a record.
            if (errno == ESPIPE && *pos == vfs_pos_first) {
                *pos = vfs_pos_next;
                continue;
            }
            return record_read::library_failed;
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            return record_read::end;
        if (n <= iov.length) {
            *len = n;
            return record_read::record;
        }
        if (!grow())
            return record_read::no_room;
        *pos = vfs_pos_curr;
    }
}
