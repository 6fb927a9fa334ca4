// Queued sequential files in the IBM layouts:
//   F, FB    fixed records of lrecl bytes (on disk a block is just records)
//   V        each record behind a record descriptor word (RDW): a 2-byte
//            big-endian length that counts the RDW, then 2 zero bytes
//   VB       blocks behind a block descriptor word (BDW, same form, or a
//            4-byte length with the top bit set for large blocks), each
//            holding RDW records
//   VS, VBS  as V and VB, with a record that does not fit cut into
//            segments: the third byte of a segment's word says whole (0),
//            first (1), middle (3) or last (2), and the walk joins them
// order=le stores every word's four bytes the other way round (the word
// taken as one x86 integer: 84 bytes are 00 00 54 00), rdwlen=data counts
// an RDW's or segment's data without the word itself. skip= and trailer=
// bytes before and after the records belong to none of them.
// A variable file read without recfm= is walked to tell V from VB (and
// segments are joined wherever they appear); see vfs_dox_probe.cc.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "errno_keeper.h"
#include "vfs_dox.h"
#include "vfs_table.h"

namespace vfs
{

namespace
{

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

vfs_recformat format_of(char recfm)
{
    if (recfm == 'f' || recfm == 'F')
        return vfs_rec_fixed;
    return recfm == 's' || recfm == 'S' ? vfs_rec_spanned : vfs_rec_variable;
}

// Record format, blocking and sizes from the options, else from the
// program's description.
void settle_format(layout &l, const prefix_options &o, const vfs_file_info &info, bool for_write)
{
    char fm = o.recfm;
    if (!o.recfm_given)
        fm = info.recfm == vfs_rec_variable || info.recfm == vfs_rec_spanned ? 'v' : 'f';
    l.recfm = format_of(fm);
    l.blocked = fm == 'F' || fm == 'V' || fm == 'S';
    l.segments = l.recfm == vfs_rec_spanned;
    l.lrecl = o.lrecl_given ? o.lrecl : info_lrecl(info);
    l.blksize = o.blksize_given ? o.blksize : info.blocklen == VFS_ERROR ? 0 : info.blocklen;
    if (l.recfm == vfs_rec_fixed || for_write)
        return;
    if (!o.recfm_given) {
        // Read as variable without a format: the first record's walk tells
        // blocks (a block size given says so), and segments are joined
        // wherever they appear.
        l.blocked = l.blksize != 0;
        l.segments = true;
        l.check = l.blocked ? first_walk::as_given : first_walk::choose;
    }
}

// The descriptor words' form and the bytes around the records.
void settle_words(layout &l, const prefix_options &o)
{
    // order= says how our header is stored too, but the header keeps its own field.
    l.words_le = o.order_given && !o.big_endian;
    l.rdw_data = o.rdw_data;
    l.skip = o.skip;
    l.trailer = o.trailer;
}

// The record and block lengths the layout can hold; false with e.
bool check_lengths(layout &l, bool for_write, error_detail &e)
{
    bool whole = l.recfm == vfs_rec_fixed || l.segments;
    uint64_t max = whole ? record_max : ibm_descriptor_max - rdw_size;
    if (l.lrecl > max)
        return e = too_long(l.lrecl, max, VFS_ERROR), false;
    if (for_write && l.recfm == vfs_rec_fixed && l.lrecl == 0)
        return e = at_byte(e_no_lrecl, VFS_ERROR), false;
    if (for_write && l.blocked && l.recfm != vfs_rec_fixed) {
        if (l.blksize == 0)
            l.blksize = default_blksize;
        // A segment carries at least one byte beside its word and the block's.
        uint64_t least = 2 * rdw_size + (l.segments ? 1 : 0);
        if (l.blksize < least || l.blksize > ibm_descriptor_max)
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
    settle_words(l, o);
    settle_header(l, o, for_write, info);
    return check_lengths(l, for_write, e);
}

// A descriptor word as IBM's big-endian integer: the length in the high
// half, then the segment flags and a zero byte (a large block: the length
// with the top bit set). order=le stores that integer low byte first.
uint32_t word_value(const layout &l, const unsigned char *b)
{
    uint32_t w;
    memcpy(&w, b, sizeof w);
    return l.words_le == host_big_endian() ? __builtin_bswap32(w) : w;
}

// The four bytes of the word at `at` where the cache holds them, or copied
// to tmp when they cross buffers; null with errno.
const unsigned char *word_bytes(handle &h, uint64_t at, unsigned char tmp[4])
{
    const vfs_buffer *b = cache_at(h, at);
    if (b != nullptr && at + rdw_size <= b->bend)
        return b->buffer + (at - b->offset);
    return b != nullptr && cache_copy(h, at, tmp, rdw_size) ? tmp : nullptr;
}

// A BDW: the block's length, or 0 when the word is malformed.
uint64_t block_length(const layout &l, const unsigned char *b)
{
    uint32_t w = word_value(l, b);
    if ((w & 0x80000000u) != 0)
        return w & 0x7fffffffu;
    uint64_t len = (w & 0xffffu) == 0 ? w >> 16 : 0;
    return len <= ibm_descriptor_max ? len : 0;
}

// A record or a segment in the file: where its word starts, the bytes it
// covers with the word, and its segment flags.
struct piece {
    uint64_t at = 0, len = 0;
    unsigned flags = seg_whole;
};

// The word at `at`, which has room bytes to take, and the piece it heads.
step read_piece(handle &h, uint64_t at, uint64_t room, piece &p)
{
    // Past the end of a whole block the word is wrong; past the end of the
    // file the record was cut.
    auto overrun = h.lay.blocked && h.block_cut == VFS_ERROR ? e_bad_rdw : e_truncated;
    unsigned char tmp[4];
    if (room < rdw_size)
        return fail(h, at_byte(overrun, at)), step::error;
    const unsigned char *b = word_bytes(h, at, tmp);
    if (b == nullptr)
        return step::error;
    p.at = at;
    p.len = piece_length(h.lay, b, p.flags);
    if (p.len == 0)
        return fail(h, at_byte(e_bad_rdw, at)), step::error;
    uint64_t lrecl = h.lay.lrecl;
    if (p.flags == seg_whole && lrecl != 0 && p.len - rdw_size > lrecl)
        return fail(h, too_long(p.len - rdw_size, lrecl, at)), step::error;
    if (p.len > room)
        return fail(h, at_byte(overrun, at)), step::error;
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
        unsigned char tmp[4];
        uint64_t have = cache_span(h, at, rdw_size);
        if (have == VFS_ERROR)
            return step::error;
        if (have == 0)
            return step::end;
        if (have < rdw_size)
            return fail(h, at_byte(e_truncated_block, at)), step::error;
        const unsigned char *b = word_bytes(h, at, tmp);
        if (b == nullptr)
            return step::error;
        uint64_t len = block_length(h.lay, b);
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

// The record or segment that starts at `at`, entering the next block first
// where a block ends there.
step next_piece(handle &h, uint64_t at, piece &p)
{
    if (h.lay.blocked) {
        step s = enter_block(h, at);
        return s == step::record ? read_piece(h, at, h.block_end - at, p) : s;
    }
    uint64_t room = cache_span(h, at, ibm_descriptor_max);
    if (room == VFS_ERROR)
        return step::error;
    return room == 0 ? step::end : read_piece(h, at, room, p);
}

// Adds the data of p to the record being joined, which may not grow beyond
// the longest record; first is the record's first segment.
step append_piece(handle &h, const piece &first, const piece &p)
{
    uint64_t max = h.lay.lrecl != 0 ? h.lay.lrecl : record_max;
    uint64_t n = p.len - rdw_size, have = h.joined.size;
    if (have + n > max)
        return fail(h, too_long(have + n, max, first.at)), step::error;
    if (!h.joined.reserve(have + n) || !cache_copy(h, p.at + rdw_size, h.joined.data + have, n))
        return step::error;
    h.joined.size = static_cast<size_t>(have + n);
    return step::record;
}

// The record whose first segment is `first`, its segments joined in
// h.joined. A segment out of its place breaks the chain there; the end of
// the file inside the record cuts the record.
step join_segments(handle &h, const piece &first, record_place &r)
{
    h.joined.size = 0;
    piece p = first;
    for (;;) {
        step s = append_piece(h, first, p);
        if (s != step::record)
            return s;
        if (p.flags == seg_last)
            break;
        s = next_piece(h, p.at + p.len, p);
        // The file ends inside the record, wherever among its segments.
        bool cut =
            s == step::error && (h.err.code == e_truncated || h.err.code == e_truncated_block);
        if (s == step::end || cut)
            return fail(h, at_byte(e_truncated, first.at)), step::error;
        if (s != step::record)
            return s;
        if (p.flags == seg_whole || p.flags == seg_first)
            return fail(h, at_byte(e_broken_chain, p.at)), step::error;
    }
    r = {first.at, first.at + rdw_size, h.joined.size, p.at + p.len - first.at, true};
    return step::record;
}

// What the first record of a file gets before it is read: the layout -r v
// left open is chosen, and the file is refused when its first 64 KiB fail
// in its layout but read cleanly in one other set (a record cut short would
// be printed before the damage), or when, read without blocks, they walk
// cleanly as blocks (each block would be printed as one record). Our header
// says what the file is. False with the damage recorded.
bool start_walk(handle &h)
{
    if (std::exchange(h.lay.check, first_walk::as_given) == first_walk::choose)
        choose_layout(h);
    if (h.lay.recfm == vfs_rec_fixed || h.lay.header)
        return true;
    error_detail e;
    bool refused = misread(h, e) || (!h.lay.blocked && records_in_blocks(h, e));
    if (refused)
        fail(h, std::move(e));
    return !refused;
}

step next(handle &h, uint64_t at, bool first, record_place &r)
{
    if (first && !start_walk(h))
        return step::error;
    step s = dox_walk(h, at, first, r);
    // A first record that fails may be a file of another layout: the message
    // names the options that read it, where one set does. Our header says
    // what the file is.
    if (s == step::error && first && h.lay.recfm != vfs_rec_fixed && !h.lay.header &&
        h.err.code != 0) {
        errno_keeper keep;
        h.err.hint = reading_options(h);
    }
    return s;
}

// The word that heads a record or segment of n data bytes (a block: n is
// all its bytes), in the layout's form.
void put_word(const layout &l, unsigned char out[4], uint64_t n, unsigned flags, bool block)
{
    uint64_t len = block || !l.rdw_data ? n + rdw_size : n;
    auto w = static_cast<uint32_t>(len << 16 | flags << 8);
    w = l.words_le == host_big_endian() ? __builtin_bswap32(w) : w;
    memcpy(out, &w, sizeof w);
}

bool flush_block(handle &h)
{
    if (h.block.empty())
        return true;
    unsigned char bdw[4];
    put_word(h.lay, bdw, h.block.size(), seg_whole, true);
    bool ok = emit(h, bdw, sizeof bdw) && emit(h, h.block.data(), h.block.size());
    h.block.clear();
    return ok;
}

// Appends a record or segment of n data bytes with its word: to the block
// being built (written first when the piece would not fit), or to the file.
bool put_piece(handle &h, const unsigned char *data, uint64_t n, unsigned flags)
{
    unsigned char word[4];
    put_word(h.lay, word, n, flags, false);
    if (!h.lay.blocked)
        return emit(h, word, sizeof word) && emit(h, data, n);
    if (2 * rdw_size + h.block.size() + n > h.lay.blksize && !flush_block(h))
        return false;
    h.block.append(reinterpret_cast<const char *>(word), sizeof word);
    // n is within the block size, which the layout checked.
    h.block.append(reinterpret_cast<const char *>(data), static_cast<size_t>(n));
    return true;
}

// The data bytes the next segment may take: what the block being built has
// left beside the segment's word, or a whole word's worth unblocked.
uint64_t segment_room(const handle &h)
{
    if (!h.lay.blocked)
        return ibm_descriptor_max - rdw_size;
    uint64_t used = 2 * rdw_size + h.block.size();
    return used < h.lay.blksize ? h.lay.blksize - used : 0;
}

// A record whole where it fits, else cut into segments: the first fills
// what the block has left, the next ones whole blocks (unblocked: words of
// the greatest length).
bool put_segments(handle &h, const unsigned char *data, uint64_t len)
{
    uint64_t done = 0;
    bool first = true;
    do {
        uint64_t room = segment_room(h);
        // A full block is written first; the layout leaves an empty one room.
        if (room == 0 && len > 0) {
            if (!flush_block(h))
                return false;
            continue;
        }
        uint64_t k = std::min(len - done, room);
        bool last = done + k == len;
        unsigned flags = first ? (last ? seg_whole : seg_first) : (last ? seg_last : seg_middle);
        if (!put_piece(h, data + done, k, flags))
            return false;
        done += k;
        first = false;
    } while (done < len);
    return true;
}

// The skip= bytes go before the first record, after our header.
bool put_skip(handle &h)
{
    bool started = h.woffset + h.wfill > h.lay.data_offset;
    return started || emit_fill(h, 0, h.lay.skip);
}

bool put(handle &h, const unsigned char *data, uint64_t len)
{
    const layout &l = h.lay;
    if (!put_skip(h))
        return false;
    if (l.recfm == vfs_rec_fixed)
        return fixed_put(h, data, len);
    uint64_t max = l.segments  ? record_max
                   : l.blocked ? l.blksize - 2 * rdw_size
                               : ibm_descriptor_max - rdw_size;
    if (l.lrecl != 0 && l.lrecl < max)
        max = l.lrecl;
    if (len > max)
        return fail(h, too_long(len, max, VFS_ERROR)), false;
    return l.segments ? put_segments(h, data, len) : put_piece(h, data, len, seg_whole);
}

bool finish(handle &h)
{
    return put_skip(h) && flush_block(h) && emit_fill(h, 0, h.lay.trailer);
}

} // namespace

uint64_t piece_length(const layout &l, const unsigned char *b, unsigned &flags)
{
    uint32_t w = word_value(l, b);
    flags = w >> 8 & 0xffu;
    if ((w & 0xffu) != 0 || flags > (l.segments ? unsigned{seg_middle} : unsigned{seg_whole}))
        return 0;
    uint64_t len = (w >> 16) + (l.rdw_data ? rdw_size : 0);
    return len >= rdw_size && len <= ibm_descriptor_max ? len : 0;
}

step dox_walk(handle &h, uint64_t at, bool first, record_place &r)
{
    if (h.lay.recfm == vfs_rec_fixed)
        return fixed_next(h, at, r);
    if (first) {
        h.block_end = at;
        h.block_cut = VFS_ERROR;
    }
    piece p;
    step s = next_piece(h, at, p);
    if (s != step::record)
        return s;
    if (p.flags == seg_whole) {
        r = {p.at, p.at + rdw_size, p.len - rdw_size, p.len, false};
        return step::record;
    }
    if (p.flags != seg_first)
        return fail(h, at_byte(e_broken_chain, p.at)), step::error;
    return join_segments(h, p, r);
}

constinit const struct vfs_api table = driver_table<dox_driver>("vfs_dox");
const driver dox_driver = {
    .id = drv::dox, .table = &table, .settle = settle, .next = next, .put = put, .finish = finish};

} // namespace vfs
