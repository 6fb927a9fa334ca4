// The record and block copiers and the per-file step, driven through a fake
// driver over an in-memory record list with a real descriptor beside it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tandro.h"

namespace
{

// ---- the fake driver ------------------------------------------------------

struct fake_driver {
    std::vector<std::string> records;
    std::string image; // the records back to back: the file's bytes
    uint64_t buffsize = 64;
    bool hide_spanned = false; // clear the spanned bit: only bend can tell
    int espipe_first = 0;      // first-record moves failing with ESPIPE
    int seek_errno = 0, read_errno = 0, cache_errno = 0;
    int open_errno = 0, fstat_errno = 0, close_errno = 0;
    vfs_file_info stat = {};   // what vfs_fstat reports
    vfs_file_info opened = {}; // what vfs_open was given
    bool closed = false;
    vfs_file *closed_with = nullptr;
    long cur = -1;
    bool at_eof = false;
    int cache_reads = 0;
    off_t out_size_at_first_move = -1;
    vfs_file fh = {};
    vfs_buffer buf = {};
    std::string held; // the current cache buffer's bytes, a copy of the image

    void set(std::vector<std::string> recs)
    {
        records = std::move(recs);
        image.clear();
        for (auto &r : records)
            image += r;
    }
    void load(uint64_t offset)
    {
        uint64_t total =
            offset < image.size() ? std::min<uint64_t>(buffsize, image.size() - offset) : 0;
        held = image.substr(std::min<uint64_t>(offset, image.size()), total);
        buf = {};
        buf.buffer = (unsigned char *)held.data();
        buf.offset = offset;
        buf.total = total;
        buf.bend = offset + total;
        buf.buffsize = buffsize;
        buf.beof = offset + total >= image.size();
        fh.dcache.current = &buf;
    }
    uint64_t offset_of(long i)
    {
        uint64_t off = 0;
        for (long k = 0; k < i; k++)
            off += records[k].size();
        return off;
    }
    // 1 positioned on record cur, 0 at the end, VFS_ERROR failed.
    uint64_t move(vfs_position pos, int err)
    {
        if (out_size_at_first_move < 0) {
            struct stat st;
            out_size_at_first_move = fstat(1, &st) == 0 ? st.st_size : 0;
        }
        if (pos == vfs_pos_first && espipe_first > 0) {
            espipe_first--;
            err = ESPIPE;
        }
        if (err) {
            errno = err;
            return VFS_ERROR;
        }
        long target = pos == vfs_pos_first ? 0 : pos == vfs_pos_curr ? cur : cur + 1;
        if (target >= (long)records.size()) {
            at_eof = true;
            return 0;
        }
        cur = target;
        return 1;
    }
};
fake_driver *F;

uint64_t fake_seek(vfs_file *, vfs_iovec *, uint64_t, vfs_rec_info *, const vfs_shlock *,
                   vfs_position pos, ...)
{
    if (F->move(pos, F->seek_errno) != 1)
        return F->at_eof ? 0 : VFS_ERROR;
    uint64_t off = F->offset_of(F->cur), len = F->records[F->cur].size();
    F->load(off / F->buffsize * F->buffsize);
    F->fh.curr_csr = {};
    F->fh.curr_csr.doffset = off;
    F->fh.curr_csr.dlen = len;
    F->fh.curr_csr.spanned = !F->hide_spanned && off + len > F->buf.bend;
    return len;
}

uint64_t fake_read(vfs_file *, vfs_iovec *iov, uint64_t, vfs_rec_info *, const vfs_shlock *,
                   vfs_position pos, ...)
{
    if (F->move(pos, F->read_errno) != 1)
        return F->at_eof ? 0 : VFS_ERROR;
    const std::string &r = F->records[F->cur];
    if (r.size() <= iov->length)
        memcpy(iov->ptr, r.data(), r.size());
    return r.size();
}

int fake_cache_read(vfs_file *, vfs_cursor *csr)
{
    F->cache_reads++;
    if (F->cache_errno) {
        errno = F->cache_errno;
        return -1;
    }
    F->load(csr->roffset);
    return 0;
}

const char *fake_strerror(vfs_file *, uint32_t errnum, uint32_t *out, const uint32_t *lookup)
{
    if (errnum != EIO || lookup == nullptr || *lookup != 1)
        return "unexpected";
    *out = 3005; // the library's own number replaces the system's
    return "damaged block";
}

vfs_file *fake_open(vfs_file_info *info)
{
    F->opened = *info;
    errno = F->open_errno;
    return F->open_errno ? nullptr : &F->fh;
}

int fake_fstat(vfs_file *, vfs_file_info *info)
{
    if ((errno = F->fstat_errno))
        return -1;
    info->recfm = F->stat.recfm;
    info->datlen = F->stat.datlen;
    info->records = F->stat.records;
    return 0;
}

int fake_close(vfs_file *fh, vfs_file_info *)
{
    F->closed = true;
    F->closed_with = fh;
    errno = F->close_errno;
    return F->close_errno ? -1 : 0;
}

int fake_eof(vfs_file *)
{
    return F->at_eof ? 1 : 0;
}

const vfs_internals fake_internals = {fake_cache_read, nullptr, nullptr, nullptr};

struct vfs_api fake_table(const char *id)
{
    struct vfs_api api = {};
    memcpy(api.vfs_eye, id, 8);
    api.vfs_vrm = VFS_VRM;
    api.vfs_size = sizeof api;
    api.vfs_internals = &fake_internals;
    api.vfs_open = fake_open;
    api.vfs_fstat = fake_fstat;
    api.vfs_close = fake_close;
    api.vfs_eof = fake_eof;
    api.vfs_read = fake_read;
    api.vfs_seek = fake_seek;
    api.vfs_strerror = fake_strerror;
    return api;
}

// ---- descriptors ----------------------------------------------------------

int temp_fd(const std::string &content, int extra_flags = 0)
{
    char path[] = "/tmp/copiers_test.XXXXXX";
    int fd = mkostemp(path, extra_flags);
    unlink(path);
    EXPECT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contents(int fd)
{
    std::string s;
    char b[65536];
    for (ssize_t n; (n = pread(fd, b, sizeof b, (off_t)s.size())) > 0;)
        s.append(b, n);
    return s;
}

std::string drain(int fd)
{
    std::string s;
    char b[65536];
    fcntl(fd, F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = read(fd, b, sizeof b)) > 0;)
        s.append(b, n);
    return s;
}

// Points descriptor `which` at `target` for the scope.
struct redirect {
    int which, saved;
    redirect(int w, int target) : which(w), saved(dup(w)) { dup2(target, w); }
    ~redirect()
    {
        dup2(saved, which);
        close(saved);
    }
};

struct counters {
    uint64_t size = file_size, zero = zero_copies, tripl = tripl_copies, pent = pent_copies;
};

using copier_fn = int (*)(const struct vfs_api *, vfs_file *, const vfs_file_info *);

// ---- fixture: a fake file, output to a pipe or file, stderr captured ------

class Copiers : public ::testing::Test
{
  protected:
    fake_driver drv;
    struct vfs_api api = fake_table("vfs_dox");
    vfs_file_info info = {};
    char name[1024] = "CUST.DAT";
    int err_fd = temp_fd("");

