/* Stream copier: one byte stream to descriptor 1 by the cheapest path the kernel offers. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "copiers.h"
#include "errno_keeper.h"
#include "libports.h"
#include "output.h"
#include "progress.h"
#include "syscalls.h"
#include "transfer.h"
#include "whole_write.h"

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
    int64_t left; /* bytes still to come from a regular input; -1 when not known */
};

/*
 * Standard input keeps one transfer buffer for the whole run: a later "-"
 * reads it again, so its buffer may only go once a newer one is installed.
 */
void *stdin_buffer;

bool is_regular(const struct stat &st)
{
    return S_ISREG(st.st_mode);
}

/* Bytes read but not written go back to the input, where it can seek. */
void unread(const copy_job &job, size_t unwritten)
{
    errno_keeper keep;
    if (unwritten > 0 && is_regular(job.stat_i))
        (void)sys.lseek(job.fd_i, -(off_t)unwritten, SEEK_CUR);
}

/* One read: its length, 0 at the end, -1 with errno. */
ssize_t read_some(const copy_job &job)
{
    for (;;) {
        ssize_t n = sys.read(job.fd_i, job.buffer, fall_back_chunk);
        // The input is non-blocking: "not yet" is not the end of the data.
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && wait_ready(job.fd_i) == 0)))
            continue;
        return n;
    }
}

int fall_back(copy_job &job)
{
    trace_stage("Fall_Back", label);
    for (;;) {
        ssize_t n = read_some(job);
        if (n <= 0)
            return (int)n;
        file_size += (uint64_t)n;
        progress_moved((uint64_t)n);
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

/*
 * The kernel's transfers where they fit, the read/write loop for the rest.
 * A regular file whose size the kernel reports as 0 (/proc, /sys) may still
 * have data: a transfer that moves nothing hands it to the read/write loop.
 */
int zero_copy_or_fall_back(copy_job &job, const char *given)
{
    struct transfer_job t = {job.fd_i, job.stat_i, job.left, given, label, true, 0, 0, 0, 0};
    transfer_end end = transfer(t);
    if (end == transfer_end::failed)
        return -1;
    if (end == transfer_end::input_cut)
        return CONCAT_STOP;
    if (end == transfer_end::refused ||
        (t.moved == 0 && is_regular(job.stat_i) && job.stat_i.st_size == 0))
        return fall_back(job);
    return 0;
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
    errno_keeper keep;
    fclose(job.stream);
    free(job.buffer);
}

/* What is left of a regular input from its descriptor's position on; -1 for any other. */
int64_t bytes_left(const copy_job &job)
{
    if (!is_regular(job.stat_i))
        return -1;
    off_t at = sys.lseek(job.fd_i, 0, SEEK_CUR);
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
    if (sys.fstat(job.fd_i, &job.stat_i) == 0 && probe_output() != nullptr &&
        refuse_input_is_output(job.fd_i, given) == 0) {
        job.left = bytes_left(job);
        if (job.left >= 0)
            progress_total((uint64_t)job.left);
        rc = zero_copy_or_fall_back(job, given);
    }
    finish(job);
    return rc;
}

int concat_stdio(char *filename)
{
    return concat_stream(filename, filename != nullptr ? filename : "-");
}
