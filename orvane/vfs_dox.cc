// Queued sequential files in the IBM layouts:
//   F, FB  fixed records of lrecl bytes (on disk a block is just records)
//   V      each record behind a record descriptor word (RDW): a 2-byte
//          big-endian length that counts the RDW, then 2 zero bytes
//   VB     blocks behind a block descriptor word (BDW, same form, or a
//          4-byte length with the top bit set for large blocks), each
//          holding RDW records
// A variable file without recfm=v or recfm=vb is told apart by its first
// eight bytes: a BDW followed by an RDW that fits inside it means VB.
#include <errno.h>
#include <string.h>

#include "vfs_core.h"
#include "vfs_table.h"

namespace vfs
{

namespace
{

constexpr uint64_t rdw_size = 4;
constexpr uint64_t default_blksize = ibm_descriptor_max;

// Options no queued sequential file takes; false with e.
bool refuse_foreign(const prefix_options &o, error_detail &e)
{
    if (o.varfmt_given)
        return e = bad_option("varfmt", o.varfmt), false;
    if (o.keypos_given || o.keylen_given)
        return e = bad_option(o.keypos_given ? "keypos" : "keylen"), false;
    return true;
}

// Record format, blocking and sizes from the options, else from the
// program's description.
void settle_format(layout &l, const prefix_options &o, const vfs_file_info &info, bool for_write)
{
    char fm = o.recfm;
    if (!o.recfm_given)
        fm = info.recfm == vfs_rec_variable || info.recfm == vfs_rec_spanned ? 'v' : 'f';
    l.recfm = fm == 'f' || fm == 'F' ? vfs_rec_fixed : vfs_rec_variable;
    l.blocked = fm == 'F' || fm == 'V';
    l.lrecl = o.lrecl_given ? o.lrecl : info_lrecl(info);
    l.blksize = o.blksize_given ? o.blksize : info.blocklen == VFS_ERROR ? 0 : info.blocklen;
    if (l.recfm == vfs_rec_variable && !o.recfm_given && !for_write) {
        l.blocked = l.blksize != 0;
        l.detect_blocks = l.blksize == 0;
    }
}

// The record and block lengths the layout can hold; false with e.
bool check_lengths(layout &l, bool for_write, error_detail &e)
{
    uint64_t max = l.recfm == vfs_rec_fixed ? record_max : ibm_descriptor_max - rdw_size;
    if (l.lrecl > max)
        return e = too_long(l.lrecl, max, VFS_ERROR), false;
    if (for_write && l.recfm == vfs_rec_fixed && l.lrecl == 0)
        return e = at_byte(e_no_lrecl, VFS_ERROR), false;
    if (for_write && l.blocked && l.recfm == vfs_rec_variable) {
        if (l.blksize == 0)
            l.blksize = default_blksize;
        if (l.blksize < 2 * rdw_size || l.blksize > ibm_descriptor_max)
            return e = bad_option("blksize", l.blksize), false;
    }
    return true;
}

bool settle(layout &l, const prefix_options &o, bool, const vfs_file_info &info, bool for_write,
            error_detail &e)
{
    if (!refuse_foreign(o, e))
        return false;
    l.driver = drv::dox;
    settle_format(l, o, info, for_write);
    settle_header(l, o, for_write, info);
    return check_lengths(l, for_write, e);
}

// A descriptor word: 2-byte big-endian length and 2 zero bytes, or (for a
// block only) a 4-byte length with the top bit set. 0 when it is malformed.
uint64_t descriptor(const unsigned char *b, bool block)
{
    if (block && (b[0] & 0x80) != 0)
        return get_be(b, 4) & 0x7fffffff;
    if (b[2] != 0 || b[3] != 0)
        return 0;
    uint64_t len = get_be(b, 2);
    return len >= rdw_size && len <= ibm_descriptor_max ? len : 0;
}

void detect_blocks(handle &h)
{
    h.lay.detect_blocks = false;
    unsigned char b[8];
    uint64_t at = h.lay.data_offset;
    if (cache_span(h, at, sizeof b) != sizeof b || !cache_copy(h, at, b, sizeof b))
        return;
    uint64_t bdw = descriptor(b, true);
    uint64_t rdw = descriptor(b + 4, false);
    h.lay.blocked = bdw >= 2 * rdw_size && rdw != 0 && rdw <= bdw - rdw_size;
}

// The RDW record at `at`, which has room bytes to take.
step rdw_record(handle &h, uint64_t at, uint64_t room, bool in_block, record_place &r)
{
    // Past the end of a whole block the RDW is wrong; past the end of the
    // file the record was cut.
    auto overrun = in_block && h.block_cut == VFS_ERROR ? e_bad_rdw : e_truncated;
    unsigned char b[4];
    if (room < rdw_size)
        return fail(h, at_byte(overrun, at)), step::error;
    if (!cache_copy(h, at, b, rdw_size))
        return step::error;
    uint64_t len = descriptor(b, false);
    if (len == 0)
        return fail(h, at_byte(e_bad_rdw, at)), step::error;
    if (h.lay.lrecl != 0 && len - rdw_size > h.lay.lrecl)
        return fail(h, too_long(len - rdw_size, h.lay.lrecl, at)), step::error;
    if (len > room)
        return fail(h, at_byte(overrun, at)), step::error;
    r = {at, at + rdw_size, len - rdw_size, len};
    return step::record;
}

// Moves past the BDW at `at` (and any empty blocks): the walk is then inside
// a block that ends at h.block_end.
step enter_block(handle &h, uint64_t &at)
{
    // Empty blocks are skipped; each costs at least its 4-byte BDW, so the walk ends.
    while (at == h.block_end) {
        if (h.block_cut != VFS_ERROR)
            return fail(h, at_byte(e_truncated_block, h.block_cut)), step::error;
        unsigned char b[4];
        uint64_t have = cache_span(h, at, rdw_size);
        if (have == VFS_ERROR)
            return step::error;
        if (have == 0)
            return step::end;
        if (have < rdw_size)
            return fail(h, at_byte(e_truncated_block, at)), step::error;
        if (!cache_copy(h, at, b, rdw_size))
            return step::error;
        uint64_t len = descriptor(b, true);
        if (len < rdw_size || (h.lay.blksize != 0 && len > h.lay.blksize))
            return fail(h, at_byte(e_bad_bdw, at)), step::error;
        // A block that the end of the file cuts short still gives its whole
        // records; the cut is reported when the walk reaches it.
        have = cache_span(h, at, len);
        if (have == VFS_ERROR)
            return step::error;
        if (have < len)
            h.block_cut = at;
        h.block_end = at + have;
        at += rdw_size;
    }
    return step::record;
}

step next(handle &h, uint64_t at, bool first, record_place &r)
{
    if (h.lay.recfm == vfs_rec_fixed)
        return fixed_next(h, at, r);
    if (h.lay.detect_blocks)
        detect_blocks(h);
    if (!h.lay.blocked) {
        uint64_t room = cache_span(h, at, ibm_descriptor_max);
        if (room == VFS_ERROR)
            return step::error;
        return room == 0 ? step::end : rdw_record(h, at, room, false, r);
    }
    if (first) {
        h.block_end = at;
        h.block_cut = VFS_ERROR;
    }
    step s = enter_block(h, at);
    return s == step::record ? rdw_record(h, at, h.block_end - at, true, r) : s;
}

bool flush_block(handle &h)
{
    if (h.block.empty())
        return true;
    unsigned char bdw[4] = {0, 0, 0, 0};
    put_be(bdw, 2, h.block.size() + rdw_size);
    bool ok = emit(h, bdw, sizeof bdw) && emit(h, h.block.data(), h.block.size());
    h.block.clear();
    return ok;
}

bool put(handle &h, const unsigned char *data, uint64_t len)
{
    const layout &l = h.lay;
    if (l.recfm == vfs_rec_fixed)
        return fixed_put(h, data, len);
    uint64_t max = l.blocked ? l.blksize - 2 * rdw_size : ibm_descriptor_max - rdw_size;
    if (l.lrecl != 0 && l.lrecl < max)
        max = l.lrecl;
    if (len > max)
        return fail(h, too_long(len, max, VFS_ERROR)), false;
    unsigned char rdw[4] = {0, 0, 0, 0};
    put_be(rdw, 2, len + rdw_size);
    if (!l.blocked)
        return emit(h, rdw, sizeof rdw) && emit(h, data, len);
    if (rdw_size + h.block.size() + rdw_size + len > l.blksize && !flush_block(h))
        return false;
    h.block.append(reinterpret_cast<const char *>(rdw), sizeof rdw);
    // len is within blksize, checked above.
    h.block.append(reinterpret_cast<const char *>(data), static_cast<size_t>(len));
    return true;
}

bool finish(handle &h)
{
    return flush_block(h);
}

} // namespace

constinit const struct vfs_api table = driver_table<dox_driver>("vfs_dox");
const driver dox_driver = {
    .id = drv::dox, .table = &table, .settle = settle, .next = next, .put = put, .finish = finish};

} // namespace vfs
