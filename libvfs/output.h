/*
 * Standard output as the copy engines see it: what kind of file it is, how
 * to wait for it, how to reserve room in it and give back what was not used.
 */
#ifndef OUTPUT_H
#define OUTPUT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Facts about descriptor 1, taken once per file copied. */
struct output_facts {
    int regular; /* a regular file: it can be reserved and trimmed */
    int append;  /* opened for appending: every write lands at its end */
    int blocks;  /* a pipe, socket or terminal: a write may have to wait */
    int pipe;    /* a pipe: splice can fill it */
};

/* Takes the facts for the file about to be copied. Null, with errno and
 * the facts all 0, when descriptor 1 cannot be examined. */
const struct output_facts *probe_output(void);

/* The facts of the last probe; the first call probes. */
const struct output_facts *output(void);

/* 1 when fd is a pipe, socket or terminal, whose readiness is worth waiting for. */
int can_block(int fd);

/*
 * Sleeps until fd_in (-1: none) has data or an end and descriptor 1 has
 * room, counting only descriptors that can block. Called after EAGAIN.
 * 0, or -1 with errno when poll fails.
 */
int wait_ready(int fd_in);

/*
 * Reserves len bytes of a regular output from where the next write lands,
 * without changing its size, so that a copy cut short never looks complete.
 * 1 when reserved; 0 when not (not regular, len 0, or refused).
 */
int reserve_output(uint64_t len);

/*
 * Gives back reserved room past the output's last byte, never cutting
 * written data, and syncs. On a pipe or terminal both calls fail
 * harmlessly; errno then holds their error.
 */
void trim_stdout(void);

/* The same without the sync, after a stream copy that reserved room. */
void release_reserve(void);

/*
 * Refuses an input that is the output itself and still has bytes to read
 * (a FIFO or socket never is): copying it would feed the output back into
 * the input until the disk is full. Prints "Eh? NAME: input file is output
 * file" and returns -1 with EINVAL; 0 when the copy may go on.
 */
int refuse_input_is_output(int fd, const char *name);

#ifdef __cplusplus
}
#endif

#endif