    void SetUp() override
    {
        F = &drv;
        verbose = 0;
        info.fname = name;
        drv.fh.dcache.count = 4;
        drv.fh.dcache.bread = 1000; // the library's own reads, added at the end
        drv.fh.dcache.reuses = 7;
    }
    void TearDown() override
    {
        close(err_fd);
        if (drv.fh.fd > 0)
            close(drv.fh.fd);
    }
    void use(std::vector<std::string> recs, bool regular_input = true)
    {
        drv.set(std::move(recs));
        if (drv.fh.fd > 0)
            close(drv.fh.fd);
        drv.fh.fd = regular_input ? temp_fd(drv.image) : -1;
    }
    std::string errors() { return contents(err_fd); }
    void clear_errors()
    {
        ftruncate(err_fd, 0);
        lseek(err_fd, 0, SEEK_SET);
    }

    // Runs one copier with standard output on `out` and standard error captured.
    int run(copier_fn copier, int out)
    {
        drv.cur = -1, drv.at_eof = false;
        redirect o(1, out), e(2, err_fd);
        return copier(&api, &drv.fh, &info);
    }
    // The same into a fresh pipe; returns what came out.
    std::string run_pipe(copier_fn copier, int *rc)
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        *rc = run(copier, p[1]);
        close(p[1]);
        std::string s = drain(p[0]);
        close(p[0]);
        return s;
    }
};

