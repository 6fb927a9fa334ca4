/* Moves standard input to standard output with splice until the end of the
 * input. The benchmark uses it as the producer in front of a tool (file to
 * pipe) and as the consumer behind one (pipe to /dev/null): no byte passes
 * through user memory, so neither end limits the tool measured between them.
 * One side must be a pipe. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

int main(void)
{
    struct stat st;

    /* As producer it gives every tool the same large pipe to read from; as
     * consumer it leaves the pipe as the tool in front of it made it. */
    if (fstat(1, &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(1, F_SETPIPE_SZ, 1 << 20);
    for (;;) {
        ssize_t n = splice(0, NULL, 1, NULL, 1 << 20, SPLICE_F_MOVE);
        if (n > 0)
            continue;
        if (n == 0)
            return 0;
        if (errno != EINTR && errno != EAGAIN) {
            perror("pump: splice");
            return 1;
        }
    }
}
