/*
 * The one stamp every operation table is made with. A table differs from the
 * next only in what it names itself and how its files are organised; the
 * operations are the shared handle code, so a driver's table is one line.
 */
#ifndef VFS_TABLE_H
#define VFS_TABLE_H

#include <stddef.h>

#include "vfs_core.h"

namespace vfs
{

/* What sets one table apart from the others. */
struct table_traits {
    const char *eye; /* at most 7 characters */
    vfs_organization organization = vfs_org_sequential;
    vfs_access access = vfs_acc_sequential;
    bool dio_seq = true; /* records may be taken straight from the cache */
    vfs_file *(*open)(vfs_file_info *) = nullptr;
    int (*create)(vfs_file_info *) = nullptr;
};

/* No driver rewrites, deletes or locks records: those operations say so
 * rather than pretend. */
constexpr struct vfs_api stamp_table(const table_traits &t)
{
    struct vfs_api api = {
        .vfs_eye = {},
        .vfs_vrm = VFS_VRM,
        .vfs_size = sizeof(struct vfs_api),
        .vfs_internals = &cached_internals,
        .organization = t.organization,
        .access = t.access,
        .vfs_non_native = 0,
        .vfs_vhrrn_known = 0,
        .vfs_vprev_safe = 0,
        .vfs_delete_safe = 0,
        .vfs_dio_all = 0,
        .vfs_dio_seq = t.dio_seq ? 1u : 0u,
        .vfs_resolve = vfs_op_resolve,
        .vfs_exists = vfs_op_exists,
        .vfs_rename = vfs_op_rename,
        .vfs_create = t.create,
        .vfs_destroy = vfs_op_destroy,
        .vfs_open = t.open,
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
    for (size_t i = 0; i + 1 < sizeof api.vfs_eye && t.eye[i] != '\0'; i++)
        api.vfs_eye[i] = t.eye[i];
    return api;
}

template <const driver &D> vfs_file *open_with(vfs_file_info *info)
{
    return open_handle(D, info);
}

template <const driver &D> int create_with(vfs_file_info *info)
{
    return create_handle(D, info);
}

/* The table of driver D, whose files it opens and creates. */
template <const driver &D>
constexpr struct vfs_api driver_table(const char *eye,
                                      vfs_organization organization = vfs_org_sequential)
{
    return stamp_table({
        .eye = eye,
        .organization = organization,
        .open = open_with<D>,
        .create = create_with<D>,
    });
}

} // namespace vfs

#endif