std::string lines(const std::vector<std::string> &recs)
{
    std::string s;
    for (auto &r : recs)
        s += r + "\n";
    return s;
}

// Offsets 0,10,40,80,85,85 with 64-byte buffers: the third and the last
// record cross a buffer end, the empty one lies whole in a buffer.
const std::vector<std::string> mixed = {
    std::string(10, 'a'), std::string(30, 'b'), std::string(40, 'c'), std::string(5, 'd'), "",
    std::string(70, 'e')};

// ---- the record copiers -------------------------------------------------

TEST_F(Copiers, RecordCopiersCountTheirCopies)
{
    const std::string big(10000, 'L'), full(81, 'X');
    struct {
        const char *what;
        copier_fn copier;
        std::vector<std::string> recs;
        uint64_t buffsize, datlen;
        bool hide_spanned;
        int espipe_first;
        uint64_t tripl, pent, iosn; // deltas; iosn counts from zero
    } rows[] = {
        {"mixed", read_linef, mixed, 64, 0, false, 0, 4, 2, 6 + 7},
        {"mixed, spanned bit hidden: bend decides", read_linef, mixed, 64, 0, true, 0, 4, 2, 13},
        {"no length: read three times", read_linef, {big}, 4096, 0, false, 0, 0, 3, 1 + 7},
        {"no length, line copier: and the end", read_lines, {big}, 4096, 0, false, 0, 0, 4, 8},
        {"record of the buffer's size fits", read_linef, {full}, 64, 80, false, 0, 0, 1, 8},
        {"record of the buffer's size, lines", read_lines, {full}, 64, 80, false, 0, 0, 2, 8},
        {"empty file", read_linef, {}, 64, 0, false, 0, 0, 0, 7},
        {"empty file, lines", read_lines, {}, 64, 0, false, 0, 0, 1, 7},
        {"ESPIPE on the first move", read_linef, mixed, 64, 0, false, 1, 4, 2, 13},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        use(row.recs);
        drv.buffsize = row.buffsize;
        info.datlen = row.datlen;
        drv.hide_spanned = row.hide_spanned;
        drv.espipe_first = row.espipe_first;
        drv.fh.iosn = drv.fh.dcache.bwrite = 0;
        counters before;
        int rc;
        EXPECT_EQ(run_pipe(row.copier, &rc), lines(row.recs));
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(tripl_copies - before.tripl, row.tripl);
        EXPECT_EQ(pent_copies - before.pent, row.pent);
        EXPECT_EQ(drv.fh.iosn, row.iosn);
        EXPECT_EQ(file_size - before.size, lines(row.recs).size() + 1000u);
        EXPECT_EQ(drv.fh.dcache.bwrite, lines(row.recs).size());
    }
    use(mixed); // the line copier past a failing first move too
    drv.espipe_first = 1;
    int rc;
    EXPECT_EQ(run_pipe(read_lines, &rc), lines(mixed));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(errors(), "");
}

