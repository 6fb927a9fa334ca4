// Byte streams: no records of their own. Read through the library, the
// stream comes in pieces that end at the cache's buffer boundaries (record
// format undefined); written, each record is appended as it is.
#include <errno.h>

#include <algorithm>

#include "vfs_core.h"
#include "vfs_table.h"

namespace vfs
{

namespace
{

bool settle(layout &l, const prefix_options &o, bool have_opts, const vfs_file_info &, bool,
            error_detail &e)
{
    if (have_opts)
        return e = bad_option(o.first.c_str()), false;
    l.driver = drv::oka;
    l.recfm = vfs_rec_undefined;
    return true;
}

step next(handle &h, uint64_t at, bool, record_place &r)
{
    uint64_t bs = h.file.dcache.buffers[0].buffsize;
    uint64_t len = cache_span(h, at, bs - (at - h.lay.data_offset) % bs);
    if (len == VFS_ERROR)
        return step::error;
    if (len == 0)
        return step::end;
    r = {at, at, len, len};
    return step::record;
}

bool put(handle &h, const unsigned char *data, uint64_t len)
{
    return emit(h, data, len);
}

} // namespace

constinit const struct vfs_api table = driver_table<oka_driver>("vfs_oka");
const driver oka_driver = {
    .id = drv::oka, .table = &table, .settle = settle, .next = next, .put = put};

} // namespace vfs
