/* Stream copier: one byte stream to descriptor 1 by the cheapest path the kernel offers. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "output.h"
#include "whole_write.h"
#include "libports.h"
#include "copiers.h"
#include "transfer.h"

namespace
{

constexpr size_t fall_back_chunk = MAX_BUFFER;
constexpr char label[] = "stdin -> stdout";

/*
 * Every stage reads at the input descriptor's own position and leaves it
 * after the last byte copied, so a later reader of the same descriptor (a
 * second "-", the rest of a shell script) goes on where the copy stopped.
 */
struct copy_job {
    FILE *stream;
    int fd_i;
    void *buffer;
    struct stat stat_i;
    struct stat stat_o;
    int64_t left; /* bytes still to come from a regular input; -1 when not known */
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

/* Bytes read but not written go back to the input, where it can seek. */
void unread(const copy_job &job, size_t unwritten)
{
    int err = errno;
    if (unwritten > 0 && is_regular(job.stat_i))
        (void)lseek(job.fd_i, -(off_t)unwritten, SEEK_CUR);
    errno = err;
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
            if (errno == EINTR || (errno == EAGAIN && wait_ready(job.fd_i) == 0))
                continue;
            return -1;
        }
        file_size += (uint64_t)n;
        uint64_t done;
        int rc = write_whole(job.buffer, (size_t)n, &done);
        file_size += done;
        if (rc != 0) {
            unread(job, (size_t)n - (size_t)done);
            return -1;
        }
        tripl_copies++;
    }
}

int sendfile_stage(copy_job &job);

/* Where a refused stage hands the copy on; it goes on after the bytes already moved. */
int next_stage(copy_job &job, transfer_call c)
{
    if (c == transfer_call::copy_range && is_regular(job.stat_i))
        return sendfile_stage(job);
    return fall_back(job);
}

/*
 * One zero-copy stage. copy_file_range and sendfile are counted down by
 * what is left of a regular input; splice reads on to the end, as a pipe
 * must. A regular file whose size the kernel reports as 0 (/proc, /sys) may
 * still have data: a stage that moves nothing hands it to the read/write loop.
 */
int zero_copy(copy_job &job, transfer_call c)
{
    bool counted = c != transfer_call::splice;
    struct transfer_run run = {job.fd_i, counted ? job.left : -1, counted, 0, 0, 0};
    transfer_end end = transfer(c, run);
    if (counted)
        job.left = run.left;
    if (end == transfer_end::failed)
        return -1;
    if (end == transfer_end::refused)
        return next_stage(job, c);
    if (run.moved == 0 && is_regular(job.stat_i) && job.stat_i.st_size == 0)
        return fall_back(job);
    return 0;
}

int sendfile_stage(copy_job &job)
{
    trace("sendfile", label);
    return zero_copy(job, transfer_call::sendfile);
}

/* Reserves the rest of a regular input in a regular output, and gives back what a short copy left.
 */
int reserved_copy(copy_job &job, int (*copy)(copy_job &))
{
    bool reserved = job.left > 0 && reserve_output((uint64_t)job.left);
    int rc = copy(job);
    if (reserved)
        release_reserve();
    return rc;
}

int copy_range_stage(copy_job &job)
{
    trace("copy_file_range", label);
    return zero_copy(job, transfer_call::copy_range);
}

int copy(copy_job &job)
{
    bool pipe_in = is_pipe(job.stat_i);
    bool pipe_out = is_pipe(job.stat_o);
    if (pipe_in && pipe_out) {
        trace("splice", "p-2-p stdin -> stdout");
        return zero_copy(job, transfer_call::splice);
    }
    // An appending output refuses splice (EINVAL) and is served by the fall-back.
    if (pipe_in) {
        trace("splice", "p-2-f stdin -> stdout");
        return zero_copy(job, transfer_call::splice);
    }
    if (pipe_out) {
        // A terminal, device or socket reports size 0 but delivers data:
        // only a regular file can be spliced by its size.
        if (!is_regular(job.stat_i))
            return fall_back(job);
        trace("splice", "f-2-p stdin -> stdout");
        return zero_copy(job, transfer_call::splice);
    }
    if (is_regular(job.stat_i) || is_regular(job.stat_o))
        return reserved_copy(job, copy_range_stage);
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

/* What is left of a regular input from its descriptor's position on; -1 for any other. */
int64_t bytes_left(const copy_job &job)
{
    if (!is_regular(job.stat_i))
        return -1;
    off_t at = lseek(job.fd_i, 0, SEEK_CUR);
    return at < 0 ? -1 : std::max<int64_t>(job.stat_i.st_size - at, 0);
}

} // namespace

int concat_stream(const char *filename, const char *given)
{
    copy_job job{};
    if (!open_input(job, filename)) {
        close_stream(nullptr, nullptr);
        return -1;
    }
    int rc = -1;
    if (fstat(job.fd_i, &job.stat_i) == 0 && fstat(1, &job.stat_o) == 0 &&
        refuse_input_is_output(job.fd_i, given) == 0) {
        job.left = bytes_left(job);
        rc = copy(job);
    }
    finish(job);
    return rc < 0 ? -1 : 0;
}

int concat_stdio(char *filename)
{
    return concat_stream(filename, filename != nullptr ? filename : "-");
}
