/* Whole writes to descriptor 1: short writes finished, EINTR repeated, EAGAIN waited out. */
#ifndef WHOLE_WRITE_H
#define WHOLE_WRITE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

/* Writes the count buffers of iov to descriptor 1, repeating on EAGAIN and
 * EINTR and finishing short writes (iov is consumed); *done gets the bytes
 * moved, also on failure. Makes at least one call. 0, or -1 with errno. */
int writev_whole(struct iovec *iov, int count, uint64_t *done);

/* The same for one buffer. */
int write_whole(const void *data, size_t len, uint64_t *done);

#endif
