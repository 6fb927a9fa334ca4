// The copy engines with their system calls scripted through the seam: calls
// that fail, wait, move less than asked or refuse after moving some bytes;
// and the record copier behind a fake driver. What reaches the output, the
// trace and the counters is compared.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "copiers.h"
#include "syscalls.h"

// The record row that cannot grow asks for more than any allocator gives;
// under AddressSanitizer it fails soon rather than after mapping terabytes.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

namespace
{

enum class call { read, writev, splice, copy_range, sendfile };

/* One answer of the scripted call: fail with err, else make the real call
 * moving at most cap bytes (a cap of 0 returns 0 without calling). */
struct answer {
    int err;
    size_t cap;
};

struct script {
    call which;
    std::vector<answer> answers; /* then the real call, uncapped */
    bool refuse_others;          /* the other transfers refuse at once (EINVAL) */
};

const syscall_table real = sys;
const script *active;
size_t answered_calls;
std::string polled; /* "in"/"out" for each descriptor of each poll */

/* True with rc when the script answers this call; else len is what the real call may move. */
bool scripted(call c, size_t &len, ssize_t &rc)
{
    bool transfer = c != call::read && c != call::writev;
    if (c != active->which) {
        if (!transfer || !active->refuse_others)
            return false;
        errno = EINVAL;
        rc = -1;
        return true;
    }
    if (answered_calls >= active->answers.size())
        return false;
    const answer &a = active->answers[answered_calls++];
    len = std::min(len, a.cap);
    rc = a.err != 0 ? -1 : 0;
    errno = a.err != 0 ? a.err : errno;
    return a.err != 0 || len == 0;
}

ssize_t fake_read(int fd, void *buf, size_t len)
{
    ssize_t rc;
    return scripted(call::read, len, rc) ? rc : real.read(fd, buf, len);
}

ssize_t fake_writev(int fd, const iovec *iov, int count)
{
    size_t len = SIZE_MAX;
    ssize_t rc;
    if (scripted(call::writev, len, rc))
        return rc;
    std::vector<iovec> cut;
    for (int i = 0; i < count && len > 0; len -= cut.back().iov_len, i++)
        cut.push_back({iov[i].iov_base, std::min(len, iov[i].iov_len)});
    return real.writev(fd, cut.data(), (int)cut.size());
}

ssize_t fake_splice(int in, loff_t *off_in, int out, loff_t *off_out, size_t len, unsigned flags)
{
    ssize_t rc;
    return scripted(call::splice, len, rc) ? rc : real.splice(in, off_in, out, off_out, len, flags);
}

ssize_t fake_copy_range(int in, loff_t *off_in, int out, loff_t *off_out, size_t len,
                        unsigned flags)
{
    ssize_t rc;
    return scripted(call::copy_range, len, rc)
               ? rc
               : real.copy_file_range(in, off_in, out, off_out, len, flags);
}

ssize_t fake_sendfile(int out, int in, off_t *offset, size_t len)
{
    ssize_t rc;
    return scripted(call::sendfile, len, rc) ? rc : real.sendfile(out, in, offset, len);
}

int fake_poll(pollfd *fds, nfds_t count, int timeout)
{
    for (nfds_t i = 0; i < count; i++)
        polled += fds[i].fd == 1 ? "out " : "in ";
    return real.poll(fds, count, timeout);
}

/* The script's table in place for one case; the real one back after it. */
struct seam {
    explicit seam(const script &s)
    {
        active = &s;
        answered_calls = 0;
        polled.clear();
        sys.read = fake_read;
        sys.writev = fake_writev;
        sys.splice = fake_splice;
        sys.copy_file_range = fake_copy_range;
        sys.sendfile = fake_sendfile;
        sys.poll = fake_poll;
    }
    ~seam() { sys = real; }
};

std::string read_all(int fd)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got.append(buf, (size_t)n);
    return got;
}

enum class kind { file, pipe, null };

