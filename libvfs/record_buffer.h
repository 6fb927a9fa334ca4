/* A copier's own record buffer. */
#ifndef RECORD_BUFFER_H
#define RECORD_BUFFER_H

#include <stdint.h>
#include <stdlib.h>

#include "vfs_internal.h"

/* First size of a record buffer: the record length plus one, or 4096. */
uint64_t first_record_length(uint64_t datlen);

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
};

#endif