TEST_F(Copiers, FixedRecordsPreallocateARegularOutputOnly)
{
    info.recfm = vfs_rec_fixed;
    info.datlen = 80;
    info.records = 5; // the description promises more than the file holds
    std::vector<std::string> three(3, std::string(80, 'F'));
    for (auto copier : {read_linef, read_lines}) {
        SCOPED_TRACE(copier == read_lines ? "read_lines" : "read_linef");
        use(three);
        drv.out_size_at_first_move = -1;
        drv.fh.dcache.extends = 0;
        int out = temp_fd("");
        EXPECT_EQ(run(copier, out), 0);
        EXPECT_EQ(drv.out_size_at_first_move, 405);
        EXPECT_EQ(drv.fh.dcache.extends, 1u);
        // read_linef trims at its end; read_lines leaves that to the per-file step.
        EXPECT_EQ(contents(out).size(), copier == read_linef ? 243u : 405u);
        EXPECT_EQ(contents(out).substr(0, 243), lines(three));
        close(out);

        int rc;
        EXPECT_EQ(run_pipe(copier, &rc), lines(three));
        EXPECT_EQ(drv.fh.dcache.extends, 1u) << "a pipe is not preallocated";

        // An appending output would get the reservation in front of the data.
        int app = temp_fd("head\n", O_APPEND);
        EXPECT_EQ(run(copier, app), 0);
        EXPECT_EQ(contents(app), "head\n" + lines(three));
        EXPECT_EQ(drv.fh.dcache.extends, 1u);
        close(app);
    }
}

TEST_F(Copiers, RecordCopierFailures)
{
    int full = open("/dev/full", O_WRONLY);
    struct {
        copier_fn copier;
        int fake_driver::*fail;
        int out;
        const char *message;
        int err;
    } rows[] = {
        {read_linef, &fake_driver::seek_errno, -1, "Seek fail: 3005 damaged block\n", EIO},
        {read_linef, &fake_driver::read_errno, -1, "Read fail: 3005 damaged block\n", EIO},
        {read_lines, &fake_driver::read_errno, -1, "Read fail: 3005 damaged block\n", EIO},
        {read_linef, nullptr, full, "", ENOSPC},
        {read_lines, nullptr, full, "", ENOSPC},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.message);
        use({std::string(100, 'x')}); // spans two buffers: the read path
        drv.seek_errno = drv.read_errno = 0;
        if (row.fail)
            drv.*row.fail = EIO;
        clear_errors();
        int out = row.out >= 0 ? row.out : temp_fd("");
        EXPECT_EQ(run(row.copier, out), -1);
        EXPECT_EQ(errno, row.err);
        EXPECT_EQ(errors(), row.message);
    }
    info.datlen = INT64_MAX - 1;
    clear_errors();
    EXPECT_EQ(run(read_linef, full), -1);
    EXPECT_EQ(errors(), "read_linef: malloc(9223372036854775807)\n");
    close(full);
}

// ---- the block copier -----------------------------------------------------

class BlockCopier : public Copiers
{
  protected:
    std::string data;
    void SetUp() override
    {
        Copiers::SetUp();
        verbose = 2;
        for (int i = 0; i < 1000; i++)
            data += (char)('A' + i % 26);
        use({data.substr(0, 400), data.substr(400)}); // 16 cache blocks of 64
    }
    // The -v -v lines for the stages named, blank-separated, in order.
    static std::string trace(const char *stages)
    {
        std::string s = "fast buffering file CUST.DAT\n", st;
        std::istringstream in(stages);
        while (in >> st)
            s += st + " CUST.DAT\n";
        return s;
    }
    static constexpr const char *all = "copy_file_range sendfile Fall_Back";
};