/* A descriptor of that kind holding data, at its start (write end closed). */
int holding(kind k, const std::string &data)
{
    int fds[2];
    if (k == kind::null)
        return open("/dev/null", O_RDONLY);
    if (k == kind::pipe) {
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], data.data(), data.size()), (ssize_t)data.size());
        close(fds[1]);
        return fds[0];
    }
    FILE *f = tmpfile();
    int fd = dup(fileno(f));
    fclose(f);
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), 0), (ssize_t)data.size());
    return fd;
}

/* Descriptors 1 and 2 (or 1 alone) redirected for one call; what they got after it. */
struct capture {
    int out[2] = {-1, -1}, err, saved_out = dup(1), saved_err = dup(2);

    capture(kind k, bool both)
    {
        FILE *f = tmpfile();
        err = dup(fileno(f));
        fclose(f);
        if (k == kind::pipe)
            EXPECT_EQ(pipe(out), 0);
        else
            out[0] = out[1] = holding(kind::file, "");
        dup2(out[1], 1);
        dup2(both ? out[1] : err, 2);
    }
    /* Standard output, then standard error. */
    std::pair<std::string, std::string> take()
    {
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        if (out[1] != out[0])
            close(out[1]);
        lseek(out[0], 0, SEEK_SET);
        lseek(err, 0, SEEK_SET);
        return {read_all(out[0]), read_all(err)};
    }
    ~capture()
    {
        for (int fd : {out[0], err, saved_out, saved_err})
            close(fd);
    }
};

/* The library's data cache of a fake block file, in blocks of 1000. */
const std::string *cached;
vfs_buffer cache_block;

int fake_cache_read(vfs_file *fh, vfs_cursor *cursor)
{
    uint64_t at = std::min<uint64_t>(cursor->roffset, cached->size());
    cache_block.buffer = (unsigned char *)const_cast<char *>(cached->data()) + at;
    cache_block.offset = at;
    cache_block.buffsize = 1000;
    cache_block.total = std::min<uint64_t>(1000, cached->size() - at);
    cache_block.bend = at + cache_block.total;
    cache_block.beof = cache_block.bend == cached->size();
    fh->dcache.current = &cache_block;
    return 0;
}

const vfs_internals fake_internals = {fake_cache_read, nullptr, nullptr, nullptr};

int copy_blocks(int fd, const std::string &data)
{
    struct vfs_api api = {};
    api.vfs_internals = &fake_internals;
    vfs_file fh = {};
    fh.fd = fd;
    vfs_file_info info = {};
    info.fname = const_cast<char *>("f");
    info.bytes = data.size();
    cached = &data;
    return read_buffer(&api, &fh, &info);
}

enum class copier { stream, block };

struct engine_case {
    const char *name;
    copier by;
    kind in, out;
    script fake;
    int rc, err;        /* errno when rc is not 0 */
    size_t reached;     /* bytes of the input that reach the output, from its start */
    uint64_t counted;   /* file_size: bytes read plus bytes written */
    const char *polled; /* the descriptors each poll waited for */
    const char *trace;  /* -v -v */
};

constexpr size_t N = 5000;
#define P2P "splice p-2-p stdin -> stdout\n"
#define P2F "splice p-2-f stdin -> stdout\n"
#define F2P "splice f-2-p stdin -> stdout\n"
#define RANGE "copy_file_range stdin -> stdout\n"
#define SENDFILE "sendfile stdin -> stdout\n"
#define LOOP "Fall_Back stdin -> stdout\n"
#define BLOCKS "fast buffering file f\n"

