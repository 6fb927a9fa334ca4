#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "library_error.h"
#include "output.h"
#include "whole_write.h"
#include "libports.h"
#include "copiers.h"

namespace
{

/* Driver ids are compared over all 8 bytes, terminating NUL included. */
bool is_driver(const struct vfs_api *api, const char (&id)[8])
{
    return memcmp(api->vfs_eye, id, 8) == 0;
}

/* The id as a text that ends within its 8 bytes, whatever the table holds. */
struct driver_id {
    char text[9];
    explicit driver_id(const struct vfs_api *api)
    {
        memcpy(text, api->vfs_eye, 8);
        text[8] = '\0';
    }
};

/* The driver's settings on the run-wide description; they carry over to later names. */
void apply_driver_settings(const struct vfs_api *api, struct vfs_file_info *info)
{
    bool unset = reclen_unset(info->datlen);
    if (is_driver(api, "vfs_umb") && unset) {
        info->flags |= VFS_ZERO_COPY;
    } else if (is_driver(api, "vfs_tev") && unset) {
        info->flags |= VFS_ZERO_COPY;
        info->recfm = vfs_rec_variable;
    } else if (is_driver(api, "vfs_dox") && unset &&
               (info->recfm == vfs_rec_unk || info->recfm == vfs_rec_fixed)) {
        info->flags |= VFS_ZERO_COPY;
        info->recfm = vfs_rec_fixed;
    } else {
        info->flags &= ~VFS_ZERO_COPY;
    }
    if (is_driver(api, "vfs_yar")) {
        setenv("YAR_CACHE_OPTIMIZE_ENABLED", "1", 1);
        setenv("MERO_YAR_CACHE", "::ALLOW_DIRTY_READS", 1);
    }
}

/* Fixed records without a length: the raw bytes, then exactly one line end. */
int copy_fixed_raw(const struct vfs_api *api, struct vfs_file *fh, const struct vfs_file_info *real,
                   bool *newline_failed)
{
    static const char hint[] = "Specify record length (-l<reclen>) to get formatted output.\n";
    static_assert(sizeof hint - 1 == 60, "the hint is written as 60 bytes");
    fwrite(hint, 1, 60, stderr);
    int rc = read_buffer(api, fh, real);
    int err = errno;
    uint64_t done;
    if (write_whole("\n", 1, &done) < 0) {
        *newline_failed = true;
        return -1;
    }
    fh->dcache.bwrite += 1;
    file_size += 1;
    errno = err;
    return rc;
}

/*
 * Records converted from a code page change length, so length words copied
 * raw would no longer be true: such a file is only read as lines. Fixed
 * records without a record format asked for go raw, converted back to back.
 */
bool converted_raw_refused(const struct vfs_api *api, const struct vfs_file_info *real, bool asked)
{
    if ((real->flags & VFS_CONVERTED) == 0 || !is_driver(api, "vfs_umb") || asked ||
        real->recfm == vfs_rec_fixed)
        return false;
    fprintf(stderr, "Eh? Converted records keep no length words: read them as lines with -r v "
                    "or -l <reclen>\n");
    errno = ENOTSUP;
    return true;
}

/* Hands the open file to the copier that fits its driver and description. */
int dispatch(const struct vfs_api *api, struct vfs_file *fh, const struct vfs_file_info *real,
             bool asked, bool *newline_failed)
{
    if (is_driver(api, "vfs_umb") && (real->flags & VFS_CONVERTED) != 0 && asked)
        return read_linef(api, fh, real);
    if (is_driver(api, "vfs_umb") || is_driver(api, "vfs_tev"))
        return read_buffer(api, fh, real);
    if (is_driver(api, "vfs_dox")) {
        if (real->recfm == vfs_rec_fixed && reclen_unset(real->datlen))
            return copy_fixed_raw(api, fh, real, newline_failed);
        return read_linef(api, fh, real);
    }
    if (fh->dcache.count != 0 && !fh->non_native)
        return read_linef(api, fh, real);
    return read_lines(api, fh, real);
}

/*
 * Opens, describes and copies; asked: the run gave a record format or
 * length. 0 when copied, 1 reported, -1 newline lost or input refused.
 */
int open_and_copy(const struct vfs_api *api, const char *given, struct vfs_file_info *real,
                  bool asked, struct vfs_file **fh)
{
    *fh = api->vfs_open(real);
    if (*fh == nullptr) {
        report_library("Eh? Open read only failed %d:%s\n", api, nullptr, errno);
        return 1;
    }
    if (api->vfs_fstat(*fh, real) < 0) {
        report_library("Eh? vfs_fstat failed %d:%s\n", api, *fh, errno);
        return 1;
    }
    if (refuse_input_is_output((*fh)->fd, given) < 0)
        return -1;
    if (converted_raw_refused(api, real, asked))
        return 1;
    fflush(stdout);
    bool newline_failed = false;
    int rc = dispatch(api, *fh, real, asked, &newline_failed);
    if (newline_failed)
        return -1;
    if (rc < 0) {
        report_library("Eh? concat failed %d:%s\n", api, *fh, errno);
        return 1;
    }
    return 0;
}

} // namespace

int concat_vfs(const struct vfs_api *api, const char *given, struct vfs_file_info *file_info)
{
    apply_driver_settings(api, file_info);
    bool asked = !reclen_unset(file_info->datlen) || file_info->recfm != vfs_rec_unk;
    struct vfs_file_info file_real = *file_info;
    struct vfs_file *fh = nullptr;
    int exitrc = open_and_copy(api, given, &file_real, asked, &fh);
    if (exitrc < 0) {
        int err = errno;
        api->vfs_close(fh, nullptr);
        errno = err;
        return exitrc;
    }
    trim_stdout();
    if (api->vfs_close(fh, nullptr) < 0) {
        // The handle may already be gone: its text is asked for without it.
        report_library("Eh? close failed %d:%s\n", api, nullptr, errno);
        exitrc = 1;
    }
    return exitrc;
}

int concat_file(char *filename, struct vfs_file_info *file_info)
{
    if (verbose)
        fprintf(stderr, "Resolving... %s\n", filename);
    char *realname = nullptr;
    // A stale EBADF from an earlier call must not read as a mismatch.
    errno = 0;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfs_cli", filename, &realname);
    if (api == nullptr) {
        // Without a resolved name, the library's reason is the more useful text.
        const char *why = realname ? realname : errno ? strerror(errno) : "";
        fprintf(stderr, "Eh? No detectable file system for %s:%s\n", filename, why);
        exit(2);
    }
    if (errno == EBADF) {
        fprintf(stderr, "Eh? File system missmatch (%s)  %d:%s\n", driver_id(api).text, errno,
                strerror(EBADF));
        exit(2);
    }
    char given[1024];
    strlcpy(given, filename, sizeof given);
    if (realname != nullptr && realname != filename) {
        size_t len = strlcpy(filename, realname, 1024);
        free(realname);
        if (len >= 1024) {
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    if (verbose)
        fprintf(stderr, "Concatenating file %s-%s\n", driver_id(api).text, filename);
    if (is_driver(api, "vfs_oka"))
        return concat_stream(filename, given);
    return concat_vfs(api, given, file_info);
}
