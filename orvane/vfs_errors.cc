// Library error numbers and their texts.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "vfs_core.h"

namespace vfs
{

namespace
{

// Texts of the library's own errors; " at byte N" and a hint follow where known.
constexpr const char *texts[] = {
    "truncated record",
    "bad record descriptor word",
    "bad block descriptor word",
    "bad record length prefix",
    "record length beyond maximum",
    "truncated block",
    "key out of order",
    "record shorter than its key",
    "corrupt header",
    "short header",
    "no header",
    "record length unknown",
    "file is being written",
    "file is locked by a writer",
    "not a seekable file",
    "unknown option",
    "record contains a line end",
    "data beyond the counted records",
    "unknown code page",
    "not a single-byte code page",
    "conversion modules not installed for",
    "unusable conversion target",
    "no code page on line files: their lines end in 0x0A",
    "unconvertible character in record",
    "converted records with length words have no raw form",
    "file is being written: stopped before the incomplete record",
    "broken chain of segments",
    "records are in blocks",
    "file shorter than skip plus trailer",
    "trailer needs a file of known size",
};
static_assert(sizeof texts / sizeof texts[0] == e_last - e_first + 1);

thread_local error_detail last;

} // namespace

std::string error_text(const error_detail &e)
{
    if (e.code < e_first || e.code > e_last)
        return strerror(e.code);
    char buf[160];
    std::string s;
    switch (e.code) {
    case e_too_long:
        if (e.limit != 0) {
            snprintf(buf, sizeof buf, "record length %llu beyond maximum %llu",
                     (unsigned long long)e.length, (unsigned long long)e.limit);
            s = buf;
        } else {
            s = texts[e.code - e_first];
        }
        break;
    case e_header:
    case e_bad_option:
    case e_codepage:
    case e_multibyte:
    case e_no_modules:
    case e_bad_target:
        s = texts[e.code - e_first];
        if (!e.what.empty())
            s += (e.code == e_header ? ": " : " ") + e.what;
        break;
    default:
        s = texts[e.code - e_first];
    }
    if (e.offset != VFS_ERROR) {
        snprintf(buf, sizeof buf, " at byte %llu", (unsigned long long)e.offset);
        s += buf;
    }
    if (!e.hint.empty())
        s += " (the file reads as " + e.hint + ")";
    return s;
}

void set_last_error(const error_detail &e)
{
    last = e;
    errno = e.code;
}

const error_detail &last_error()
{
    return last;
}

uint64_t fail(handle &h, error_detail e)
{
    h.err = std::move(e);
    errno = h.err.code;
    return VFS_ERROR;
}

uint64_t unsupported64(vfs_file *, vfs_iovec *, uint64_t, vfs_rec_info *, const vfs_shlock *,
                       vfs_position, ...)
{
    errno = ENOTSUP;
    return VFS_ERROR;
}

int unsupported(vfs_file *, vfs_iovec *, uint64_t, vfs_rec_info *, const vfs_shlock *, vfs_position,
                ...)
{
    errno = ENOTSUP;
    return -1;
}

} // namespace vfs

/*
 * The text of errnum: a library error names the condition and, when the
 * handle (or the last failed open) knows it, the byte offset; anything else
 * is a system error. *out receives the number the caller should print.
 */
extern "C" const char *vfs_op_strerror(vfs_file *f, uint32_t errnum, uint32_t *out,
                                       const uint32_t *)
{
    static thread_local std::string text;
    if (out != nullptr)
        *out = errnum;
    int code = static_cast<int>(errnum);
    if (code < vfs::e_first || code > vfs::e_last)
        return strerror(code);
    vfs::error_detail e;
    if (f != nullptr && vfs::to_handle(f)->err.code == code)
        e = vfs::to_handle(f)->err;
    else if (f != nullptr && vfs::to_handle(f)->early_end.code == code)
        e = vfs::to_handle(f)->early_end;
    else if (vfs::last_error().code == code)
        e = vfs::last_error();
    else
        e.code = code;
    std::string &dst = f != nullptr ? vfs::to_handle(f)->err_text : text;
    dst = vfs::error_text(e);
    return dst.c_str();
}
