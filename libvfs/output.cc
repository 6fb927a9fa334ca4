#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errno_keeper.h"
#include "library_error.h"
#include "syscalls.h"

namespace
{

struct output_facts facts;
bool probed;

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
    facts.pipe = S_ISFIFO(st.st_mode);
    facts.by_page = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
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

int wait_ready(int fd_in)
{
    // Either side may have said "not now"; a side that cannot be waited for
    // (a regular file) is ready at once and drops out.
    struct pollfd waits[2];
    nfds_t n = 0;
    if (fd_in >= 0)
        waits[n++] = {fd_in, POLLIN, 0};
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

void sync_output(void)
{
    if (!output()->regular)
        return;
    errno_keeper keep;
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
    operand_named();
    errno = EINVAL;
    return -1;
}
