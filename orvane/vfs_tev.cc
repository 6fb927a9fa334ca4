// Line sequential files: one record per line, ended by LF; a CR before the
// LF is not data, and a last line without LF is still a record.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "vfs_core.h"
#include "vfs_table.h"

namespace vfs
{

namespace
{

bool settle(layout &l, const prefix_options &o, bool, const vfs_file_info &info, bool for_write,
            error_detail &e)
{
    if (o.recfm_given && o.recfm != 'v')
        return e = bad_option(recfm_text(o.recfm)), false;
    if (!refuse_queued_options(o, e))
        return false;
    if (o.varfmt_given)
        return e = bad_option("varfmt", o.varfmt), false;
    if (o.keypos_given || o.keylen_given)
        return e = bad_option(o.keypos_given ? "keypos" : "keylen"), false;
    l.driver = drv::tev;
    l.recfm = vfs_rec_variable;
    // Only a prefix sets a maximum line length: the program's record length
    // applies to every file it names, and lines vary.
    l.lrecl = o.lrecl_given ? o.lrecl : 0;
    settle_header(l, o, for_write, info);
    return true;
}

// Looks for the LF that ends the line at `at`, at most limit + 1 bytes on:
// nl is its offset and found true, or nl is where the search stopped (the
// end of the data, or past the limit).
bool find_line_end(handle &h, uint64_t at, uint64_t limit, uint64_t &nl, bool &found)
{
    uint64_t off = at;
    found = false;
    while (off - at <= limit) {
        uint64_t have = cache_span(h, off, 1);
        if (have == VFS_ERROR)
            return false;
        if (have == 0)
            break;
        vfs_buffer *b = cache_at(h, off);
        if (b == nullptr)
            return false;
        const unsigned char *p = b->buffer + (off - b->offset);
        // At most one buffer, whose size fits size_t.
        auto n = static_cast<size_t>(std::min(b->bend - off, limit + 1 - (off - at)));
        const void *hit = memchr(p, '\n', n);
        if (hit != nullptr) {
            nl = off + static_cast<uint64_t>(static_cast<const unsigned char *>(hit) - p);
            found = true;
            return true;
        }
        off += n;
    }
    nl = off;
    return true;
}

step next(handle &h, uint64_t at, bool, record_place &r)
{
    uint64_t have = cache_span(h, at, 1);
    if (have == VFS_ERROR)
        return step::error;
    if (have == 0)
        return step::end;
    // One byte of slack for a CR before the LF.
    uint64_t max = h.lay.lrecl != 0 ? h.lay.lrecl : record_max;
    uint64_t nl = 0;
    bool found = false;
    if (!find_line_end(h, at, max + 1, nl, found))
        return step::error;
    uint64_t len = nl - at;
    uint64_t rlen = found ? len + 1 : len;
    if (found && len > 0) {
        unsigned char c = 0;
        if (!cache_copy(h, nl - 1, &c, 1))
            return step::error;
        len -= c == '\r';
    }
    if (len > max)
        return fail(h, too_long(len, max, at)), step::error;
    r = {at, at, len, rlen};
    return step::record;
}

bool put(handle &h, const unsigned char *data, uint64_t len)
{
    // vfs_write took only lengths that fit size_t.
    if (len > 0 && memchr(data, '\n', static_cast<size_t>(len)) != nullptr)
        return fail(h, at_byte(e_line_end, VFS_ERROR)), false;
    if (h.lay.lrecl != 0 && len > h.lay.lrecl)
        return fail(h, too_long(len, h.lay.lrecl, VFS_ERROR)), false;
    return emit(h, data, len) && emit(h, "\n", 1);
}

} // namespace

constinit const struct vfs_api table = driver_table<tev_driver>("vfs_tev");
const driver tev_driver = {
    .id = drv::tev, .table = &table, .settle = settle, .next = next, .put = put};

} // namespace vfs
