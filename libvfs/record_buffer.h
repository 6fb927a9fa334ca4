/* A copier's own record buffer, and the records it reads through the library. */
#ifndef RECORD_BUFFER_H
#define RECORD_BUFFER_H

#include <stdint.h>
#include <stdlib.h>

#include "vfs_api.h"
#include "vfs_internal.h"

/* First size of a record buffer: the record length plus one, or 4096. */
uint64_t first_record_length(uint64_t datlen);

/* What record_buffer::read found. */
enum class record_read { record, end, library_failed, no_room };

/* A copier's own record buffer, 16-byte aligned, freed with its owner. */
struct record_buffer {
    struct vfs_iovec iov = {0, nullptr};

    record_buffer() = default;
    record_buffer(const record_buffer &) = delete;
    record_buffer &operator=(const record_buffer &) = delete;
    ~record_buffer() { free(iov.ptr); }

    /* Allocates length bytes; false with errno on failure. */
    bool alloc(uint64_t length);
    /* Replaces the buffer by one of twice the length; the content is lost. */
    bool grow() { return alloc(iov.length * 2); }

    /*
     * Reads the record at *pos with vfs_read, growing the buffer and reading
     * the record again from vfs_pos_curr (*pos follows) while it does not
     * fit; a file that cannot go back to its start (ESPIPE) moves on from
     * vfs_pos_first instead. record: its length in *len; library_failed:
     * errno from vfs_read; no_room: errno of the failed growth, iov.length
     * the size that was asked for. Each vfs_read counts in pent_copies.
     */
    record_read read(const struct vfs_api *api, struct vfs_file *fh, enum vfs_position *pos,
                     uint64_t *len);
};

#endif
