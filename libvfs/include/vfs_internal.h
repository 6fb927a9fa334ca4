/*
 * The open-file handle. Programs read and update the fields listed first;
 * a driver's own handle embeds this record as its first member.
 */
#ifndef VFS_INTERNAL_H
#define VFS_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "vfs_api.h"
#include "vfs_buffer.h"
#include "vfs_cache.h"

#ifdef __cplusplus
extern "C" {
#endif

struct vfs_file {
    struct vfs_cache dcache; /* first: &fh->dcache doubles as the handle */
    unsigned non_native : 1; /* written in the other byte order */
    uint64_t iosn;
    struct vfs_cursor curr_csr;
    uint64_t data_offset; /* where the data starts in the file */
    uint64_t bread;
    uint64_t bwrite;
    int fd;
};

#ifdef __cplusplus
static_assert(offsetof(struct vfs_file, dcache) == 0, "dcache must lead the handle");
static_assert(sizeof(((struct vfs_file *)0)->iosn) == 8, "64-bit counters");
static_assert(offsetof(struct vfs_iovec, ptr) == 8, "vfs_iovec is a 64-bit length, then a pointer");
static_assert(offsetof(struct vfs_api, vfs_eye) == 0 && sizeof(((struct vfs_api *)0)->vfs_eye) == 8,
              "the driver id is the table's first 8 bytes");
static_assert(sizeof(((struct vfs_file_info *)0)->datlen) == 8, "64-bit lengths");
#endif

#ifdef __cplusplus
}
#endif

#endif