// Each pair of descriptors takes its own route; the counters follow the route.
TEST_F(BlockCopier, StagesAndTheirCounters)
{
    struct {
        const char *what;
        char input;  // r regular, m memory file (another file system), p pipe, e empty
        char output; // p pipe, f file longer than the copy, a appending file, n new file
        const char *stages;
        std::string out;
        uint64_t zero, tripl, iosn, size, extends;
        int cache_reads;
    } rows[] = {
        {"splice into a pipe", 'r', 'p', "splice", data, 1, 0, 1, 2000, 0, 0},
        {"copy_file_range", 'r', 'f', "copy_file_range", data, 1, 0, 1, 2000, 1, 0},
        {"EXDEV: sendfile", 'm', 'n', "copy_file_range sendfile", data, 1, 0, 1, 2000, 1, 0},
        // copy_file_range says EBADF, sendfile EINVAL; the walk stops at the
        // block holding the end.
        {"appending output", 'r', 'a', all, "head\n" + data, 0, 16, 32, 2000, 0, 16},
        {"pipe input has no size to count down", 'p', 'p', "Fall_Back", data, 0, 16, 32, 2000, 0,
         16},
        {"empty file: one zero-length call", 'e', 'n', "copy_file_range", "", 1, 0, 1, 0, 0, 0},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        use({data.substr(0, 400), data.substr(400)});
        int p[2] = {-1, -1};
        if (row.input == 'e') {
            use({});
        } else if (row.input == 'm') {
            int mem = memfd_create("records", 0);
            ASSERT_EQ(write(mem, data.data(), data.size()), 1000);
            lseek(mem, 0, SEEK_SET);
            dup2(mem, drv.fh.fd);
            close(mem);
        } else if (row.input == 'p') {
            ASSERT_EQ(pipe(p), 0);
            dup2(p[0], drv.fh.fd);
            close(p[0]);
        }
        drv.fh.iosn = drv.fh.bread = drv.fh.bwrite = drv.fh.dcache.bwrite = 0;
        drv.fh.dcache.bread = drv.fh.dcache.extends = 0;
        drv.cache_reads = 0;
        clear_errors();
        counters before;
        std::string got;
        int rc = -2;
        if (row.output == 'p') {
            got = run_pipe(read_buffer, &rc);
        } else {
            int out = row.output == 'f'   ? temp_fd(std::string(3000, '#'))
                      : row.output == 'a' ? temp_fd("head\n", O_APPEND)
                                          : temp_fd("");
            rc = run(read_buffer, out);
            got = contents(out);
            close(out);
            if (row.output == 'f')
                got.resize(1000); // the per-file step cuts the rest
        }
        if (p[1] >= 0)
            close(p[1]);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(got, row.out);
        EXPECT_EQ(errors(), trace(row.stages));
        EXPECT_EQ(zero_copies - before.zero, row.zero);
        EXPECT_EQ(tripl_copies - before.tripl, row.tripl);
        EXPECT_EQ(drv.fh.iosn, row.iosn);
        EXPECT_EQ(file_size - before.size, row.size);
        EXPECT_EQ(drv.fh.dcache.extends, row.extends);
        EXPECT_EQ(drv.cache_reads, row.cache_reads);
        // Zero-copy moves count into the cache's figures, the walk into the handle's.
        EXPECT_EQ(drv.fh.dcache.bread, row.zero ? row.out.size() : 0u);
        EXPECT_EQ(drv.fh.dcache.bwrite, row.zero ? row.out.size() : 0u);
        EXPECT_EQ(drv.fh.bread, row.tripl ? 1000u : 0u);
        EXPECT_EQ(drv.fh.bwrite, row.tripl ? 1000u : 0u);
    }
}