// clang-format off
const engine_case engine_cases[] = {
    {"EAGAIN on read is waited out in poll, not taken as the end", copier::stream, kind::pipe, kind::pipe, {call::read, {{EAGAIN, 0}}, true}, 0, 0, N, 2 * N, "in out ", P2P LOOP},
    {"EAGAIN from a device someone made non-blocking is waited out in poll too", copier::stream, kind::null, kind::pipe, {call::read, {{EAGAIN, 0}}, true}, 0, 0, 0, 0, "in out ", LOOP},
    {"EINTR on read: read again", copier::stream, kind::pipe, kind::file, {call::read, {{EINTR, 0}}, true}, 0, 0, N, 2 * N, "", P2F LOOP},
    {"EAGAIN on write is waited out in poll", copier::stream, kind::pipe, kind::pipe, {call::writev, {{EAGAIN, 0}}, true}, 0, 0, N, 2 * N, "out ", P2P LOOP},
    {"EINTR on write: written again", copier::stream, kind::pipe, kind::file, {call::writev, {{EINTR, 0}}, true}, 0, 0, N, 2 * N, "", P2F LOOP},
    {"short writes are continued", copier::stream, kind::pipe, kind::file, {call::writev, {{0, 1}, {0, 100}}, true}, 0, 0, N, 2 * N, "", P2F LOOP},
    {"a write that moves nothing fails", copier::stream, kind::pipe, kind::file, {call::writev, {{0, 0}}, true}, -1, EIO, 0, N, "", P2F LOOP},
    {"ENOSPC: the bytes before it written and counted", copier::stream, kind::pipe, kind::file, {call::writev, {{0, 1000}, {ENOSPC, 0}}, true}, -1, ENOSPC, 1000, N + 1000, "", P2F LOOP},
    {"ENOSPC from a file: its position back after the bytes written", copier::stream, kind::file, kind::file, {call::writev, {{0, 1000}, {ENOSPC, 0}}, true}, -1, ENOSPC, 1000, N + 1000, "", RANGE SENDFILE LOOP},
    {"EAGAIN on splice is waited out in poll", copier::stream, kind::pipe, kind::pipe, {call::splice, {{EAGAIN, 0}}, false}, 0, 0, N, 2 * N, "in out ", P2P},
    {"splice refused after moving some: the rest read after them", copier::stream, kind::file, kind::pipe, {call::splice, {{0, 1000}, {EINVAL, 0}}, false}, 0, 0, N, 2 * N, "", F2P LOOP},
    {"copy_file_range refused after moving some: sendfile goes on", copier::stream, kind::file, kind::file, {call::copy_range, {{0, 1000}, {ENOSYS, 0}}, false}, 0, 0, N, 2 * N, "", RANGE SENDFILE},
    {"no copy_file_range from a device: the read loop, no sendfile", copier::stream, kind::null, kind::file, {call::copy_range, {{ENOSYS, 0}}, false}, 0, 0, 0, 0, "", RANGE LOOP},
    {"ENOSPC in a transfer: the bytes it moved counted", copier::stream, kind::file, kind::file, {call::copy_range, {{0, 1000}, {ENOSPC, 0}}, false}, -1, ENOSPC, 1000, 2000, "", RANGE},
    {"block file: a transfer refused at once leaves it to the cache", copier::block, kind::file, kind::file, {call::copy_range, {{EINVAL, 0}}, true}, 0, 0, N, 2 * N, "", BLOCKS "copy_file_range f\nsendfile f\nFall_Back f\n"},
    {"block file: refused after moving some is reported, not copied twice", copier::block, kind::file, kind::pipe, {call::splice, {{0, 1000}, {EINVAL, 0}}, false}, -1, EINVAL, 1000, 2000, "", BLOCKS "splice f\n"},
};
// clang-format on

class engines : public testing::TestWithParam<engine_case>
{
};

