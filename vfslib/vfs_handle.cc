// The handle operations every driver shares: open, describe, walk records,
// write records, close. A driver contributes only its layout rules.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "vfs_core.h"

namespace vfs
{

namespace
{

constexpr size_t write_buffer_size = 256 * 1024;

handle *new_handle(const driver &d, int fd)
{
    auto *h = new (std::nothrow) handle();
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    h->drv_ops = &d;
    h->file.fd = fd;
    h->cache_bytes = default_buffsize;
    h->cache_count = default_buffers;
    return h;
}

void drop_handle(handle *h)
{
    cache_free(*h);
    free(h->wbuf);
    delete h;
}

// The options that apply to path for driver d: its own prefix, or what
// resolution remembered for the bare path.
bool options_for(const driver &d, const char *fname, parsed_name &p)
{
    std::string bad;
    if (fname == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (!parse_name(fname, p, bad)) {
        error_detail e;
        e.code = e_bad_option;
        e.what = bad;
        set_last_error(e);
        return false;
    }
    if (p.prefixed && p.driver != d.id) {
        errno = EINVAL;
        return false;
    }
    if (!p.prefixed)
        p.prefixed = recall_options(p.path, d.id, p.opts);
    return true;
}

bool read_layout(const driver &d, handle &h, const parsed_name &p, const vfs_file_info &info)
{
    unsigned char hdr[header_size];
    ssize_t n = 0;
    if (p.opts.header != 0 && d.id != drv::oka) {
        n = pread(h.file.fd, hdr, sizeof hdr, 0);
        if (n < 0 && errno != EISDIR)
            return false;
    }
    error_detail e;
    if (n > 0 && has_magic(hdr, static_cast<size_t>(n))) {
        if (!decode_header(hdr, static_cast<size_t>(n), h.lay, e)) {
            set_last_error(e);
            return false;
        }
        if (h.lay.driver != d.id) {
            errno = EBADF;
            return false;
        }
        if (h.lay.being_written)
            h.lay.records = VFS_ERROR;
        if (h.lay.recfm == vfs_rec_fixed && h.lay.records == VFS_ERROR)
            h.lay.records = (h.size - std::min(h.size, h.lay.data_offset)) / h.lay.lrecl;
        return true;
    }
    if (d.id == drv::yar) {
        e.code = e_no_header;
        set_last_error(e);
        return false;
    }
    if (!d.settle(h.lay, p.opts, p.opts.any(), info, false, e)) {
        set_last_error(e);
        return false;
    }
    if (h.lay.recfm == vfs_rec_fixed && h.lay.lrecl != 0)
        h.lay.records = h.size / h.lay.lrecl;
    return true;
}

void place_cursor(handle &h, const record_place &r, vfs_position pos, vfs_buffer *b)
{
    vfs_cursor &c = h.file.curr_csr;
    c.dlen = r.dlen;
    c.pos = static_cast<uint8_t>(pos);
    c.roffset = r.roffset;
    c.doffset = r.doffset;
    c.rlen = r.rlen;
    c.rrn++;
    c.spanned = r.doffset + r.dlen > b->bend;
    h.file.dcache.current = b;
    h.positioned = true;
    h.at_eof = false;
}

// Moves to the record pos names. A record leaves curr_csr and dcache.current
// describing it; the end leaves at_eof set.
step position(handle &h, vfs_position pos)
{
    if (h.writing || h.file.dcache.count == 0) {
        errno = EBADF;
        return step::error;
    }
    if (h.err.code != 0) {
        errno = h.err.code;
        return step::error;
    }
    bool first = false;
    switch (pos) {
    case vfs_pos_first:
        first = true;
        break;
    case vfs_pos_next:
        first = !h.positioned && !h.at_eof;
        break;
    case vfs_pos_curr:
        if (h.positioned)
            return step::record;
        first = !h.at_eof;
        break;
    default:
        errno = pos <= vfs_pos_error ? ENOTSUP : EINVAL;
        return step::error;
    }
    if (!first && h.at_eof)
        return step::end;
    uint64_t at = h.lay.data_offset;
    if (first) {
        h.file.curr_csr = vfs_cursor();
        h.last_key.clear();
        h.delivered = 0;
    } else {
        at = h.file.curr_csr.roffset + h.file.curr_csr.rlen;
    }
    record_place r;
    h.positioned = false;
    step s = h.drv_ops->next(h, at, first, r);
    // A header that counted the records also tells a file cut at a record boundary.
    if (s == step::end && h.lay.header && h.lay.records != VFS_ERROR &&
        h.delivered < h.lay.records) {
        fail(h, at_byte(e_truncated, h.size));
        return step::error;
    }
    if (s == step::end) {
        h.at_eof = true;
        return s;
    }
    if (s == step::error)
        return s;
    // An empty record at the very end has no byte of its own: its buffer is
    // the one holding the end of its prefix.
    uint64_t target = r.dlen > 0 || r.doffset < h.size ? r.doffset : r.doffset - 1;
    vfs_buffer *b = cache_at(h, target);
    if (b == nullptr)
        return step::error;
    place_cursor(h, r, pos, b);
    h.delivered++;
    return step::record;
}

bool flush(handle &h)
{
    size_t done = 0;
    while (done < h.wfill) {
        ssize_t n =
            pwrite(h.file.fd, h.wbuf + done, h.wfill - done, static_cast<off_t>(h.woffset + done));
        h.file.iosn++;
        if (n < 0 && errno == EINTR) {
            h.file.dcache.retries++;
            continue;
        }
        if (n < 0)
            return false;
        done += static_cast<size_t>(n);
    }
    h.file.bwrite += done;
    h.file.dcache.bwrite += done;
    h.woffset += done;
    h.wfill = 0;
    return true;
}

bool finish_writing(handle &h)
{
    if (h.drv_ops->finish != nullptr && !h.drv_ops->finish(h))
        return false;
    if (!flush(h))
        return false;
    if (!h.lay.header)
        return true;
    h.lay.being_written = false;
    if (h.lay.recfm == vfs_rec_variable && h.lay.lrecl == 0)
        h.lay.lrecl = h.max_seen;
    unsigned char hdr[header_size];
    encode_header(h.lay, hdr);
    return pwrite(h.file.fd, hdr, sizeof hdr, 0) == static_cast<ssize_t>(sizeof hdr);
}

} // namespace

bool emit(handle &h, const void *p, uint64_t n)
{
    auto *src = static_cast<const unsigned char *>(p);
    while (n > 0) {
        if (h.wfill == h.wsize && !flush(h))
            return false;
        size_t k = static_cast<size_t>(std::min<uint64_t>(n, h.wsize - h.wfill));
        memcpy(h.wbuf + h.wfill, src, k);
        h.wfill += k;
        src += k;
        n -= k;
    }
    return true;
}

vfs_file *open_handle(const driver &d, vfs_file_info *info)
{
    parsed_name p;
    if (info == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (info->omode != 0) {
        errno = ENOTSUP; // files are written through vfs_create
        return nullptr;
    }
    if (!options_for(d, info->fname, p))
        return nullptr;
    int fd = open(p.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int got = fstat(fd, &st);
    // A directory opens for reading but holds no records: refuse it rather
    // than copy nothing and call that success.
    if (got == 0 && S_ISDIR(st.st_mode)) {
        got = -1;
        errno = EISDIR;
    }
    handle *h = got == 0 ? new_handle(d, fd) : nullptr;
    if (h == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    h->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    bool ok = true;
    if (d.id != drv::oka && lseek(fd, 0, SEEK_CUR) < 0) {
        set_last_error(at_byte(e_not_seekable, VFS_ERROR));
        ok = false;
    }
    ok = ok && read_layout(d, *h, p, *info);
    error_detail e;
    if (ok && d.opened != nullptr && !d.opened(*h, e)) {
        set_last_error(e);
        ok = false;
    }
    ok = ok && cache_init(*h, h->cache_bytes, h->cache_count);
    ok = ok && lseek(fd, static_cast<off_t>(h->lay.data_offset), SEEK_SET) >= 0;
    if (!ok) {
        int err = errno;
        close(fd);
        drop_handle(h);
        errno = err;
        return nullptr;
    }
    h->file.data_offset = h->lay.data_offset;
    h->file.non_native = d.id == drv::yar && h->lay.big_endian != host_big_endian();
    info->fh = &h->file;
    info->api = d.table;
    return &h->file;
}

int create_handle(const driver &d, vfs_file_info *info)
{
    parsed_name p;
    if (info == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (!options_for(d, info->fname, p))
        return -1;
    layout lay;
    error_detail e;
    if (!d.settle(lay, p.opts, p.opts.any(), *info, true, e)) {
        set_last_error(e);
        return -1;
    }
    int fd = open(p.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    handle *h = new_handle(d, fd);
    if (h == nullptr) {
        close(fd);
        errno = ENOMEM;
        return -1;
    }
    h->writing = true;
    h->lay = lay;
    h->lay.records = 0;
    h->wsize = write_buffer_size;
    h->wbuf = static_cast<unsigned char *>(malloc(h->wsize));
    bool ok = h->wbuf != nullptr || (errno = ENOMEM, false);
    // Lock (where the driver locks) before the old content is thrown away.
    if (ok && d.opened != nullptr && !d.opened(*h, e)) {
        set_last_error(e);
        ok = false;
    }
    ok = ok && ftruncate(fd, 0) == 0;
    if (ok && lay.header) {
        unsigned char hdr[header_size];
        h->lay.being_written = true;
        h->lay.data_offset = header_size;
        encode_header(h->lay, hdr);
        ok = emit(*h, hdr, sizeof hdr);
    }
    if (!ok) {
        int err = errno;
        close(fd);
        drop_handle(h);
        errno = err;
        return -1;
    }
    h->file.data_offset = h->lay.data_offset;
    info->fh = &h->file;
    info->api = d.table;
    return 0;
}

} // namespace vfs

using namespace vfs;

extern "C" {

/* 1 when name (prefix allowed) exists, 0 when not, -1 with errno for a bad prefix. */
int vfs_op_exists(const char *name)
{
    parsed_name p;
    std::string bad;
    if (name == nullptr || !parse_name(name, p, bad)) {
        errno = EINVAL;
        return -1;
    }
    return access(p.path.c_str(), F_OK) == 0;
}

int vfs_op_rename(const char *from, const char *to)
{
    parsed_name a, b;
    std::string bad;
    if (from == nullptr || to == nullptr || !parse_name(from, a, bad) || !parse_name(to, b, bad)) {
        errno = EINVAL;
        return -1;
    }
    return rename(a.path.c_str(), b.path.c_str());
}

int vfs_op_destroy(const char *name)
{
    parsed_name p;
    std::string bad;
    if (name == nullptr || !parse_name(name, p, bad)) {
        errno = EINVAL;
        return -1;
    }
    return unlink(p.path.c_str());
}

/*
 * Describes the open file in info: recfm, datlen (VFS_ERROR when the file
 * has no known length), records (VFS_ERROR when unknown), blocklen, bytes.
 * Leaves the descriptor at the data offset.
 */
int vfs_op_fstat(vfs_file *f, vfs_file_info *info)
{
    if (f == nullptr || info == nullptr) {
        errno = EBADF;
        return -1;
    }
    handle &h = *to_handle(f);
    const layout &l = h.lay;
    info->recfm = l.recfm;
    info->datlen = l.lrecl != 0 ? l.lrecl : VFS_ERROR;
    info->min_datlen = l.recfm == vfs_rec_fixed ? l.lrecl : 0;
    info->blocklen = l.blksize;
    info->records = l.records;
    info->bytes = h.size - std::min(h.size, l.data_offset);
    info->phy_org = info->log_org =
        h.drv_ops->id == drv::yar ? vfs_org_indexed : vfs_org_sequential;
    info->access = vfs_acc_sequential;
    info->flags = f->non_native ? info->flags | VFS_REVERSED : info->flags & ~VFS_REVERSED;
    info->fh = f;
    info->api = h.drv_ops->table;
    if (!h.writing && lseek(f->fd, static_cast<off_t>(l.data_offset), SEEK_SET) < 0)
        return -1;
    return 0;
}

int vfs_op_sync(vfs_file *f)
{
    if (f == nullptr) {
        errno = EBADF;
        return -1;
    }
    handle &h = *to_handle(f);
    if (!h.writing)
        return 0;
    return flush(h) && fdatasync(f->fd) == 0 ? 0 : -1;
}

/*
 * Ends a handle. A null handle (after a failed open) is accepted and gives
 * 0. A writing handle writes what it kept back and completes the header; its
 * records and record length go to info when given. -1 with errno when any
 * of that, or the close itself, failed; the handle is gone either way.
 */
int vfs_op_close(vfs_file *f, vfs_file_info *info)
{
    if (f == nullptr)
        return 0;
    handle *h = to_handle(f);
    bool ok = !h->writing || finish_writing(*h);
    int err = errno;
    if (close(f->fd) < 0 && ok) {
        ok = false;
        err = errno;
    }
    if (info != nullptr && h->writing) {
        info->records = h->lay.records;
        info->datlen = h->lay.lrecl != 0 ? h->lay.lrecl : VFS_ERROR;
        info->bytes = h->woffset - h->lay.data_offset;
        info->fh = nullptr;
    }
    drop_handle(h);
    if (!ok)
        errno = err;
    return ok ? 0 : -1;
}

/* 1 once a read or seek met the end of the data; 0 before. */
int vfs_op_eof(vfs_file *f)
{
    if (f == nullptr) {
        errno = EBADF;
        return -1;
    }
    return to_handle(f)->at_eof ? 1 : 0;
}

/*
 * Positions on the record pos names (vfs_pos_first, vfs_pos_next,
 * vfs_pos_curr). Returns the record's length plus 1, so that an empty record
 * is not 0; 0 at the end, with vfs_eof then 1; VFS_ERROR with errno on
 * damage or failure. curr_csr and dcache.current describe the record until
 * the next library call.
 */
uint64_t vfs_op_seek(vfs_file *f, vfs_iovec *, uint64_t, vfs_rec_info *, const vfs_shlock *,
                     vfs_position pos, ...)
{
    if (f == nullptr) {
        errno = EBADF;
        return VFS_ERROR;
    }
    switch (position(*to_handle(f), pos)) {
    case step::record:
        return f->curr_csr.dlen + 1;
    case step::end:
        return 0;
    default:
        return VFS_ERROR;
    }
}

/*
 * Copies the record pos names into the vector (as much as fits, element by
 * element) and returns its full length, which may exceed the vector: a read
 * at vfs_pos_curr then gets the same record again. 0 for an empty record and
 * at the end (vfs_eof tells them apart); VFS_ERROR with errno on failure.
 */
uint64_t vfs_op_read(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *, const vfs_shlock *,
                     vfs_position pos, ...)
{
    if (f == nullptr) {
        errno = EBADF;
        return VFS_ERROR;
    }
    if (iov == nullptr && n > 0) {
        errno = EINVAL;
        return VFS_ERROR;
    }
    handle &h = *to_handle(f);
    step s = position(h, pos);
    if (s != step::record)
        return s == step::end ? 0 : VFS_ERROR;
    uint64_t off = f->curr_csr.doffset;
    uint64_t left = f->curr_csr.dlen;
    for (uint64_t i = 0; i < n && left > 0; i++) {
        uint64_t k = std::min(left, iov[i].length);
        if (k > 0 && (iov[i].ptr == nullptr || !cache_copy(h, off, iov[i].ptr, k)))
            return iov[i].ptr == nullptr ? (errno = EINVAL, VFS_ERROR) : VFS_ERROR;
        off += k;
        left -= k;
    }
    return f->curr_csr.dlen;
}

/*
 * Appends one record, the concatenation of the vector's elements, to a
 * handle made by vfs_create. Returns its length, VFS_ERROR with errno when
 * the layout cannot hold it (the file is then unchanged) or writing failed.
 */
uint64_t vfs_op_write(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *, const vfs_shlock *,
                      vfs_position, ...)
{
    if (f == nullptr || !to_handle(f)->writing) {
        errno = EBADF;
        return VFS_ERROR;
    }
    if (iov == nullptr && n > 0) {
        errno = EINVAL;
        return VFS_ERROR;
    }
    handle &h = *to_handle(f);
    std::string joined;
    const unsigned char *data = nullptr;
    uint64_t len = 0;
    if (n == 1) {
        data = static_cast<const unsigned char *>(iov[0].ptr);
        len = iov[0].length;
    } else {
        for (uint64_t i = 0; i < n; i++)
            joined.append(static_cast<const char *>(iov[i].ptr), iov[i].length);
        data = reinterpret_cast<const unsigned char *>(joined.data());
        len = joined.size();
    }
    if (len > 0 && data == nullptr) {
        errno = EINVAL;
        return VFS_ERROR;
    }
    h.err = error_detail();
    if (!h.drv_ops->put(h, data, len)) {
        if (h.err.code != 0)
            errno = h.err.code;
        return VFS_ERROR;
    }
    h.lay.records++;
    h.max_seen = std::max(h.max_seen, len);
    return len;
}

/* No record locks are ever taken, so there is nothing to release. */
int vfs_op_unlockall(vfs_file *f)
{
    if (f == nullptr) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

} // extern "C"
