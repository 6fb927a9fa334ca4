#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errno_keeper.h"
#include "syscalls.h"

namespace
{

struct output_facts facts;
bool probed;

bool blocking_kind(const struct stat &st, int fd)
{
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || (S_ISCHR(st.st_mode) && isatty(fd));
}

} // namespace

const struct output_facts *probe_output(void)
{
    struct stat st;
    facts = {};
    probed = true;
    if (sys.fstat(1, &st) != 0)
        return nullptr;
    errno_keeper keep;
    int flags = sys.fcntl(1, F_GETFL, 0);
    facts.regular = S_ISREG(st.st_mode);
    facts.blocks = blocking_kind(st, 1);
    facts.pipe = S_ISFIFO(st.st_mode);
    facts.append = flags != -1 && (flags & O_APPEND) != 0;
    return &facts;
}

const struct output_facts *output(void)
{
    if (!probed) {
        errno_keeper keep;
        probe_output();
    }
    return &facts;
}

int can_block(int fd)
{
    struct stat st;
    return fd >= 0 && sys.fstat(fd, &st) == 0 && blocking_kind(st, fd);
}

int wait_ready(int fd_in)
{
    struct pollfd waits[2];
    nfds_t n = 0;
    if (can_block(fd_in))
        waits[n++] = {fd_in, POLLIN, 0};
    if (output()->blocks)
        waits[n++] = {1, POLLOUT, 0};
    // Both sides must be ready: a side that is drops out of the next poll.
    while (n > 0) {
        if (sys.poll(waits, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        nfds_t left = 0;
        for (nfds_t i = 0; i < n; i++)
            if (waits[i].revents == 0)
                waits[left++] = waits[i];
        n = left;
    }
    return 0;
}

int reserve_output(uint64_t len)
{
    if (!output()->regular || len == 0 || len > (uint64_t)INT64_MAX)
        return 0;
    errno_keeper keep;
    struct stat st;
    off_t at = sys.lseek(1, 0, SEEK_CUR);
    if (output()->append)
        at = sys.fstat(1, &st) == 0 ? st.st_size : -1;
    return at >= 0 && sys.fallocate(1, FALLOC_FL_KEEP_SIZE, at, (off_t)len) == 0;
}

void release_reserve(void)
{
    // Cutting at the file's own size takes nothing written away; the kernel
    // frees the blocks reserved past it. An appending output may be growing
    // under another writer at this moment, so it is left alone.
    struct stat st;
    off_t keep = sys.lseek(1, 0, SEEK_CUR);
    if (sys.fstat(1, &st) == 0 && S_ISREG(st.st_mode)) {
        if (output()->append)
            return;
        keep = st.st_size;
    }
    // On a pipe or terminal the cut fails harmlessly; errno then tells of it.
    (void)sys.ftruncate(1, keep);
}

void trim_stdout(void)
{
    release_reserve();
    (void)sys.fdatasync(1);
}

int refuse_input_is_output(int fd, const char *name)
{
    struct stat in, out;
    if (sys.fstat(fd, &in) != 0 || sys.fstat(1, &out) != 0 || S_ISFIFO(in.st_mode) ||
        S_ISSOCK(in.st_mode) || in.st_dev != out.st_dev || in.st_ino != out.st_ino)
        return 0;
    off_t at = sys.lseek(fd, 0, SEEK_CUR);
    if (at < 0 || at >= in.st_size)
        return 0;
    fprintf(stderr, "Eh? %s: input file is output file\n", name);
    errno = EINVAL;
    return -1;
}
