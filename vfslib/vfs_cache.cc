// The data cache: a few large buffers, filled with pread so that the
// descriptor's own position stays at the data offset for the program's
// zero-copy transfers.
#include <errno.h>
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

// Fills b with the file's bytes from off on, up to the size seen at open.
bool load(handle &h, vfs_buffer &b, uint64_t off)
{
    vfs_cache &c = h.file.dcache;
    uint64_t want = off < h.size ? std::min<uint64_t>(b.buffsize, h.size - off) : 0;
    uint64_t got = 0;
    b.offset = no_offset;
    while (got < want) {
        ssize_t n = pread(h.file.fd, b.buffer + got, want - got, static_cast<off_t>(off + got));
        h.file.iosn++;
        if (n < 0 && errno == EINTR) {
            c.retries++;
            continue;
        }
        if (n < 0)
            return false;
        if (n == 0)
            break; // the file shrank since it was opened
        got += static_cast<uint64_t>(n);
    }
    c.bread += got;
    b.offset = off;
    b.total = got;
    b.bend = off + got;
    b.beof = got < want || off + got >= h.size;
    b.stamp = ++c.clock;
    return true;
}

} // namespace

bool cache_init(handle &h, uint64_t buffsize, uint32_t count)
{
    vfs_cache &c = h.file.dcache;
    c.buffers = static_cast<vfs_buffer *>(calloc(count, sizeof(vfs_buffer)));
    if (c.buffers == nullptr)
        return false;
    c.count = count;
    for (uint32_t i = 0; i < count; i++) {
        vfs_buffer &b = c.buffers[i];
        b.buffsize = buffsize;
        b.offset = no_offset;
        b.buffer = static_cast<unsigned char *>(aligned_alloc(4096, buffsize));
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
    c.count = 0;
}

vfs_buffer *cache_at(handle &h, uint64_t off)
{
    vfs_cache &c = h.file.dcache;
    for (uint32_t i = 0; i < c.count; i++)
        if (holds(c.buffers[i], off)) {
            c.reuses++;
            c.buffers[i].stamp = ++c.clock;
            return &c.buffers[i];
        }
    // Buffers start at whole multiples of their size from the data offset,
    // the same places the block copier asks for.
    vfs_buffer &b = victim(c);
    uint64_t base = off;
    if (off >= h.lay.data_offset)
        base = h.lay.data_offset + (off - h.lay.data_offset) / b.buffsize * b.buffsize;
    if (!load(h, b, base))
        return nullptr;
    if (!holds(b, off)) {
        errno = EIO; // shrank under us: the byte is gone
        return nullptr;
    }
    return &b;
}

bool cache_copy(handle &h, uint64_t off, void *dst, uint64_t n)
{
    auto *out = static_cast<unsigned char *>(dst);
    while (n > 0) {
        vfs_buffer *b = cache_at(h, off);
        if (b == nullptr)
            return false;
        uint64_t k = std::min(n, b->bend - off);
        memcpy(out, b->buffer + (off - b->offset), k);
        out += k;
        off += k;
        n -= k;
    }
    return true;
}

/*
 * Makes dcache.current the buffer holding the bytes from cursor->roffset on
 * (an empty buffer with beof set at or past the end). -1 with errno on a
 * read failure, or EBADF for a handle that is writing.
 */
extern "C" int vfs_cache_read(vfs_file *f, vfs_cursor *cursor)
{
    if (f == nullptr || cursor == nullptr) {
        errno = EINVAL;
        return -1;
    }
    handle &h = *to_handle(f);
    vfs_cache &c = f->dcache;
    if (h.writing || c.count == 0) {
        errno = EBADF;
        return -1;
    }
    for (uint32_t i = 0; i < c.count; i++)
        if (c.buffers[i].offset == cursor->roffset) {
            c.reuses++;
            c.buffers[i].stamp = ++c.clock;
            c.current = &c.buffers[i];
            return 0;
        }
    vfs_buffer &b = victim(c);
    if (!load(h, b, cursor->roffset)) {
        c.current = nullptr;
        return -1;
    }
    c.current = &b;
    return 0;
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
