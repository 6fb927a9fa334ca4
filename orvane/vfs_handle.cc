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
#include <memory>
#include <new>
#include <utility>

#include "errno_keeper.h"
#include "unique_fd.h"
#include "vfs_core.h"

namespace vfs
{

namespace
{

constexpr size_t write_buffer_size = 256 * 1024;

void drop_handle(handle *h)
{
    codepage_close(*h);
    cache_free(*h);
    free(h->wbuf);
    delete h;
}

// A handle being opened: its descriptor is closed and the handle dropped
// (errno kept) unless it is handed over to the caller.
struct handle_closer {
    void operator()(handle *h) const
    {
        errno_keeper keep;
        close(h->file.fd);
        drop_handle(h);
    }
};
using owned_handle = std::unique_ptr<handle, handle_closer>;

// A handle that owns fd from now on; null with errno when fd is not open
// or memory is short.
owned_handle new_handle(const driver &d, unique_fd fd)
{
    if (!fd)
        return nullptr;
    auto *h = new (std::nothrow) handle();
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    h->drv_ops = &d;
    h->file.fd = fd.release();
    h->cache_bytes = default_buffsize;
    h->cache_count = default_buffers;
    return owned_handle(h);
}

// Gives the caller the handle made for info.
vfs_file *hand_over(owned_handle h, vfs_file_info *info)
{
    h->file.data_offset = h->lay.data_offset;
    info->fh = &h->file;
    info->api = h->drv_ops->table;
    return &h.release()->file;
}

bool name_for_driver(const driver &d, const vfs_file_info *info, parsed_name &p)
{
    if (info == nullptr || info->fname == nullptr) {
        errno = EINVAL;
        return false;
    }
    return parse_for_driver(d.id, info->fname, p);
}

// Reads what may be our header. A file of unknown size that has no byte
// at all is known to be empty.
ssize_t probe_header(const driver &d, handle &h, const parsed_name &p, unsigned char *hdr)
{
    if (p.opts.header == 0 || d.id == drv::oka)
        return 0;
    ssize_t n = pread(h.file.fd, hdr, header_size, 0);
    if (n < 0 && errno == EISDIR)
        return 0;
    if (n == 0)
        h.ended = true;
    return n;
}

uint64_t whole_records(const handle &h)
{
    if (h.bound == VFS_ERROR)
        return VFS_ERROR;
    return (h.bound - std::min(h.bound, h.lay.data_offset)) / h.lay.lrecl;
}

bool header_layout(const driver &d, handle &h, const unsigned char *hdr, size_t n)
{
    error_detail e;
    if (!decode_header(hdr, n, h.lay, e)) {
        set_last_error(e);
        return false;
    }
    if (h.lay.driver != d.id) {
        errno = EBADF;
        return false;
    }
    if (h.lay.being_written)
        h.lay.records = VFS_ERROR;
    h.counted = h.lay.records != VFS_ERROR;
    return true;
}

// The layout from our header, else from the options and the program's description.
bool describe(const driver &d, handle &h, const parsed_name &p, const vfs_file_info &info)
{
    unsigned char hdr[header_size];
    ssize_t n = probe_header(d, h, p, hdr);
    if (n < 0)
        return false;
    // Keyed files are only read where the whole file can be seen.
    if (d.id == drv::yar && !h.ended) {
        set_last_error(at_byte(e_not_seekable, VFS_ERROR));
        return false;
    }
    if (n > 0 && has_magic(hdr, static_cast<size_t>(n)))
        return header_layout(d, h, hdr, static_cast<size_t>(n));
    error_detail e;
    if (d.id == drv::yar) {
        e.code = e_no_header;
        set_last_error(e);
        return false;
    }
    if (!d.settle(h.lay, p.opts, p.opts.any(), info, false, e)) {
        set_last_error(e);
        return false;
    }
    return true;
}

// skip= and trailer= of a queued sequential file: its data starts after the
// skip and ends before the trailer, whose place needs the file's end.
bool apply_margins(handle &h, const prefix_options &o, error_detail &e)
{
    h.lay.skip = o.skip;
    h.lay.trailer = o.trailer;
    h.lay.data_offset += o.skip;
    uint64_t end = h.ended ? h.reach : VFS_ERROR;
    if (o.trailer_given && end == VFS_ERROR)
        return e = at_byte(e_trailer_unsized, VFS_ERROR), false;
    if (end == VFS_ERROR)
        return true;
    if (end < h.lay.data_offset || end - h.lay.data_offset < o.trailer)
        return e = at_byte(e_short_margins, end), false;
    h.bound = h.reach = end - o.trailer;
    return true;
}

bool read_layout(const driver &d, handle &h, const parsed_name &p, const vfs_file_info &info)
{
    error_detail e;
    if (!describe(d, h, p, info))
        return false;
    if (d.id == drv::dox && !apply_margins(h, p.opts, e)) {
        set_last_error(e);
        return false;
    }
    if (bare_fixed(h.lay) && h.lay.lrecl != 0 && h.lay.records == VFS_ERROR)
        h.lay.records = whole_records(h);
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

// The counted records are all delivered: the data must end here.
step past_count(handle &h, uint64_t at)
{
    uint64_t more = cache_span(h, at, 1);
    if (more == VFS_ERROR)
        return step::error;
    if (more == 0)
        return step::end;
    fail(h, at_byte(e_beyond_count, at));
    return step::error;
}

// The buffer a record is placed in. An empty record at the very end has no
// byte of its own: its buffer is the one holding the end of its prefix.
vfs_buffer *record_buffer(handle &h, const record_place &r)
{
    uint64_t target = r.doffset;
    if (r.dlen == 0) {
        uint64_t have = cache_span(h, r.doffset, 1);
        if (have == VFS_ERROR)
            return nullptr;
        if (have == 0 && target > 0)
            target--;
    }
    return cache_at(h, target);
}

enum class move { first, next, stay, refused };

move move_of(const handle &h, vfs_position pos)
{
    switch (pos) {
    case vfs_pos_first:
        return move::first;
    case vfs_pos_next:
        return !h.positioned && !h.at_eof ? move::first : move::next;
    case vfs_pos_curr:
        return h.positioned ? move::stay : !h.at_eof ? move::first : move::next;
    default:
        return move::refused;
    }
}

// The driver's next record, held to the count a header gives.
step next_record(handle &h, uint64_t at, bool first, record_place &r)
{
    step s = h.counted && h.delivered == h.lay.records ? past_count(h, at)
                                                       : h.drv_ops->next(h, at, first, r);
    // A header that counted the records also tells a file cut at a record boundary.
    if (s == step::end && h.counted && h.delivered < h.lay.records) {
        fail(h, at_byte(e_truncated, h.reach));
        return step::error;
    }
    return s;
}

// Whether records may be walked on h; false with errno for a writing
// handle, and with the damage's code once the walk met damage.
bool walkable(const handle &h)
{
    if (h.writing || h.file.dcache.count == 0) {
        errno = EBADF;
        return false;
    }
    if (h.err.code != 0) {
        errno = h.err.code;
        return false;
    }
    return true;
}

// Forgets the walk so far; the offset of the first record.
uint64_t restart_walk(handle &h)
{
    h.file.curr_csr = vfs_cursor();
    h.last_key.clear();
    h.delivered = 0;
    return h.lay.data_offset;
}

// Takes the record at `at` (the first of the walk when first) into the
// cursor and the buffer that shows it.
step take_record(handle &h, uint64_t at, bool first, vfs_position pos)
{
    record_place r;
    h.positioned = false;
    step s = next_record(h, at, first, r);
    h.at_eof = s == step::end;
    if (s != step::record)
        return s;
    vfs_buffer *b = h.conv != nullptr ? convert_record(h, r)
                    : r.joined
                        ? show(h.joined_view, h.joined.data, r.doffset, r.dlen, r.dlen, false)
                        : record_buffer(h, r);
    if (b == nullptr)
        return step::error;
    h.held = h.conv != nullptr || r.joined;
    place_cursor(h, r, pos, b);
    h.delivered++;
    return step::record;
}

// Moves to the record pos names. A record leaves curr_csr and dcache.current
// describing it; the end leaves at_eof set.
step position(handle &h, vfs_position pos)
{
    if (!walkable(h))
        return step::error;
    move m = move_of(h, pos);
    if (m == move::refused) {
        errno = pos <= vfs_pos_error ? ENOTSUP : EINVAL;
        return step::error;
    }
    if (m == move::stay)
        return step::record;
    if (m == move::next && h.at_eof)
        return step::end;
    if (m == move::first)
        return take_record(h, restart_walk(h), true, pos);
    return take_record(h, h.file.curr_csr.roffset + h.file.curr_csr.rlen, false, pos);
}

// One write of the buffered bytes from wbuf[done] on, at their offset;
// done grows by what the system took. False with errno on failure; an
// interrupted write is no failure.
bool write_some(handle &h, size_t &done)
{
    const unsigned char *p = h.wbuf + done;
    size_t n = h.wfill - done;
    ssize_t w = pwrite(h.file.fd, p, n, static_cast<off_t>(h.woffset + done));
    // A FIFO or a terminal has no offsets: it takes the bytes in order.
    if (w < 0 && errno == ESPIPE)
        w = write(h.file.fd, p, n);
    h.file.iosn++;
    if (w < 0 && errno == EINTR) {
        h.file.dcache.retries++;
        return true;
    }
    if (w < 0)
        return false;
    // Nothing taken although bytes were offered: repeating would never end.
    if (w == 0) {
        errno = EIO;
        return false;
    }
    done += static_cast<size_t>(w);
    return true;
}

// Writes the whole buffer, short writes continued. What went out is counted
// and dropped from the buffer even when the rest fails, so that a later
// flush does not send it twice.
bool flush(handle &h)
{
    size_t done = 0;
    bool ok = true;
    while (ok && done < h.wfill)
        ok = write_some(h, done);
    h.file.bwrite += done;
    h.file.dcache.bwrite += done;
    h.woffset += done;
    h.wfill -= done;
    memmove(h.wbuf, h.wbuf + done, h.wfill);
    return ok;
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
    if (h.lay.recfm != vfs_rec_fixed && h.lay.lrecl == 0)
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

namespace
{

// A reading handle for the descriptor just opened, which it then owns; null
// with errno for a directory or when memory is short.
owned_handle new_reader(const driver &d, unique_fd fd)
{
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0)
        return nullptr;
    // A directory opens for reading but holds no records: refuse it rather
    // than copy nothing and call that success.
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    owned_handle h = new_handle(d, std::move(fd));
    // /proc files and devices say 0: their size is learned as they are read.
    if (h != nullptr && S_ISREG(st.st_mode) && st.st_size > 0) {
        h->bound = static_cast<uint64_t>(st.st_size);
        h->reach = h->bound;
        h->ended = true;
    }
    return h;
}

bool prepare(const driver &d, handle &h, const parsed_name &p, const vfs_file_info &info)
{
    if (d.id != drv::oka && lseek(h.file.fd, 0, SEEK_CUR) < 0) {
        // Where a trailer is, a pipe does not tell: that is the reason given.
        set_last_error(
            at_byte(p.opts.trailer_given ? e_trailer_unsized : e_not_seekable, VFS_ERROR));
        return false;
    }
    if (!read_layout(d, h, p, info))
        return false;
    error_detail e;
    if ((d.opened != nullptr && !d.opened(h, e)) || !codepage_open(h, p.opts, e)) {
        set_last_error(e);
        return false;
    }
    return cache_init(h, h.cache_bytes, h.cache_count) &&
           lseek(h.file.fd, static_cast<off_t>(h.lay.data_offset), SEEK_SET) >= 0;
}

} // namespace

vfs_file *open_parsed(const driver &d, vfs_file_info *info, const parsed_name &p)
{
    if (info->omode != 0) {
        errno = ENOTSUP; // files are written through vfs_create
        return nullptr;
    }
    owned_handle h = new_reader(d, unique_fd(open(p.path.c_str(), O_RDONLY | O_CLOEXEC)));
    if (h == nullptr || !prepare(d, *h, p, *info))
        return nullptr;
    h->file.non_native = d.id == drv::yar && h->lay.big_endian != host_big_endian();
    return hand_over(std::move(h), info);
}

vfs_file *open_handle(const driver &d, vfs_file_info *info)
{
    parsed_name p;
    return name_for_driver(d, info, p) ? open_parsed(d, info, p) : nullptr;
}

int create_handle(const driver &d, vfs_file_info *info)
{
    parsed_name p;
    return name_for_driver(d, info, p) ? create_parsed(d, info, p) : -1;
}

namespace
{

// Makes a new writing handle ready: its buffer, the driver's lock, the old
// content dropped, the header begun. False with errno.
bool start_writing(const driver &d, handle &h)
{
    h.wsize = write_buffer_size;
    h.wbuf = static_cast<unsigned char *>(malloc(h.wsize));
    if (h.wbuf == nullptr) {
        errno = ENOMEM;
        return false;
    }
    // Lock (where the driver locks) before the old content is thrown away.
    error_detail e;
    if (d.opened != nullptr && !d.opened(h, e)) {
        set_last_error(e);
        return false;
    }
    // Only a regular file has old content to drop; a FIFO or a device is
    // written as it is.
    struct stat st;
    if (fstat(h.file.fd, &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(h.file.fd, 0) != 0))
        return false;
    if (!h.lay.header)
        return true;
    unsigned char hdr[header_size];
    h.lay.being_written = true;
    h.lay.data_offset = header_size;
    encode_header(h.lay, hdr);
    return emit(h, hdr, sizeof hdr);
}

} // namespace

int create_parsed(const driver &d, vfs_file_info *info, const parsed_name &p)
{
    layout lay;
    error_detail e;
    if (!d.settle(lay, p.opts, p.opts.any(), *info, true, e)) {
        set_last_error(e);
        return -1;
    }
    owned_handle h =
        new_handle(d, unique_fd(open(p.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666)));
    if (h == nullptr)
        return -1;
    h->writing = true;
    h->lay = lay;
    h->lay.records = 0;
    if (!codepage_open(*h, p.opts, e)) {
        set_last_error(e);
        return -1;
    }
    if (!start_writing(d, *h))
        return -1;
    hand_over(std::move(h), info);
    return 0;
}

namespace
{

// Counted fixed records end where their count says, or at the last whole
// record of a file too short for it, once its end is known.
void settle_fixed_end(handle &h)
{
    const layout &l = h.lay;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(l.records, l.lrecl, &bytes) || bytes > VFS_ERROR - l.data_offset)
        bytes = VFS_ERROR - l.data_offset;
    h.data_end = l.data_offset + bytes;
    if (!h.ended || h.data_end <= h.reach)
        return;
    h.data_end = l.data_offset + (h.reach - std::min(h.reach, l.data_offset)) / l.lrecl * l.lrecl;
    h.end_err = at_byte(e_truncated, h.data_end);
}

// Walks the counted records of a variable layout to where they end, or to
// the damage that stops them first. The record walk starts afresh after it.
bool settle_variable_end(handle &h)
{
    uint64_t at = h.lay.data_offset;
    record_place r;
    for (uint64_t n = 0; n < h.lay.records; n++) {
        step s = h.drv_ops->next(h, at, n == 0, r);
        if (s == step::error && h.err.code == 0)
            return false;
        if (s == step::error)
            h.end_err = std::exchange(h.err, error_detail());
        else if (s == step::end)
            h.end_err = at_byte(e_truncated, at);
        if (s != step::record)
            break;
        at = r.roffset + r.rlen;
    }
    h.data_end = at;
    h.last_key.clear();
    return true;
}

// The record a vector describes, joined when it has several elements. Its
// length must fit in memory: EOVERFLOW when it cannot, rather than a record
// cut short; EINVAL for an element with bytes but no address.
bool join_record(const vfs_iovec *iov, uint64_t n, std::string &joined, const unsigned char *&data,
                 uint64_t &len)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (iov[i].length > SIZE_MAX - total) {
            errno = EOVERFLOW;
            return false;
        }
        if (iov[i].length > 0 && iov[i].ptr == nullptr) {
            errno = EINVAL;
            return false;
        }
        total += iov[i].length;
    }
    len = total;
    if (n == 1) {
        data = static_cast<const unsigned char *>(iov[0].ptr);
        return true;
    }
    try {
        joined.reserve(static_cast<size_t>(total));
    } catch (const std::exception &) {
        errno = ENOMEM;
        return false;
    }
    for (uint64_t i = 0; i < n; i++)
        joined.append(static_cast<const char *>(iov[i].ptr), static_cast<size_t>(iov[i].length));
    data = reinterpret_cast<const unsigned char *>(joined.data());
    return true;
}

// A converted or joined record is held whole in the buffer that shows it.
bool record_copy(handle &h, uint64_t off, void *dst, uint64_t n)
{
    const vfs_buffer *b = h.file.dcache.current;
    if (!h.held)
        return cache_copy(h, off, dst, n);
    memcpy(dst, b->buffer + (off - b->offset), static_cast<size_t>(n));
    return true;
}

// The handle behind f for a record operation on a vector of n elements;
// null with errno: EBADF without a handle (or, to write, a writing one),
// EINVAL for elements without a vector.
handle *record_handle(vfs_file *f, const vfs_iovec *iov, uint64_t n, bool to_write)
{
    if (f == nullptr || (to_write && !to_handle(f)->writing)) {
        errno = EBADF;
        return nullptr;
    }
    if (iov == nullptr && n > 0) {
        errno = EINVAL;
        return nullptr;
    }
    return to_handle(f);
}

// The path of a name, prefix allowed; false with EINVAL for no name or a
// bad prefix.
bool path_of(const char *name, parsed_name &p)
{
    std::string bad;
    if (name != nullptr && parse_name(name, p, bad))
        return true;
    errno = EINVAL;
    return false;
}

uint64_t data_bytes(const handle &h)
{
    if (h.counted)
        return h.data_end - h.lay.data_offset;
    if (!h.ended)
        return VFS_ERROR;
    return h.reach - std::min(h.reach, h.lay.data_offset);
}

} // namespace

