// The data cache: a few large buffers, filled with pread so that the
// descriptor's own position stays at the data offset for the program's
// zero-copy transfers. A regular file ends at its size at open; one the
// kernel gives no size for (/proc, devices) ends where pread returns 0, which
// the cache learns as it reads front to back.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "vfs_core.h"

namespace vfs
{

namespace
{

constexpr uint64_t no_offset = VFS_ERROR;

bool holds(const vfs_buffer &b, uint64_t off)
{
    return b.offset != no_offset && off >= b.offset && off < b.bend;
}

vfs_buffer &victim(vfs_cache &c)
{
    vfs_buffer *v = &c.buffers[0];
    for (uint32_t i = 1; i < c.count; i++)
        if (c.buffers[i].stamp < v->stamp)
            v = &c.buffers[i];
    return *v;
}

// Buffers start at whole multiples of their size from the data offset, the
// same places the block copier asks for.
uint64_t buffer_base(const handle &h, uint64_t off, uint64_t buffsize)
{
    if (off < h.lay.data_offset)
        return off;
    return h.lay.data_offset + (off - h.lay.data_offset) / buffsize * buffsize;
}

// What a load of got bytes at off, which met the end or not, tells of the
// reach of a file that has no size.
void learn_reach(handle &h, uint64_t off, uint64_t got, bool end)
{
    if (h.ended || (got == 0 && off > h.reach))
        return; // nothing read past a gap: the end lies somewhere before off
    h.reach = std::max(h.reach, off + got);
    h.ended = end;
}

// Fills b with the file's bytes from off on, never past the bound.
bool load(handle &h, vfs_buffer &b, uint64_t off)
{
    vfs_cache &c = h.file.dcache;
    uint64_t want = off < h.bound ? std::min(b.buffsize, h.bound - off) : 0;
    uint64_t got = 0;
    b.offset = no_offset;
    while (got < want) {
        // want - got is at most buffsize, which cache_init checked fits size_t.
        ssize_t n = pread(h.file.fd, b.buffer + got, static_cast<size_t>(want - got),
                          static_cast<off_t>(off + got));
        h.file.iosn++;
        if (n < 0 && errno == EINTR) {
            c.retries++;
            continue;
        }
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<uint64_t>(n);
    }
    bool end = got < want || off + got >= h.bound;
    learn_reach(h, off, got, end);
    c.bread += got;
    b.offset = off;
    b.total = got;
    b.bend = off + got;
    b.beof = end;
    b.stamp = ++c.clock;
    return true;
}

vfs_buffer *cached(handle &h, uint64_t off)
{
    vfs_cache &c = h.file.dcache;
    // A walk asks mostly for the buffer it asked for last.
    vfs_buffer *b = h.hot != nullptr && holds(*h.hot, off) ? h.hot : nullptr;
    for (uint32_t i = 0; b == nullptr && i < c.count; i++)
        if (holds(c.buffers[i], off))
            b = &c.buffers[i];
    if (b == nullptr)
        return nullptr;
    c.reuses++;
    b->stamp = ++c.clock;
    return h.hot = b;
}

} // namespace

bool cache_init(handle &h, uint64_t buffsize, uint32_t count)
{
    vfs_cache &c = h.file.dcache;
    if (buffsize > SIZE_MAX) {
        errno = EOVERFLOW;
        return false;
    }
    c.buffers = static_cast<vfs_buffer *>(calloc(count, sizeof(vfs_buffer)));
    if (c.buffers == nullptr)
        return false;
    c.count = count;
    for (uint32_t i = 0; i < count; i++) {
        vfs_buffer &b = c.buffers[i];
        b.buffsize = buffsize;
        b.offset = no_offset;
        b.buffer = static_cast<unsigned char *>(aligned_alloc(4096, static_cast<size_t>(buffsize)));
        if (b.buffer == nullptr) {
            cache_free(h);
            errno = ENOMEM;
            return false;
        }
    }
    return true;
}

void cache_free(handle &h)
{
    vfs_cache &c = h.file.dcache;
    if (c.buffers != nullptr)
        for (uint32_t i = 0; i < c.count; i++)
            free(c.buffers[i].buffer);
    free(c.buffers);
    c.buffers = nullptr;
    c.current = nullptr;
    h.hot = nullptr;
    c.count = 0;
}

uint64_t cache_span(handle &h, uint64_t at, uint64_t n)
{
    vfs_cache &c = h.file.dcache;
    // Each load either moves the reach on by a buffer or meets the end.
    while (!h.ended && (at > h.reach || h.reach - at < n)) {
        vfs_buffer &b = victim(c);
        if (!load(h, b, buffer_base(h, h.reach, b.buffsize)))
            return VFS_ERROR;
    }
    return at >= h.reach ? 0 : std::min(n, h.reach - at);
}

vfs_buffer *cache_at(handle &h, uint64_t off)
{
    if (vfs_buffer *b = cached(h, off))
        return b;
    vfs_buffer &b = victim(h.file.dcache);
    if (!load(h, b, buffer_base(h, off, b.buffsize)))
        return nullptr;
    if (!holds(b, off)) {
        errno = EIO; // shrank under us: the byte is gone
        return nullptr;
    }
    return h.hot = &b;
}

bool cache_copy(handle &h, uint64_t off, void *dst, uint64_t n)
{
    auto *out = static_cast<unsigned char *>(dst);
    while (n > 0) {
        vfs_buffer *b = cache_at(h, off);
        if (b == nullptr)
            return false;
        uint64_t k = std::min(n, b->bend - off);
        memcpy(out, b->buffer + (off - b->offset), static_cast<size_t>(k));
        out += k;
        off += k;
        n -= k;
    }
    return true;
}

const unsigned char *record_bytes(handle &h, const record_place &r)
{
    static const unsigned char nothing = 0;
    if (r.joined)
        return h.joined.data;
    if (r.dlen == 0) // an empty record may have no byte of the file behind it
        return &nothing;
    vfs_buffer *b = cache_at(h, r.doffset);
    if (b == nullptr)
        return nullptr;
    if (r.doffset + r.dlen <= b->bend)
        return b->buffer + (r.doffset - b->offset);
    if (!h.joined.reserve(r.dlen) || !cache_copy(h, r.doffset, h.joined.data, r.dlen))
        return nullptr;
    return h.joined.data;
}

vfs_buffer *show(vfs_buffer &v, unsigned char *bytes, uint64_t offset, uint64_t n, uint64_t raw,
                 bool end)
{
    v.buffer = bytes;
    v.offset = offset;
    v.bend = offset + n;
    v.total = n;
    v.buffsize = raw;
    v.beof = end;
    return &v;
}

bool grow_buffer::reserve(uint64_t n)
{
    if (n <= room && data != nullptr)
        return true;
    if (n > SIZE_MAX / 2) {
        errno = EOVERFLOW;
        return false;
    }
    size_t want = std::max({static_cast<size_t>(n), 2 * room, size_t{64}});
    auto *p = static_cast<unsigned char *>(realloc(data, want));
    if (p == nullptr) {
        errno = ENOMEM;
        return false;
    }
    data = p;
    room = want;
    return true;
}

namespace
{

vfs_buffer &buffer_at(handle &h, uint64_t off, bool &ok)
{
    vfs_cache &c = h.file.dcache;
    for (uint32_t i = 0; i < c.count; i++)
        if (c.buffers[i].offset == off) {
            c.reuses++;
            c.buffers[i].stamp = ++c.clock;
            ok = true;
            return c.buffers[i];
        }
    vfs_buffer &b = victim(c);
    ok = load(h, b, off);
    return b;
}

int cache_fail(handle &h, const error_detail &e)
{
    h.file.dcache.current = nullptr;
    fail(h, e);
    return -1;
}

// The walk reached the end of the counted records: an empty last buffer when
// the data ends there, else the damage.
int counted_end(handle &h, uint64_t roffset)
{
    uint64_t more = cache_span(h, h.data_end, 1);
    if (more == VFS_ERROR)
        return -1;
    error_detail e = h.end_err;
    if (e.code == 0 && h.reach < h.data_end)
        e = at_byte(e_truncated, h.reach);
    else if (e.code == 0 && more > 0)
        e = at_byte(e_beyond_count, h.data_end);
    if (e.code != 0)
        return cache_fail(h, e);
    vfs_buffer &b = victim(h.file.dcache);
    b.offset = roffset;
    b.bend = roffset;
    b.total = 0;
    b.beof = 1;
    b.stamp = ++h.file.dcache.clock;
    h.file.dcache.current = &b;
    return 0;
}

// Cuts a buffer at the end of the counted records; beof only when nothing follows.
int trim_to_count(handle &h, vfs_buffer &b)
{
    // A file without a size may end short of a fixed count.
    if (b.beof && b.bend < h.data_end && !settle_end(h))
        return -1;
    if (b.offset >= h.data_end)
        return counted_end(h, b.offset);
    if (b.bend < h.data_end) {
        if (b.beof && b.total == 0)
            return cache_fail(h, at_byte(e_truncated, h.reach));
        b.beof = 0; // the data ended short of the count: the next read says so
        return 0;
    }
    bool more = b.bend > h.data_end || !b.beof || h.end_err.code != 0;
    b.total = h.data_end - b.offset;
    b.bend = h.data_end;
    b.beof = !more;
    return 0;
}

// The raw block from off on, in dcache.current.
int raw_block(handle &h, uint64_t off)
{
    vfs_cache &c = h.file.dcache;
    if (!settle_end(h))
        return -1;
    if (h.data_end != VFS_ERROR && off >= h.data_end)
        return counted_end(h, off);
    bool ok = false;
    vfs_buffer &b = buffer_at(h, off, ok);
    c.current = ok ? &b : nullptr;
    if (!ok)
        return -1;
    return h.data_end != VFS_ERROR ? trim_to_count(h, b) : 0;
}

} // namespace

/*
 * Makes dcache.current the buffer holding the bytes from cursor->roffset on
 * (an empty buffer with beof set at or past the end). In a file whose header
 * counts its records the data ends after the last of them: the buffer
 * holding that end is cut there, with beof set only when nothing follows;
 * a read from there on fails with the damage (data beyond the counted
 * records, or a file short of them). A handle that converts from a code page
 * gives its fixed records converted, buffsize then the raw bytes they take,
 * and refuses records with length words. -1 with errno on failure, EBADF for
 * a handle that is writing.
 */
extern "C" int vfs_cache_read(vfs_file *f, vfs_cursor *cursor)
{
    if (f == nullptr || cursor == nullptr) {
        errno = EINVAL;
        return -1;
    }
    handle &h = *to_handle(f);
    if (h.writing || f->dcache.count == 0) {
        errno = EBADF;
        return -1;
    }
    if (raw_block(h, cursor->roffset) < 0)
        return -1;
    return h.conv != nullptr ? convert_block(h) : 0;
}

static int no_cache_op(vfs_file *, vfs_cursor *)
{
    errno = ENOTSUP;
    return -1;
}

static int no_meta_dump(vfs_file *)
{
    errno = ENOTSUP;
    return -1;
}

const vfs_internals cached_internals = {
    ._cache_read = vfs_cache_read,
    ._cache_write = no_cache_op,
    ._cache_spill = no_cache_op,
    ._meta_dump = no_meta_dump,
};

} // namespace vfs
