/*
 * One buffer of a handle's data cache, and the cursor that places a record
 * in the file. The fields listed first are those a program may read; the
 * library keeps its own state behind them.
 */
#ifndef VFS_BUFFER_H
#define VFS_BUFFER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct vfs_buffer {
    unsigned char *buffer; /* the data */
    uint64_t offset;       /* file offset of buffer[0] */
    uint64_t bend;         /* file offset just past the valid data */
    uint64_t total;        /* bytes held */
    uint64_t buffsize;     /* capacity of every buffer of the cache */
    unsigned beof : 1;     /* holds the end of the file */
    /* library-private from here on */
    uint64_t stamp; /* last use, for replacement */
};

struct vfs_cursor {
    uint64_t dlen;        /* data length of the record */
    uint8_t pos;          /* enum vfs_position of the last move */
    unsigned spanned : 1; /* the record continues past the buffer it starts in */
    uint64_t roffset;     /* offset of the record (its prefix, if any) */
    uint64_t doffset;     /* offset of the record's data */
    /* library-private from here on; zero in cursors a program builds */
    uint64_t rlen; /* bytes the record occupies, prefix and padding included */
    uint64_t rrn;  /* relative record number, 1-based; 0 before the first */
};

#ifdef __cplusplus
}
#endif

#endif
