// The generic table, the only symbol the library exports, and name
// resolution.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vfs_core.h"

namespace vfs
{

const driver &driver_of(drv d)
{
    switch (d) {
    case drv::umb:
        return umb_driver;
    case drv::tev:
        return tev_driver;
    case drv::dox:
        return dox_driver;
    case drv::yar:
        return yar_driver;
    default:
        return oka_driver;
    }
}

const char *driver_name(drv d)
{
    return driver_of(d).table->vfs_eye;
}

namespace
{

char *dup(const std::string &s)
{
    char *p = strdup(s.c_str());
    return p;
}

// Resolution fails: null, with the reason as the realname the program prints.
const struct vfs_api *no_driver(char **realname, const std::string &why)
{
    if (realname != nullptr)
        *realname = dup(why);
    errno = EINVAL;
    return nullptr;
}

const struct vfs_api *found(const parsed_name &p, drv d, char **realname)
{
    if (p.prefixed && realname != nullptr)
        *realname = dup(p.path);
    errno = 0;
    return driver_of(d).table;
}

} // namespace

const struct vfs_api *resolve(const char *name, char **realname)
{
    parsed_name p;
    std::string bad;
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!parse_name(name, p, bad))
        return no_driver(realname, "unknown option " + bad);
    if (p.prefixed)
        remember_options(p);
    else
        forget_options(p.path);
    // Only a regular file is looked into: opening a FIFO would wait for a
    // writer, and a pipe or terminal gives its bytes to one reader only.
    struct stat st;
    if (stat(p.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return found(p, p.prefixed ? p.driver : drv::oka, realname);
    int fd = open(p.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) // the open that follows reports the system's reason
        return found(p, p.prefixed ? p.driver : drv::oka, realname);
    unsigned char hdr[header_size];
    ssize_t n = p.opts.header == 0 ? 0 : pread(fd, hdr, sizeof hdr, 0);
    close(fd);
    if (n > 0 && has_magic(hdr, static_cast<size_t>(n))) {
        layout l;
        error_detail e;
        if (!decode_header(hdr, static_cast<size_t>(n), l, e))
            return no_driver(realname, error_text(e));
        if (p.prefixed && p.driver != l.driver) {
            errno = EBADF;
            return driver_of(l.driver).table;
        }
        return found(p, l.driver, realname);
    }
    if (!p.prefixed)
        return found(p, drv::oka, realname);
    if (p.driver == drv::yar)
        return no_driver(realname, error_text(at_byte(e_no_header, VFS_ERROR)));
    layout l;
    error_detail e;
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    if (!driver_of(p.driver).settle(l, p.opts, p.opts.any(), info, false, e))
        return no_driver(realname, error_text(e));
    return found(p, p.driver, realname);
}

} // namespace vfs

using namespace vfs;

/*
 * The driver of a name. The first two arguments (caller and context) are not
 * used. errno is 0 on success; a prefix that names another driver than the
 * file's header gives the header's driver with errno EBADF; null when no
 * driver fits, with *realname a short reason. For a prefixed name *realname
 * becomes the bare path. All texts are malloc'd and the caller's to free.
 */
extern "C" const struct vfs_api *vfs_op_resolve(const char *, const char *, const char *name,
                                                char **realname)
{
    return resolve(name, realname);
}

namespace
{

// Through the generic table a name is resolved first, then its driver opens it.
vfs_file *generic_open(vfs_file_info *info)
{
    if (info == nullptr || info->fname == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char *real = nullptr;
    const struct vfs_api *api = resolve(info->fname, &real);
    int err = errno;
    free(real);
    if (api == nullptr || err != 0) {
        errno = err != 0 ? err : EINVAL;
        return nullptr;
    }
    return api->vfs_open(info);
}

int generic_create(vfs_file_info *info)
{
    parsed_name p;
    std::string bad;
    if (info == nullptr || info->fname == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (!parse_name(info->fname, p, bad)) {
        error_detail e;
        e.code = e_bad_option;
        e.what = bad;
        set_last_error(e);
        return -1;
    }
    return create_handle(driver_of(p.prefixed ? p.driver : drv::oka), info);
}

} // namespace

extern "C" __attribute__((visibility("default"))) const struct vfs_api vfs_api = {
    .vfs_eye = VFS_EYE,
    .vfs_vrm = VFS_VRM,
    .vfs_size = sizeof(struct vfs_api),
    .vfs_internals = &cached_internals,
    .organization = vfs_org_unk,
    .access = vfs_acc_unk,
    .vfs_non_native = 0,
    .vfs_vhrrn_known = 0,
    .vfs_vprev_safe = 0,
    .vfs_delete_safe = 0,
    .vfs_dio_all = 0,
    .vfs_dio_seq = 0,
    .vfs_resolve = vfs_op_resolve,
    .vfs_exists = vfs_op_exists,
    .vfs_rename = vfs_op_rename,
    .vfs_create = generic_create,
    .vfs_destroy = vfs_op_destroy,
    .vfs_open = generic_open,
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
