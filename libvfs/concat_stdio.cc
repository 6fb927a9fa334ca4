/* Stream copier: one byte stream to descriptor 1 by the cheapest path the kernel offers. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "libports.h"
#include "tandro.h"
#include "vfs_posix.h"

namespace
{

using vfs_posix::max_transfer;

constexpr size_t fall_back_chunk = MAX_BUFFER;
constexpr char label[] = "stdin -> stdout";

struct copy_job {
    FILE *stream;
    int fd_i;
    void *buffer;
    struct stat stat_i;
    struct stat stat_o;
    bool out_append;
};

/*
 * Standard input keeps one transfer buffer for the whole run: a later "-"
 * reads it again, so its buffer may only go once a newer one is installed.
 */
void *stdin_buffer;

void trace(const char *strategy, const char *what)
{
    if (verbose > 1)
        fprintf(stderr, "%s %s\n", strategy, what);
}

bool is_pipe(const struct stat &st)
{
    return S_ISFIFO(st.st_mode);
}
bool is_regular(const struct stat &st)
{
    return S_ISREG(st.st_mode);
}

void count_zero_copy(int64_t n)
{
    file_size += 2 * (uint64_t)n;
    zero_copies++;
}

/*
 * Gives the kernel the output's final size up front. Skipped for an output in
 * append mode: the preallocated zeros would sit before the appended data.
 */
void preallocate(const copy_job &job, int64_t len)
{
    if (len != 0 && is_regular(job.stat_i) && !job.out_append)
        (void)posix_fallocate(1, 0, len);
}

/* Writes all n bytes; 0 or -1 with errno of the failed write. */
int write_all(const char *data, size_t n)
{
    while (n > 0) {
        ssize_t w = write(1, data, n);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return -1;
        }
        file_size += (uint64_t)w;
        data += w;
        n -= (size_t)w;
    }
    return 0;
}

int fall_back(copy_job &job)
{
    trace("Fall_Back", label);
    for (;;) {
        ssize_t n = read(job.fd_i, job.buffer, fall_back_chunk);
        if (n == 0)
            return 0;
        if (n < 0) {
            // The input is non-blocking: "not yet" is not the end of the data.
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return -1;
        }
        file_size += (uint64_t)n;
        if (write_all((const char *)job.buffer, (size_t)n) != 0)
            return -1;
        tripl_copies++;
    }
}

/* off_in: null to read at the input's own position, else an offset the kernel advances. */
int splice_loop(copy_job &job, int64_t *off_in, size_t chunk)
{
    for (;;) {
        ssize_t n = splice(job.fd_i, off_in, 1, nullptr, chunk, SPLICE_F_NONBLOCK);
        if (n > 0) {
            count_zero_copy(n);
            continue;
        }
        if (n == 0)
            return 0;
        if (errno == EAGAIN)
            continue;
        if (errno != EINVAL)
            return -1;
        // The fall-back goes on after the bytes already moved, not from the start.
        if (off_in != nullptr && *off_in > 0 && lseek(job.fd_i, *off_in, SEEK_SET) < 0)
            return -1;
        return fall_back(job);
    }
}

int splice_pipe_to_pipe(copy_job &job)
{
    trace("splice", "p-2-p stdin -> stdout");
    return splice_loop(job, nullptr, max_transfer);
}

/*
 * Written at standard output's own position, which the kernel advances, so
 * that earlier output of the run stays. An output in append mode refuses
 * splice (EINVAL) and is served by the fall-back.
 */
int splice_pipe_to_file(copy_job &job)
{
    trace("splice", "p-2-f stdin -> stdout");
    return splice_loop(job, nullptr, max_transfer);
}

/*
 * The input is read from offset 0 through an offset of the copier's own; the
 * input descriptor's position does not move. A file of a pseudo file system
 * reports size 0 yet has data, so size 0 lets the kernel find the end (a truly
 * empty file ends on the first call all the same).
 */
int splice_file_to_pipe(copy_job &job)
{
    trace("splice", "f-2-p stdin -> stdout");
    int64_t size = job.stat_i.st_size;
    preallocate(job, size);
    int64_t offset = 0;
    return splice_loop(job, &offset,
                       (size_t)std::min(size == 0 ? max_transfer : size, max_transfer));
}

