// Record sequential files: fixed records of lrecl bytes, or variable records
// behind the length prefixes COBOL runtimes write (varfmt):
//   0  2-byte big-endian length, 2 zero bytes (the default)
//   1  4-byte big-endian length
//   2  4-byte little-endian length
//   3  2-byte big-endian length
// The length counts the data only.
#include <errno.h>

#include "vfs_core.h"
#include "vfs_table.h"

namespace vfs
{

namespace
{

uint64_t prefix_size(uint8_t varfmt)
{
    return varfmt == 3 ? 2 : 4;
}
uint64_t prefix_max(uint8_t varfmt)
{
    return varfmt == 0 || varfmt == 3 ? 0xffff : record_max;
}

bool settle(layout &l, const prefix_options &o, bool, const vfs_file_info &info, bool for_write,
            error_detail &e)
{
    if (!refuse_queued_options(o, e))
        return false;
    if (o.keypos_given || o.keylen_given)
        return e = bad_option(o.keypos_given ? "keypos" : "keylen"), false;
    l.driver = drv::umb;
    bool variable =
        o.recfm_given ? o.recfm == 'v' : o.varfmt_given || info.recfm == vfs_rec_variable;
    l.recfm = variable ? vfs_rec_variable : vfs_rec_fixed;
    l.varfmt = o.varfmt;
    l.lrecl = o.lrecl_given ? o.lrecl : info_lrecl(info);
    settle_header(l, o, for_write, info);
    uint64_t max = variable ? prefix_max(l.varfmt) : record_max;
    if (l.lrecl > max)
        return e = too_long(l.lrecl, max, VFS_ERROR), false;
    if (for_write && !variable && l.lrecl == 0)
        return e = at_byte(e_no_lrecl, VFS_ERROR), false;
    return true;
}

step next(handle &h, uint64_t at, bool, record_place &r)
{
    const layout &l = h.lay;
    if (l.recfm == vfs_rec_fixed)
        return fixed_next(h, at, r);
    uint64_t p = prefix_size(l.varfmt);
    uint64_t have = cache_span(h, at, p);
    if (have == VFS_ERROR)
        return step::error;
    if (have == 0)
        return step::end;
    unsigned char b[4];
    if (have < p)
        return fail(h, at_byte(e_truncated, at)), step::error;
    if (!cache_copy(h, at, b, p))
        return step::error;
    uint64_t len = l.varfmt == 1 ? get_be(b, 4) : l.varfmt == 2 ? get_le(b, 4) : get_be(b, 2);
    if (l.varfmt == 0 && (b[2] != 0 || b[3] != 0))
        return fail(h, at_byte(e_bad_prefix, at)), step::error;
    uint64_t max = l.lrecl != 0 ? l.lrecl : prefix_max(l.varfmt);
    if (len > max)
        return fail(h, too_long(len, max, at)), step::error;
    have = cache_span(h, at + p, len);
    if (have == VFS_ERROR)
        return step::error;
    if (have < len)
        return fail(h, at_byte(e_truncated, at)), step::error;
    r = {at, at + p, len, p + len};
    return step::record;
}

bool put(handle &h, const unsigned char *data, uint64_t len)
{
    const layout &l = h.lay;
    if (l.recfm == vfs_rec_fixed)
        return fixed_put(h, data, len);
    uint64_t max = l.lrecl != 0 ? l.lrecl : prefix_max(l.varfmt);
    if (len > max)
        return fail(h, too_long(len, max, VFS_ERROR)), false;
    unsigned char b[4] = {0, 0, 0, 0};
    if (l.varfmt == 1)
        put_be(b, 4, len);
    else if (l.varfmt == 2)
        put_le(b, 4, len);
    else
        put_be(b, 2, len);
    return emit(h, b, prefix_size(l.varfmt)) && emit(h, data, len);
}

} // namespace

constinit const struct vfs_api table = driver_table<umb_driver>("vfs_umb");
const driver umb_driver = {
    .id = drv::umb, .table = &table, .settle = settle, .next = next, .put = put};

} // namespace vfs
