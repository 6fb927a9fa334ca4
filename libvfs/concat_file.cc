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
#include "errno_keeper.h"

namespace
{

/* The drivers the program treats apart, told by the table's id. */
enum class driver_kind { oka, umb, tev, dox, yar, other };

/* Ids are compared over all 8 bytes, terminating NUL included. */
driver_kind kind_of(const struct vfs_api *api)
{
    static const struct {
        char id[8];
        driver_kind kind;
    } ids[] = {{"vfs_oka", driver_kind::oka},
               {"vfs_umb", driver_kind::umb},
               {"vfs_tev", driver_kind::tev},
               {"vfs_dox", driver_kind::dox},
               {"vfs_yar", driver_kind::yar}};
    for (const auto &e : ids)
        if (memcmp(api->vfs_eye, e.id, sizeof e.id) == 0)
            return e.kind;
    return driver_kind::other;
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

/* The driver's settings on one operand's description, which starts as the command line left it. */
void apply_driver_settings(driver_kind kind, struct vfs_file_info *info)
{
    bool unset = reclen_unset(info->datlen);
    if (kind == driver_kind::umb && unset) {
        info->flags |= VFS_ZERO_COPY;
    } else if (kind == driver_kind::tev && unset) {
        info->flags |= VFS_ZERO_COPY;
        info->recfm = vfs_rec_variable;
    } else if (kind == driver_kind::dox && unset &&
               (info->recfm == vfs_rec_unk || info->recfm == vfs_rec_fixed)) {
        info->flags |= VFS_ZERO_COPY;
        info->recfm = vfs_rec_fixed;
    } else {
        info->flags &= ~VFS_ZERO_COPY;
    }
    if (kind == driver_kind::yar) {
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
bool converted_raw_refused(driver_kind kind, const struct vfs_file_info *real, bool as_lines)
{
    if ((real->flags & VFS_CONVERTED) == 0 || kind != driver_kind::umb || as_lines ||
        real->recfm == vfs_rec_fixed)
        return false;
    fprintf(stderr, "Eh? Converted records keep no length words: read them as lines with -r v "
                    "or -l <reclen>\n");
    errno = ENOTSUP;
    return true;
}

/*
 * Hands the open file to the copier that fits its driver and description.
 * A record-sequential file is copied raw unless the command line asked for
 * records (-r or -l): then, as every other record file, it is printed as lines.
 */
int dispatch(const struct vfs_api *api, driver_kind kind, struct vfs_file *fh,
             const struct vfs_file_info *real, bool as_lines, bool *newline_failed)
{
    if (kind == driver_kind::umb && as_lines)
        return read_linef(api, fh, real);
    if (kind == driver_kind::umb || kind == driver_kind::tev)
        return read_buffer(api, fh, real);
    if (kind == driver_kind::dox) {
        if (real->recfm == vfs_rec_fixed && reclen_unset(real->datlen))
            return copy_fixed_raw(api, fh, real, newline_failed);
        return read_linef(api, fh, real);
    }
    if (fh->dcache.count != 0 && !fh->non_native)
        return read_linef(api, fh, real);
    return read_lines(api, fh, real);
}

/* One record file's copy: its driver (told apart once), the name as given,
 * and whether the command line gave a record format or length. */
struct record_copy {
    const struct vfs_api *api;
    driver_kind kind;
    const char *given;
    bool as_lines;
};

/* The driver's open parses the name as given again; the copiers name the path. */
struct vfs_file *open_given(const record_copy &c, struct vfs_file_info *real)
{
    char *path = real->fname;
    real->fname = const_cast<char *>(c.given); // the open only reads it
    struct vfs_file *fh = c.api->vfs_open(real);
    real->fname = path;
    return fh;
}

/*
 * A keyed file whose writer has not finished is read up to its last complete
 * record. When the library stopped before a cut one, the copy lacks bytes
 * the file holds: that is said, and the run ends with status 2.
 */
int report_early_end(const record_copy &c, struct vfs_file *fh)
{
    if (fh->dcache.cerrno == 0)
        return 0;
    uint32_t number = fh->dcache.cerrno;
    const char *text = c.api->vfs_strerror(fh, number, &number, &lookup);
    fprintf(stderr, "%s: %s\n", c.given, text ? text : "");
    return CONCAT_STOP;
}

/* Opens, describes and copies: 0 when copied, CONCAT_STOP, or -1 with errno. */
int open_and_copy(const record_copy &c, struct vfs_file_info *real, struct vfs_file **fh)
{
    *fh = open_given(c, real);
    if (*fh == nullptr) {
        report_library("Eh? Open read only failed %d:%s\n", c.api, nullptr, errno);
        return -1;
    }
    if (c.api->vfs_fstat(*fh, real) < 0) {
        report_library("Eh? vfs_fstat failed %d:%s\n", c.api, *fh, errno);
        return -1;
    }
    if (refuse_input_is_output((*fh)->fd, c.given) < 0 ||
        converted_raw_refused(c.kind, real, c.as_lines))
        return -1;
    fflush(stdout);
    bool newline_failed = false;
    int rc = dispatch(c.api, c.kind, *fh, real, c.as_lines, &newline_failed);
    if (rc == CONCAT_STOP)
        return rc;
    if (newline_failed)
        return -1;
    if (rc < 0) {
        report_library("Eh? concat failed %d:%s\n", c.api, *fh, errno);
        return -1;
    }
    return report_early_end(c, *fh);
}

int copy_records(const struct vfs_api *api, driver_kind kind, const char *given,
                 const struct vfs_file_info *command_line)
{
    struct vfs_file_info real = *command_line;
    apply_driver_settings(kind, &real);
    bool as_lines = !reclen_unset(command_line->datlen) || command_line->recfm != vfs_rec_unk;
    const record_copy c = {api, kind, given, as_lines};
    struct vfs_file *fh = nullptr;
    int rc = open_and_copy(c, &real, &fh);
    sync_output();
    if (rc != 0) {
        // The failure that ended the copy is the one the closing line names.
        errno_keeper keep;
        api->vfs_close(fh, nullptr);
        return rc;
    }
    if (api->vfs_close(fh, nullptr) < 0) {
        // The handle may already be gone: its text is asked for without it.
        report_library("Eh? close failed %d:%s\n", api, nullptr, errno);
        return -1;
    }
    return 0;
}

/* Why a name has no driver to copy it; the run ends after it. err: errno of the resolution. */
int report_unresolved(const char *filename, const struct vfs_api *api, const char *realname,
                      int err)
{
    if (api == nullptr) {
        // Without a resolved name, the library's reason is the more useful text.
        const char *why = realname ? realname : err ? strerror(err) : "";
        fprintf(stderr, "Eh? No detectable file system for %s:%s\n", filename, why);
    } else {
        // The line names the driver; the file is named before it.
        name_operand("the header names another driver");
        fprintf(stderr, "Eh? File system missmatch (%s)  %d:%s\n", driver_id(api).text, err,
                strerror(err));
    }
    return CONCAT_STOP;
}

/* The path after a prefix replaces the name, for the messages and the stream copier. */
bool take_path(char *filename, char *realname)
{
    if (realname == nullptr)
        return true;
    size_t len = strlcpy(filename, realname, 1024);
    free(realname);
    if (len < 1024)
        return true;
    errno = ENAMETOOLONG;
    return false;
}

/* -l and -r mean nothing to a byte stream: the first plain name they meet
 * says how to read it as a record file. */
void hint_record_option(const char *given, const struct vfs_file_info *command_line)
{
    static bool hinted;
    const char *option = !reclen_unset(command_line->datlen)  ? "-l"
                         : command_line->recfm != vfs_rec_unk ? "-r"
                                                              : nullptr;
    if (option == nullptr || hinted)
        return;
    hinted = true;
    fprintf(stderr, "%s: %s applies to record files: name the driver, as dox:%s\n", program_name,
            option, given);
}

} // namespace

int concat_vfs(const struct vfs_api *api, const char *given, const struct vfs_file_info *file_info)
{
    return copy_records(api, kind_of(api), given, file_info);
}

int concat_file(char *filename, const struct vfs_file_info *file_info)
{
    if (verbose)
        fprintf(stderr, "Resolving... %s\n", filename);
    char *realname = nullptr;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfs_cli", filename, &realname);
    if (api == nullptr || errno == EBADF) {
        int rc = report_unresolved(filename, api, realname, errno);
        free(realname);
        return rc;
    }
    char given[1024];
    strlcpy(given, filename, sizeof given);
    if (!take_path(filename, realname))
        return -1;
    driver_kind kind = kind_of(api);
    if (verbose)
        fprintf(stderr, "Concatenating file %s-%s\n", driver_id(api).text, filename);
    if (kind == driver_kind::oka) {
        int rc = concat_stream(filename, given);
        if (rc == 0 && strcmp(given, filename) == 0) // a byte stream no prefix named
            hint_record_option(given, file_info);
        return rc;
    }
    return copy_records(api, kind, given, file_info);
}