int sendfile_stage(copy_job &job)
{
    if (!is_regular(job.stat_i))
        return fall_back(job);
    trace("sendfile", label);
    int64_t len = job.stat_i.st_size;
    preallocate(job, len);
    do {
        ssize_t n = sendfile(1, job.fd_i, nullptr, (size_t)std::min(len, max_transfer));
        if (n < 0) {
            if (errno == EAGAIN)
                continue;
            if (errno == EINVAL || errno == ENOSYS)
                return fall_back(job);
            return -1;
        }
        count_zero_copy(n);
        if (n == 0)
            return 0;
        len -= n;
    } while (len > 0);
    return 0;
}

/*
 * The kernel refuses copy_file_range into an output in append mode with
 * EBADF; that is a refusal of the pair like EINVAL, so `tandro f >> log`
 * goes on with sendfile or the fall-back. Any other EBADF is a failure.
 */
bool refused(const copy_job &job, int err)
{
    return err == ENOSYS || err == EXDEV || err == EINVAL || (err == EBADF && job.out_append);
}

int copy_range_stage(copy_job &job)
{
    trace("copy_file_range", label);
    int64_t len = job.stat_i.st_size;
    preallocate(job, len);
    do {
        ssize_t n = vfs_posix::copy_file_range(job.fd_i, nullptr, 1, nullptr,
                                               (size_t)std::min(len, max_transfer), 0);
        if (n < 0)
            return refused(job, errno) ? sendfile_stage(job) : -1;
        count_zero_copy(n);
        if (n == 0)
            return 0;
        len -= n;
    } while (len > 0);
    return 0;
}

int copy(copy_job &job)
{
    bool pipe_in = is_pipe(job.stat_i);
    bool pipe_out = is_pipe(job.stat_o);
    if (pipe_in && pipe_out)
        return splice_pipe_to_pipe(job);
    if (pipe_in)
        return splice_pipe_to_file(job);
    if (pipe_out) {
        // A terminal, device or socket reports size 0 but delivers data; a
        // splice sized by st_size would copy nothing, so read it instead.
        if (job.stat_i.st_size == 0 && !is_regular(job.stat_i))
            return fall_back(job);
        return splice_file_to_pipe(job);
    }
    if (is_regular(job.stat_i) || is_regular(job.stat_o))
        return copy_range_stage(job);
    return fall_back(job);
}

/* Sets up the stream and its buffer; false (errno set) when the open fails. */
bool open_input(copy_job &job, const char *filename)
{
    if (filename == nullptr) {
        job.stream = stdin;
        job.fd_i = 0;
        void *fresh = fast_stream(stdin);
        // Without a new buffer the stream still uses the old one, so it stays.
        if (fresh != nullptr) {
            free(stdin_buffer);
            stdin_buffer = fresh;
        }
        job.buffer = stdin_buffer;
        return true;
    }
    job.stream = fopen(filename, "r");
    if (job.stream == nullptr)
        return false;
    job.fd_i = fileno(job.stream);
    job.buffer = fast_stream(job.stream);
    return true;
}

/* A stream opened here is closed and its buffer freed; errno survives. */
void finish(copy_job &job)
{
    close_stream(job.stream, job.buffer);
    if (job.stream == nullptr || job.stream == stdin)
        return;
    int err = errno;
    fclose(job.stream);
    free(job.buffer);
    errno = err;
}

} // namespace

int concat_stdio(char *filename)
{
    copy_job job{};
    if (!open_input(job, filename)) {
        close_stream(nullptr, nullptr);
        return -1;
    }
    int rc = -1;
    if (fstat(job.fd_i, &job.stat_i) == 0 && fstat(1, &job.stat_o) == 0) {
        int flags = fcntl(1, F_GETFL);
        job.out_append = flags != -1 && (flags & O_APPEND) != 0;
        rc = copy(job);
    }
    finish(job);
    return rc < 0 ? -1 : 0;
}
