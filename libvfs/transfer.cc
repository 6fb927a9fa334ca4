#include "transfer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <span>

#include "copiers.h"
#include "output.h"
#include "progress.h"
#include "syscalls.h"

namespace
{

enum class transfer_call { splice, copy_range, sendfile };

const char *const call_name[] = {"splice", "copy_file_range", "sendfile"};

/*
 * The transfers worth trying, in order. A pipe on either side is spliced,
 * but only a regular file can be spliced into a pipe by its size: a
 * terminal or device reports 0 and delivers data. sendfile reads only
 * what can be mapped. An appending output refuses splice (EINVAL) and is
 * left to the copier's own loop.
 */
std::span<const transfer_call> fitting_calls(const struct stat &in)
{
    static constexpr transfer_call by_splice[] = {transfer_call::splice};
    static constexpr transfer_call by_range[] = {transfer_call::copy_range,
                                                 transfer_call::sendfile};
    if (S_ISFIFO(in.st_mode) || (output()->pipe && S_ISREG(in.st_mode)))
        return by_splice;
    if (S_ISREG(in.st_mode))
        return by_range;
    if (output()->regular)
        return std::span(by_range).first(1);
    return {};
}

ssize_t call(transfer_call c, int fd_in, size_t chunk)
{
    switch (c) {
    case transfer_call::splice:
        return sys.splice(fd_in, nullptr, 1, nullptr, chunk, SPLICE_F_NONBLOCK);
    case transfer_call::copy_range:
        return sys.copy_file_range(fd_in, nullptr, 1, nullptr, chunk, 0);
    case transfer_call::sendfile:
        return sys.sendfile(1, fd_in, nullptr, chunk);
    }
    errno = EINVAL;
    return -1;
}

/*
 * The errors by which the kernel refuses the pair rather than fails the
 * copy. An appending output refuses copy_file_range with EBADF; sendfile or
 * a plain write may still take it.
 */
bool refused(transfer_call c, int err)
{
    switch (c) {
    case transfer_call::splice:
        return err == EINVAL;
    case transfer_call::copy_range:
        return err == ENOSYS || err == EXDEV || err == EINVAL || (err == EBADF && output()->append);
    case transfer_call::sendfile:
        return err == EINVAL || err == ENOSYS;
    }
    return false;
}

/* Counts one call that moved n bytes. */
void count(struct transfer_job &job, bool counted, int64_t &left, ssize_t n)
{
    job.calls++;
    if (n > 0 || counted) {
        file_size += 2 * (uint64_t)n;
        zero_copies++;
    }
    job.moved += (uint64_t)n;
    progress_moved((uint64_t)n);
    if (left >= 0)
        left = std::max<int64_t>(left - n, 0);
}

/* A call that failed: EAGAIN is waited out (again), a refusal hands over to the next stage. */
transfer_end after_failure(transfer_call c, struct transfer_job &job, bool &again)
{
    again = false;
    // copy_file_range joins two files that never say "not now".
    if (errno == EAGAIN && c != transfer_call::copy_range) {
        job.waits++;
        again = wait_ready(job.fd_in) == 0;
        return transfer_end::failed;
    }
    return refused(c, errno) ? transfer_end::refused : transfer_end::failed;
}

/*
 * True, with the message printed, when a regular input handed to a pipe or
 * socket has become shorter than the position it was handed up to: some of
 * the pages the reader has yet to take lost their bytes. A file the kernel
 * sizes as 0 (/proc) has never had a size to shrink from.
 */
bool input_cut(struct transfer_job &job)
{
    if (!S_ISREG(job.in.st_mode) || !output()->by_page)
        return false;
    struct stat now;
    off_t handed = sys.lseek(job.fd_in, 0, SEEK_CUR);
    if (handed < 0 || sys.fstat(job.fd_in, &now) != 0)
        return false;
    bool shrank = now.st_size < job.in.st_size;
    job.in.st_size = std::max(job.in.st_size, now.st_size);
    if (!shrank || now.st_size >= handed)
        return false;
    job.cut_at = (uint64_t)now.st_size;
    fprintf(stderr, "Eh? %s: truncated at byte %llu during the copy\n", job.name,
            (unsigned long long)job.cut_at);
    return true;
}

/* One call repeated to the end of the input or of the count. */
transfer_end stage(transfer_call c, struct transfer_job &job)
{
    // A splice that reads to the end neither counts down nor counts a call
    // that finds the end.
    bool counted = c != transfer_call::splice || !job.splice_to_end;
    int64_t to_end = -1;
    int64_t &left = counted ? job.left : to_end;
    for (;;) {
        int64_t most = progress_chunk(max_transfer);
        int64_t chunk = left < 0 ? most : std::min(left, most);
        ssize_t n = call(c, job.fd_in, (size_t)chunk);
        if (n < 0) {
            bool again;
            transfer_end end = after_failure(c, job, again);
            if (again)
                continue;
            return end;
        }
        count(job, counted, left, n);
        if (input_cut(job))
            return transfer_end::input_cut;
        if (n == 0 || left == 0)
            return transfer_end::done;
    }
}

void trace_call(transfer_call c, const struct transfer_job &job)
{
    if (verbose < 2)
        return;
    if (c != transfer_call::splice || !job.splice_to_end) {
        fprintf(stderr, "%s %s\n", call_name[(int)c], job.label);
        return;
    }
    char from = S_ISFIFO(job.in.st_mode) ? 'p' : 'f';
    fprintf(stderr, "splice %c-2-%c %s\n", from, output()->pipe ? 'p' : 'f', job.label);
}

} // namespace

transfer_end transfer(struct transfer_job &job)
{
    transfer_end end = transfer_end::refused;
    for (transfer_call c : fitting_calls(job.in)) {
        trace_call(c, job);
        end = stage(c, job);
        if (end != transfer_end::refused)
            break;
    }
    return end;
}

void trace_stage(const char *stage, const char *label)
{
    if (verbose > 1)
        fprintf(stderr, "%s %s\n", stage, label);
}
