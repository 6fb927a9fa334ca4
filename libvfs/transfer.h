/*
 * The zero-copy engine both copiers share: the kernel transfers that fit an
 * input and descriptor 1 (splice, or copy_file_range then sendfile), each
 * from the input descriptor's own position, repeated until the input ends or
 * the count is moved, waiting in poll where the kernel says "not now". A
 * refused transfer hands on to the next after the bytes it moved.
 *
 * A pipe or socket is handed the file's pages, which its reader takes
 * later: a file cut shorter meanwhile gives that reader zeros or stale bytes
 * in place of the bytes it lost. After each call into such an output the
 * input's size is compared with what was handed over.
 */
#ifndef TRANSFER_H
#define TRANSFER_H

#include <stdint.h>
#include <sys/stat.h>

enum class transfer_end { done, refused, failed, input_cut };

/* One file's transfer: what the copier gives, then what the engine counts. */
struct transfer_job {
    int fd_in;
    struct stat in;     /* the input's kind, and the largest size seen */
    int64_t left;       /* still to move; -1: on to the end of the input */
    const char *name;   /* the input, for messages */
    const char *label;  /* what the -v -v trace names after the call */
    bool splice_to_end; /* splice reads on to the end, as from a pipe, and
                           names the pair's kinds (p-2-f) in its trace */
    uint64_t moved;     /* bytes moved */
    uint64_t calls;     /* calls that returned a count, 0 included */
    uint64_t waits;     /* EAGAIN answers waited out */
    uint64_t cut_at;    /* input_cut: the input's size when it was found cut */
};

/*
 * Runs the transfers that fit the input and the probed output. done: the
 * input ended (a call moved nothing) or left reached 0; refused: no transfer
 * fits or every one that does refused the pair (errno tells), and the
 * caller goes on another way after job.moved bytes; failed: errno holds the
 * failure; input_cut: the input became shorter than what a pipe or socket
 * was handed of it, and "Eh? NAME: truncated at byte N during the copy" is
 * printed. Each call's bytes count twice in file_size; each call, once in
 * zero_copies, except an empty splice that reads to the end.
 */
transfer_end transfer(struct transfer_job &job);

/* The -v -v trace of a copy stage: "STAGE LABEL". */
void trace_stage(const char *stage, const char *label);

#endif
