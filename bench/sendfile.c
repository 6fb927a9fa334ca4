/* The floor under a file copied to /dev/null: one process that opens its
 * operand and sends it to standard output with sendfile in the chunks
 * tandro uses, and nothing else (no locale, no checks, no second process).
 * Against busybox cat in the same run it shows what the kernel's sendfile
 * costs, apart from start-up. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>

int main(int argc, char **argv)
{
    int fd = argc > 1 ? open(argv[1], O_RDONLY) : -1;
    ssize_t n;

    if (fd < 0) {
        perror("sendfile floor");
        return 1;
    }
    while ((n = sendfile(1, fd, NULL, 0x7ffff000)) > 0)
        continue;
    if (n < 0)
        perror("sendfile floor");
    return n < 0;
}