TEST_F(BlockCopier, Failures)
{
    int full = open("/dev/full", O_WRONLY);
    drv.cache_errno = EIO;
    EXPECT_EQ(run(read_buffer, full), -1);
    EXPECT_EQ(errors(), trace(all) + "Buffer fail: 3005 damaged block\n");
    EXPECT_EQ(errno, EIO);

    drv.cache_errno = 0;
    clear_errors();
    EXPECT_EQ(run(read_buffer, full), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(errors(), trace(all));
    close(full);

    close(drv.fh.fd);
    drv.fh.fd = -1;
    EXPECT_EQ(run(read_buffer, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

// ---- the per-file step ----------------------------------------------------

class PerFile : public Copiers
{
  protected:
    int out = temp_fd(std::string(2000, '#'));
    void SetUp() override
    {
        Copiers::SetUp();
        verbose = 1;
        use({"alpha", "beta"});
        drv.buffsize = 4096;
        info.records = VFS_ERROR;
    }
    void TearDown() override
    {
        close(out);
        Copiers::TearDown();
    }
    int concat(const char *id)
    {
        api = fake_table(id);
        drv.cur = -1, drv.at_eof = false, drv.closed = false;
        lseek(drv.fh.fd, 0, SEEK_SET);
        redirect o(1, out), e(2, err_fd);
        return concat_vfs(&api, name, &info);
    }
};

TEST_F(PerFile, DispatchAndDriverSettings)
{
    struct {
        const char *id;
        uint64_t datlen; // run-wide record length
        vfs_recformat recfm_in, recfm_stat;
        uint32_t count;
        bool non_native;
        const char *copier; // its -v line
        std::string output; // what standard output holds afterwards
        bool zero_copy;     // the flag vfs_open saw
        vfs_recformat recfm_open;
    } rows[] = {
        {"vfs_umb", 0, vfs_rec_unk, vfs_rec_fixed, 4, false, "fast", "alphabeta", true,
         vfs_rec_unk},
        {"vfs_umb", 80, vfs_rec_unk, vfs_rec_fixed, 4, false, "fast", "alphabeta", false,
         vfs_rec_unk},
        {"vfs_tev", 0, vfs_rec_fixed, vfs_rec_fixed, 4, false, "fast", "alphabeta", true,
         vfs_rec_variable},
        {"vfs_dox", 0, vfs_rec_variable, vfs_rec_variable, 4, false, "block", "alpha\nbeta\n",
         false, vfs_rec_variable},
        {"vfs_dox", 80, vfs_rec_fixed, vfs_rec_fixed, 4, false, "block", "alpha\nbeta\n", false,
         vfs_rec_fixed},
        {"vfs_dox", 0, vfs_rec_unk, vfs_rec_fixed, 4, false, "fast", "alphabeta\n", true,
         vfs_rec_fixed},
        {"vfs_yar", 0, vfs_rec_unk, vfs_rec_variable, 4, false, "block", "alpha\nbeta\n", false,
         vfs_rec_unk},
        {"vfs_yar", 0, vfs_rec_unk, vfs_rec_variable, 0, false, "line", "alpha\nbeta\n", false,
         vfs_rec_unk},
        {"vfs_yar", 0, vfs_rec_unk, vfs_rec_variable, 4, true, "line", "alpha\nbeta\n", false,
         vfs_rec_unk},
        {"vfs_zzz", 0, vfs_rec_unk, vfs_rec_variable, 4, false, "block", "alpha\nbeta\n", false,
         vfs_rec_unk},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(std::string(row.id) + " " + row.copier + " " + std::to_string(row.datlen));
        info.datlen = row.datlen;
        info.recfm = row.recfm_in;
        info.flags = row.zero_copy ? 0 : VFS_ZERO_COPY | 0x4; // every row must change it
        drv.stat.recfm = row.recfm_stat;
        drv.stat.datlen = row.datlen;
        drv.fh.dcache.count = row.count;
        drv.fh.non_native = row.non_native;
        unsetenv("YAR_CACHE_OPTIMIZE_ENABLED");
        unsetenv("MERO_YAR_CACHE");
        clear_errors();
        ftruncate(out, 2000);
        lseek(out, 0, SEEK_SET);
        drv.fh.dcache.bwrite = 0;
        counters before;
        EXPECT_EQ(concat(row.id), 0);
        bool hint = row.output.back() == '\n' && row.copier[0] == 'f';
        EXPECT_EQ(errors(), std::string(hint ? "Specify record length (-l<reclen>) to get "
                                               "formatted output.\n"
                                             : "") +
                                row.copier + " buffering file CUST.DAT\n");
        EXPECT_EQ(contents(out), row.output) << "trimmed at the end of the copy";
        EXPECT_EQ(bool(drv.opened.flags & VFS_ZERO_COPY), row.zero_copy);
        EXPECT_EQ(drv.opened.flags & 0x4, row.zero_copy ? 0u : 0x4u);
        EXPECT_EQ(drv.opened.recfm, row.recfm_open);
        EXPECT_TRUE(drv.closed);
        bool yar = strcmp(row.id, "vfs_yar") == 0;
        EXPECT_STREQ(getenv("YAR_CACHE_OPTIMIZE_ENABLED"), yar ? "1" : nullptr);
        EXPECT_STREQ(getenv("MERO_YAR_CACHE"), yar ? "::ALLOW_DIRTY_READS" : nullptr);
        if (hint) {
            EXPECT_EQ(file_size - before.size, 2 * 9u + 1u);
            EXPECT_EQ(drv.fh.dcache.bwrite, 9u + 1u);
        }
    }
}

TEST_F(PerFile, Failures)
{
    verbose = 0;
    struct {
        int fake_driver::*fail;
        const char *message;
        bool opened;
    } rows[] = {
        {&fake_driver::open_errno, "Eh? Open read only failed 3005:damaged block\n", false},
        {&fake_driver::fstat_errno, "Eh? vfs_fstat failed 3005:damaged block\n", true},
        {&fake_driver::read_errno,
         "Read fail: 3005 damaged block\nEh? concat failed 3005:damaged block\n", true},
        {&fake_driver::close_errno, "Eh? close failed 3005:damaged block\n", true},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.message);
        drv.open_errno = drv.fstat_errno = drv.read_errno = drv.close_errno = 0;
        drv.*row.fail = EIO;
        drv.fh.dcache.count = 0; // read_lines
        clear_errors();
        ftruncate(out, 100); // trimmed whatever happened
        lseek(out, 0, SEEK_SET);
        EXPECT_EQ(concat("vfs_yar"), 1);
        EXPECT_EQ(errors(), row.message);
        EXPECT_EQ(contents(out), row.fail == &fake_driver::close_errno ? "alpha\nbeta\n" : "");
        EXPECT_TRUE(drv.closed);
        EXPECT_EQ(drv.closed_with, row.opened ? &drv.fh : nullptr);
    }
}

TEST_F(PerFile, NewlineFollowsAFailedRawCopy)
{
    verbose = 0;
    info.datlen = 0;
    info.recfm = vfs_rec_fixed;
    drv.stat.recfm = vfs_rec_fixed;
    drv.cache_errno = EIO;
    close(out);
    out = temp_fd("head\n", O_APPEND); // refuses every zero-copy call: the cache walk
    EXPECT_EQ(concat("vfs_dox"), 1);
    EXPECT_EQ(errors(), "Specify record length (-l<reclen>) to get formatted output.\n"
                        "Buffer fail: 3005 damaged block\nEh? concat failed 3005:damaged block\n");
    EXPECT_EQ(contents(out), "head\n\n");
    EXPECT_TRUE(drv.closed);
}

TEST_F(PerFile, LostNewlineEndsTheStepAtOnce)
{
    info.datlen = 0;
    info.recfm = vfs_rec_fixed;
    drv.stat.recfm = vfs_rec_fixed;
    close(out);
    out = open("/dev/full", O_WRONLY);
    EXPECT_EQ(concat("vfs_dox"), -1);
    EXPECT_FALSE(drv.closed);
}

} // namespace
