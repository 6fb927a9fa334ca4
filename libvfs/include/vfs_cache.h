/* The data cache of an open file: a few buffers, one of them current. */
#ifndef VFS_CACHE_H
#define VFS_CACHE_H

#include <stdint.h>

#include "vfs_buffer.h"

#ifdef __cplusplus
extern "C" {
#endif

struct vfs_cache {
    struct vfs_buffer *current; /* the buffer holding the current record or block */
    uint32_t count;             /* buffers in the cache; 0: the file is not cached */
    uint32_t cerrno;            /* last error seen by a copier or the cache; after
                                   records that read to their end, why the library
                                   ended them before the file's end (0: it did not) */
    uint64_t bread;
    uint64_t bwrite;
    uint64_t reuses;
    uint64_t retries;
    uint64_t extends;
    /* library-private from here on */
    struct vfs_buffer *buffers; /* count entries */
    uint64_t clock;             /* use counter for replacement */
};

#ifdef __cplusplus
}
#endif

#endif
