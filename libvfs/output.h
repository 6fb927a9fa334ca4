/*
 * Standard output as the copy engines see it: what kind of file it is and
 * how to wait for it. Standard output was opened by someone else and may be
 * shared with other writers: nothing here changes its flags, reserves room
 * in it or cuts it.
 */
#ifndef OUTPUT_H
#define OUTPUT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Facts about descriptor 1, taken once per file copied. */
struct output_facts {
    int regular; /* a regular file */
    int append;  /* opened for appending: every write lands at its end */
    int pipe;    /* a pipe: splice can fill it */
    int by_page; /* a pipe or socket: a transfer hands it file pages to read later */
};

/* Takes the facts for the file about to be copied. Null, with errno and
 * the facts all 0, when descriptor 1 cannot be examined. */
const struct output_facts *probe_output(void);

/* The facts of the last probe; the first call probes. */
const struct output_facts *output(void);

/*
 * Sleeps until fd_in (-1: none) has data or an end and descriptor 1 has
 * room. Called after EAGAIN, which either side may give: a descriptor
 * someone else made non-blocking, or a splice told not to block.
 * 0, or -1 with errno when poll fails.
 */
int wait_ready(int fd_in);

/* Forces a regular output's data to storage after a record file; errno is kept. */
void sync_output(void);

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
