// Layout rules more than one driver follows.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "vfs_core.h"

namespace vfs
{

error_detail bad_option(const char *text)
{
    error_detail e;
    e.code = e_bad_option;
    e.what = text;
    return e;
}

error_detail bad_option(const char *key, uint64_t value)
{
    char text[64];
    snprintf(text, sizeof text, "%s=%llu", key, (unsigned long long)value);
    return bad_option(text);
}

error_detail too_long(uint64_t len, uint64_t max, uint64_t off)
{
    error_detail e = at_byte(e_too_long, off);
    e.length = len;
    e.limit = max;
    return e;
}

uint64_t info_lrecl(const vfs_file_info &info)
{
    return info.datlen == VFS_ERROR ? 0 : info.datlen;
}

const char *recfm_text(char recfm)
{
    switch (recfm) {
    case 'f':
        return "recfm=f";
    case 'F':
        return "recfm=fb";
    case 'v':
        return "recfm=v";
    case 'V':
        return "recfm=vb";
    case 's':
        return "recfm=vs";
    default:
        return "recfm=vbs";
    }
}

bool refuse_queued_options(const prefix_options &o, error_detail &e)
{
    if (o.recfm_given && o.recfm != 'f' && o.recfm != 'v')
        return e = bad_option(recfm_text(o.recfm)), false;
    if (o.blksize_given)
        return e = bad_option("blksize", o.blksize), false;
    if (o.rdwlen_given)
        return e = bad_option(o.rdw_data ? "rdwlen=data" : "rdwlen=total"), false;
    if (o.skip_given || o.trailer_given)
        return e = o.skip_given ? bad_option("skip", o.skip) : bad_option("trailer", o.trailer),
               false;
    return true;
}

void settle_header(layout &l, const prefix_options &o, bool for_write, const vfs_file_info &info)
{
    l.header = for_write && o.header == 1;
    l.big_endian = o.order_given ? o.big_endian : host_big_endian();
    l.pad = info.pad == vfs_pad_ebcdic ? 0x40 : ' ';
}

step fixed_next(handle &h, uint64_t at, record_place &r)
{
    uint64_t have = cache_span(h, at, std::max<uint64_t>(h.lay.lrecl, 1));
    if (have == VFS_ERROR)
        return step::error;
    if (have == 0)
        return step::end;
    if (h.lay.lrecl == 0) {
        fail(h, at_byte(e_no_lrecl, VFS_ERROR));
        return step::error;
    }
    if (have < h.lay.lrecl) {
        fail(h, at_byte(e_truncated, at));
        return step::error;
    }
    r = {at, at, h.lay.lrecl, h.lay.lrecl};
    return step::record;
}

bool fixed_put(handle &h, const unsigned char *data, uint64_t len)
{
    if (len > h.lay.lrecl) {
        fail(h, too_long(len, h.lay.lrecl, VFS_ERROR));
        return false;
    }
    return emit(h, data, len) && emit_fill(h, h.lay.pad, h.lay.lrecl - len);
}

bool emit_fill(handle &h, unsigned char byte, uint64_t n)
{
    unsigned char fill[256];
    memset(fill, byte, sizeof fill);
    for (uint64_t left = n; left > 0;) {
        uint64_t k = std::min<uint64_t>(left, sizeof fill);
        if (!emit(h, fill, k))
            return false;
        left -= k;
    }
    return true;
}

} // namespace vfs
