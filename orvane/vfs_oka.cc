// Byte streams: no records of their own. Read through the library, the
// stream comes in pieces that end at the cache's buffer boundaries (record
// format undefined); written, each record is appended as it is.
#include <errno.h>

#include <algorithm>

#include "vfs_core.h"

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

vfs_file *open(vfs_file_info *info)
{
    return open_handle(oka_driver, info);
}
int create(vfs_file_info *info)
{
    return create_handle(oka_driver, info);
}

const struct vfs_api table = {
    .vfs_eye = "vfs_oka",
    .vfs_vrm = VFS_VRM,
    .vfs_size = sizeof(struct vfs_api),
    .vfs_internals = &cached_internals,
    .organization = vfs_org_sequential,
    .access = vfs_acc_sequential,
    .vfs_non_native = 0,
    .vfs_vhrrn_known = 0,
    .vfs_vprev_safe = 0,
    .vfs_delete_safe = 0,
    .vfs_dio_all = 0,
    .vfs_dio_seq = 1,
    .vfs_resolve = vfs_op_resolve,
    .vfs_exists = vfs_op_exists,
    .vfs_rename = vfs_op_rename,
    .vfs_create = create,
    .vfs_destroy = vfs_op_destroy,
    .vfs_open = open,
    .vfs_fstat = vfs_op_fstat,
    .vfs_sync = vfs_op_sync,
    .vfs_close = vfs_op_close,
    .vfs_eof = vfs_op_eof,
    .vfs_read = vfs_op_read,
    .vfs_write = vfs_op_write,
    .vfs_rewrite = unsupported64,
    .vfs_delete = unsupported,
    .vfs_seek = vfs_op_seek,
    .vfs_locked = unsupported,
    .vfs_lock = unsupported,
    .vfs_unlock = unsupported,
    .vfs_unlockall = vfs_op_unlockall,
    .vfs_strerror = vfs_op_strerror,
};

} // namespace

const driver oka_driver = {
    .id = drv::oka,
    .table = &table,
    .default_recfm = vfs_rec_undefined,
    .settle = settle,
    .next = next,
    .put = put,
    .finish = nullptr,
    .opened = nullptr,
};

} // namespace vfs
