// The generic table, the only symbol the library exports, and name
// resolution.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vfs_core.h"
#include "vfs_table.h"

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

namespace
{

// What resolution found: the driver (null when none fits, why then says
// why), and whether the file's header names another driver than the prefix.
struct resolution {
    const driver *d = nullptr;
    bool mismatch = false;
    parsed_name p;
    std::string why;
};

// The driver a header names, or the reason it is not valid.
void from_header(resolution &r, const unsigned char *hdr, size_t n)
{
    layout l;
    error_detail e;
    if (!decode_header(hdr, n, l, e)) {
        r.why = error_text(e);
        return;
    }
    r.d = &driver_of(l.driver);
    r.mismatch = r.p.prefixed && r.p.driver != l.driver;
}

// A prefixed name without our header: its options must fit its driver.
void from_prefix(resolution &r)
{
    if (r.p.driver == drv::yar) {
        r.why = error_text(at_byte(e_no_header, VFS_ERROR));
        return;
    }
    layout l;
    error_detail e;
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    if (!driver_of(r.p.driver).settle(l, r.p.opts, r.p.opts.any(), info, false, e))
        r.why = error_text(e);
    else
        r.d = &driver_of(r.p.driver);
}

resolution resolve_name(const char *name)
{
    resolution r;
    std::string bad;
    if (!parse_name(name, r.p, bad)) {
        r.why = "unknown option " + bad;
        return r;
    }
    const driver &named = driver_of(r.p.prefixed ? r.p.driver : drv::oka);
    // Only a regular file with a size is looked into: opening a FIFO would
    // wait for a writer, a pipe or terminal gives its bytes to one reader
    // only, and a file without a size (/proc) is the driver's to judge.
    struct stat st;
    if (stat(r.p.path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size == 0))
        return r.d = &named, r;
    int fd = open(r.p.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) // the open that follows reports the system's reason
        return r.d = &named, r;
    unsigned char hdr[header_size];
    ssize_t n = r.p.opts.header == 0 ? 0 : pread(fd, hdr, sizeof hdr, 0);
    close(fd);
    if (n > 0 && has_magic(hdr, static_cast<size_t>(n)))
        from_header(r, hdr, static_cast<size_t>(n));
    else if (r.p.prefixed)
        from_prefix(r);
    else
        r.d = &named;
    return r;
}

} // namespace
} // namespace vfs

using namespace vfs;

/*
 * The driver of a name. The first two arguments (caller and context) are not
 * used. errno is 0 on success; a prefix that names another driver than the
 * file's header gives the header's driver with errno EBADF; null when no
 * driver fits, with *realname a short reason. For a prefixed name *realname
 * becomes the path after the first prefix, as it stands, for messages; the
 * driver's open takes the name itself, prefix and options included. All
 * texts are malloc'd and the caller's to free.
 */
extern "C" const struct vfs_api *vfs_op_resolve(const char *, const char *, const char *name,
                                                char **realname)
{
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    resolution r = resolve_name(name);
    const char *text = r.d == nullptr ? r.why.c_str() : nullptr;
    if (r.d != nullptr && r.p.prefixed && !r.mismatch)
        text = r.p.path.c_str();
    if (realname != nullptr && text != nullptr)
        *realname = strdup(text);
    // Cleared on success too: a caller's stale EBADF must not read as a mismatch.
    errno = r.d == nullptr ? EINVAL : r.mismatch ? EBADF : 0;
    return r.d != nullptr ? r.d->table : nullptr;
}

namespace
{

// Through the generic table a name is resolved, then its driver opens the
// path with the options just parsed.
vfs_file *generic_open(vfs_file_info *info)
{
    if (info == nullptr || info->fname == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    resolution r = resolve_name(info->fname);
    if (r.d == nullptr || r.mismatch) {
        errno = r.mismatch ? EBADF : EINVAL;
        return nullptr;
    }
    return open_parsed(*r.d, info, r.p);
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
        set_last_error(bad_option(bad.c_str()));
        return -1;
    }
    return create_parsed(driver_of(p.prefixed ? p.driver : drv::oka), info, p);
}

} // namespace

extern "C" __attribute__((visibility("default"))) constinit const struct vfs_api vfs_api =
    stamp_table({
        .eye = VFS_EYE,
        .organization = vfs_org_unk,
        .access = vfs_acc_unk,
        .dio_seq = false,
        .open = generic_open,
        .create = generic_create,
    });