TEST_P(engines, bytes_counters_and_trace)
{
    const engine_case &c = GetParam();
    SCOPED_TRACE(c.name);
    std::string data(N, '\0');
    for (size_t i = 0; i < N; i++)
        data[i] = (char)(i * 7 % 251);
    int in = holding(c.in, data);
    // The stream copier reads standard input, whose position stays visible here.
    int saved_in = dup(0);
    dup2(in, 0);
    file_size = 0;
    verbose = 2;
    capture io(c.out, false);
    int rc, err;
    {
        seam fake(c.fake);
        rc = c.by == copier::stream ? concat_stream(nullptr, "-") : copy_blocks(in, data);
        err = errno;
    }
    auto [out, trace] = io.take();
    dup2(saved_in, 0);
    close(saved_in);
    // A later reader of the stream's descriptor goes on after the last byte written.
    if (c.by == copier::stream && c.in == kind::file) {
        EXPECT_EQ(lseek(in, 0, SEEK_CUR), (off_t)c.reached);
    }
    close(in);
    verbose = 0;
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(c.rc != 0 ? err : 0, c.err) << strerror(err);
    EXPECT_EQ(out.size(), c.reached);
    EXPECT_TRUE(out == data.substr(0, c.reached)) << "the bytes differ";
    EXPECT_EQ(file_size, c.counted);
    EXPECT_EQ(polled, c.polled);
    EXPECT_EQ(trace, c.trace);
}

INSTANTIATE_TEST_SUITE_P(seam, engines, testing::ValuesIn(engine_cases));

/* A fake record driver: the records, then what ends them. */
struct records_case {
    const char *name;
    std::vector<std::string> records;
    int err; /* the read after the records fails with it; 0: a record too long for any buffer */
    std::string shown; /* standard output and error together */
};

const records_case *records_now;
size_t record_at;

/* The record pos names, copied as far as it fits; its whole length. */
uint64_t fake_read_record(vfs_file *, vfs_iovec *iov, uint64_t, vfs_rec_info *, const vfs_shlock *,
                          vfs_position pos, ...)
{
    record_at = pos == vfs_pos_first ? 0 : pos == vfs_pos_next ? record_at + 1 : record_at;
    if (record_at >= records_now->records.size()) {
        errno = records_now->err;
        return errno != 0 ? VFS_ERROR : UINT64_C(1) << 62;
    }
    const std::string &r = records_now->records[record_at];
    memcpy(iov->ptr, r.data(), std::min<size_t>(r.size(), size_t(iov->length)));
    return r.size();
}

int fake_eof(vfs_file *)
{
    return 0;
}

const char *fake_strerror(vfs_file *, uint32_t, uint32_t *, const uint32_t *)
{
    return "fake damage";
}

// clang-format off
const records_case records_cases[] = {
    {"records before damage come before its message", {"one", "two"}, EIO, "one\ntwo\nRead fail: 5 fake damage\n"},
    {"records before a buffer that cannot grow are written", {"small"}, 0, "small\n"},
    {"a record longer than the first buffer (4096) is read again whole", {std::string(4096, 'a'), std::string(4097, 'b'), "c"}, EIO, std::string(4096, 'a') + "\n" + std::string(4097, 'b') + "\nc\nRead fail: 5 fake damage\n"},
};
// clang-format on

class record_copier : public testing::TestWithParam<records_case>
{
};

TEST_P(record_copier, writes_what_came_before_a_failure)
{
    records_now = &GetParam();
    SCOPED_TRACE(records_now->name);
    struct vfs_api api = {};
    api.vfs_read = fake_read_record;
    api.vfs_eof = fake_eof;
    api.vfs_strerror = fake_strerror;
    vfs_file fh = {};
    fh.fd = holding(kind::null, "");
    vfs_file_info info = {};
    info.fname = const_cast<char *>("fake");
    info.datlen = VFS_ERROR;
    capture io(kind::file, true);
    int rc = read_lines(&api, &fh, &info);
    int err = errno;
    auto [shown, unused] = io.take();
    close(fh.fd);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, records_now->err != 0 ? records_now->err : ENOMEM);
    EXPECT_EQ(shown, records_now->shown);
}

INSTANTIATE_TEST_SUITE_P(fake_driver, record_copier, testing::ValuesIn(records_cases));

} // namespace