bool settle_end(handle &h)
{
    // A fixed count is held to the end again when a file without a size meets it.
    if (h.counted && bare_fixed(h.lay))
        settle_fixed_end(h);
    else if (h.counted && !h.end_settled && !settle_variable_end(h))
        return false;
    h.end_settled = true;
    return true;
}

} // namespace vfs

using namespace vfs;

extern "C" {

/* 1 when name (prefix allowed) exists, 0 when not, -1 with errno for a bad prefix. */
int vfs_op_exists(const char *name)
{
    parsed_name p;
    return path_of(name, p) ? access(p.path.c_str(), F_OK) == 0 : -1;
}

int vfs_op_rename(const char *from, const char *to)
{
    parsed_name a, b;
    return path_of(from, a) && path_of(to, b) ? rename(a.path.c_str(), b.path.c_str()) : -1;
}

int vfs_op_destroy(const char *name)
{
    parsed_name p;
    return path_of(name, p) ? unlink(p.path.c_str()) : -1;
}

/*
 * Describes the open file in info: recfm, datlen (VFS_ERROR when the file
 * has no known length), records (VFS_ERROR when unknown), blocklen, and
 * bytes, what a raw copy from the data offset must move: the counted
 * records of a file whose header counts them, else the data up to the
 * size, VFS_ERROR when the file has no size. A handle that converts from a
 * code page has VFS_CONVERTED in flags and bytes VFS_ERROR: it has no raw
 * form. Leaves the descriptor at the data offset. -1 with errno when a read
 * fails.
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
    if (!h.writing && !settle_end(h))
        return -1;
    // Converted bytes are known only as they are converted, and never raw.
    info->bytes = h.conv != nullptr ? VFS_ERROR : data_bytes(h);
    info->phy_org = info->log_org =
        h.drv_ops->id == drv::yar ? vfs_org_indexed : vfs_org_sequential;
    info->access = vfs_acc_sequential;
    info->flags = f->non_native ? info->flags | VFS_REVERSED : info->flags & ~VFS_REVERSED;
    info->flags = h.conv != nullptr ? info->flags | VFS_CONVERTED : info->flags & ~VFS_CONVERTED;
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
    if (ok) {
        ok = close(f->fd) == 0;
    } else {
        errno_keeper keep;
        close(f->fd);
    }
    if (info != nullptr && h->writing) {
        info->records = h->lay.records;
        info->datlen = h->lay.lrecl != 0 ? h->lay.lrecl : VFS_ERROR;
        info->bytes = h->woffset - h->lay.data_offset;
        info->fh = nullptr;
    }
    errno_keeper keep;
    drop_handle(h);
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
 * A converting handle gives the record converted, and its converted length.
 */
uint64_t vfs_op_read(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *, const vfs_shlock *,
                     vfs_position pos, ...)
{
    handle *found = record_handle(f, iov, n, false);
    if (found == nullptr)
        return VFS_ERROR;
    handle &h = *found;
    step s = position(h, pos);
    if (s != step::record)
        return s == step::end ? 0 : VFS_ERROR;
    uint64_t off = f->curr_csr.doffset;
    uint64_t left = f->curr_csr.dlen;
    for (uint64_t i = 0; i < n && left > 0; i++) {
        uint64_t k = std::min(left, iov[i].length);
        if (k > 0 && iov[i].ptr == nullptr)
            return errno = EINVAL, VFS_ERROR;
        if (k > 0 && !record_copy(h, off, iov[i].ptr, k))
            return VFS_ERROR;
        off += k;
        left -= k;
    }
    return f->curr_csr.dlen;
}

/*
 * Appends one record, the concatenation of the vector's elements, to a
 * handle made by vfs_create, converted to its code page when it has one.
 * Returns the length written, VFS_ERROR with errno when the layout cannot
 * hold it or a character cannot be converted (the file is then unchanged),
 * or writing failed.
 */
uint64_t vfs_op_write(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *, const vfs_shlock *,
                      vfs_position, ...)
{
    handle *found = record_handle(f, iov, n, true);
    if (found == nullptr)
        return VFS_ERROR;
    handle &h = *found;
    std::string joined;
    const unsigned char *data = nullptr;
    uint64_t len = 0;
    if (!join_record(iov, n, joined, data, len))
        return VFS_ERROR;
    h.err = error_detail();
    if ((h.conv != nullptr && !convert_for_write(h, data, len)) || !h.drv_ops->put(h, data, len)) {
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
