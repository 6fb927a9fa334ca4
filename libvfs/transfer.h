/*
 * The zero-copy engine both copiers share: one kind of kernel transfer
 * (splice, copy_file_range or sendfile) from an input descriptor's own
 * position to descriptor 1, repeated until the input ends or the count is
 * moved, waiting in poll where the kernel says "not now".
 */
#ifndef TRANSFER_H
#define TRANSFER_H

#include <stdint.h>

enum class transfer_call { splice, copy_range, sendfile };
enum class transfer_end { done, refused, failed };

struct transfer_run {
    int fd_in;
    int64_t left;     /* still to move; -1: on to the end of the input */
    bool count_empty; /* a call that moves nothing counts as a zero copy too */
    uint64_t moved;   /* bytes moved */
    uint64_t calls;   /* calls that returned a count, 0 included */
    uint64_t waits;   /* EAGAIN answers waited out */
};

/*
 * Runs call c. done: the input ended (a call moved nothing) or left reached
 * 0; refused: the kernel does not take this pair of descriptors (errno
 * tells), and the caller may go on another way after run.moved bytes;
 * failed: errno holds the failure. Each call's bytes count twice in
 * file_size, each call once in zero_copies.
 */
transfer_end transfer(transfer_call c, struct transfer_run &run);

#endif
