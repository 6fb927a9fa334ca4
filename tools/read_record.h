/* One record read whole through a driver table, for the tools and tests. */
#ifndef READ_RECORD_H
#define READ_RECORD_H

#include <errno.h>
#include <stdint.h>

#include <vector>

#include "vfs_api.h"

/*
 * Reads the record pos names into buf. A record longer than buf grows it
 * and is read again (at vfs_pos_curr), up to max bytes. Returns the record's
 * length, 0 for an empty record and at the end (vfs_eof tells them apart),
 * VFS_ERROR with errno on failure: EOVERFLOW for a record beyond max.
 */
inline uint64_t read_record(const struct vfs_api *api, vfs_file *fh, vfs_position pos,
                            std::vector<char> &buf, uint64_t max)
{
    for (;;) {
        vfs_iovec iov{buf.size(), buf.data()};
        uint64_t n = api->vfs_read(fh, &iov, 1, nullptr, nullptr, pos, UINT64_C(0));
        if (n == VFS_ERROR || n <= buf.size())
            return n;
        if (n > max) {
            errno = EOVERFLOW;
            return VFS_ERROR;
        }
        buf.resize(static_cast<size_t>(n));
        pos = vfs_pos_curr;
    }
}

#endif
