// Structured file server files: always behind our header; each record is a
// 4-byte length in the file's byte order, then the data; records ascend by
// key (keylen bytes at keypos, or the whole record when keylen is 0;
// equal keys may repeat). A file written on a machine of the other byte
// order opens with non_native set.
//
// Two environment variables change how a file is opened for reading:
//   YAR_CACHE_OPTIMIZE_ENABLED=1  four 1 MiB cache buffers and sequential
//                                 read-ahead advice, instead of two of 64 KiB
//   MERO_YAR_CACHE containing ALLOW_DIRTY_READS
//                                 no shared lock is taken, and a file whose
//                                 writer has not finished is read up to its
//                                 last complete record instead of refused
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>

#include <algorithm>

#include "vfs_core.h"
#include "vfs_table.h"

namespace vfs
{

namespace
{

constexpr uint64_t length_size = 4;

bool settle(layout &l, const prefix_options &o, bool, const vfs_file_info &info, bool for_write,
            error_detail &e)
{
    if (!refuse_queued_options(o, e))
        return false;
    if (o.varfmt_given)
        return e = bad_option("varfmt", o.varfmt), false;
    if (o.header == 0)
        return e = bad_option("noheader"), false;
    l.driver = drv::yar;
    bool fixed = o.recfm_given ? o.recfm == 'f' : info.recfm == vfs_rec_fixed;
    l.recfm = fixed ? vfs_rec_fixed : vfs_rec_variable;
    l.lrecl = o.lrecl_given ? o.lrecl : info_lrecl(info);
    l.keypos = o.keypos;
    l.keylen = o.keylen;
    settle_header(l, o, for_write, info);
    l.header = true;
    if (l.lrecl > record_max)
        return e = too_long(l.lrecl, record_max, VFS_ERROR), false;
    if (fixed && l.lrecl == 0)
        return e = at_byte(e_no_lrecl, VFS_ERROR), false;
    if (fixed && l.keylen != 0 && l.keypos + l.keylen > l.lrecl)
        return e = bad_option("keypos", l.keypos), false;
    return true;
}

bool env_has(const char *name, const char *word)
{
    const char *v = getenv(name);
    return v != nullptr && strstr(v, word) != nullptr;
}

bool opened(handle &h, error_detail &e)
{
    if (h.writing) {
        if (flock(h.file.fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        return e = at_byte(e_locked, VFS_ERROR), false;
    }
    const char *opt = getenv("YAR_CACHE_OPTIMIZE_ENABLED");
    if (opt != nullptr && strcmp(opt, "1") == 0) {
        h.cache_bytes = 1024 * 1024;
        h.cache_count = 4;
        posix_fadvise(h.file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    } else {
        h.cache_bytes = 64 * 1024;
        h.cache_count = 2;
    }
    h.dirty_reads = env_has("MERO_YAR_CACHE", "ALLOW_DIRTY_READS");
    if (h.dirty_reads)
        return true;
    if (flock(h.file.fd, LOCK_SH | LOCK_NB) != 0)
        return e = at_byte(e_locked, VFS_ERROR), false;
    if (h.lay.being_written)
        return e = at_byte(e_being_written, VFS_ERROR), false;
    return true;
}

uint64_t get_len(const layout &l, const unsigned char *b)
{
    return l.big_endian ? get_be(b, length_size) : get_le(b, length_size);
}

// The key of a record as ordering sees it; a whole-record key is compared on
// its first VFS_KEYLEN_MAX bytes, which ascend whenever the records do.
bool key_of(handle &h, uint64_t doffset, uint64_t dlen, std::string &key)
{
    uint64_t pos = h.lay.keylen != 0 ? h.lay.keypos : 0;
    uint32_t len = h.lay.keylen != 0
                       ? h.lay.keylen
                       : static_cast<uint32_t>(std::min<uint64_t>(dlen, VFS_KEYLEN_MAX));
    key.resize(len);
    return len == 0 || cache_copy(h, doffset + pos, key.data(), len);
}

/*
 * A dirty read of a file whose writer has not finished ends before a record
 * the writer has only begun; the program learns it from the cache's cerrno.
 */
step stop_before(handle &h, uint64_t at)
{
    h.early_end = at_byte(e_incomplete, at);
    h.file.dcache.cerrno = e_incomplete;
    return step::end;
}

step next(handle &h, uint64_t at, bool, record_place &r)
{
    const layout &l = h.lay;
    // A writer that has not finished may have written part of a record.
    bool partial_ok = h.dirty_reads && l.being_written;
    uint64_t have = cache_span(h, at, length_size);
    if (have == VFS_ERROR)
        return step::error;
    if (have == 0)
        return step::end;
    unsigned char b[length_size];
    if (have < length_size)
        return partial_ok ? stop_before(h, at) : (fail(h, at_byte(e_truncated, at)), step::error);
    if (!cache_copy(h, at, b, length_size))
        return step::error;
    uint64_t len = get_len(l, b);
    uint64_t max = l.lrecl != 0 ? l.lrecl : record_max;
    if (len > max)
        return fail(h, too_long(len, max, at)), step::error;
    if (l.recfm == vfs_rec_fixed && len != l.lrecl)
        return fail(h, at_byte(e_bad_prefix, at)), step::error;
    have = cache_span(h, at + length_size, len);
    if (have == VFS_ERROR)
        return step::error;
    if (have < len)
        return partial_ok ? stop_before(h, at) : (fail(h, at_byte(e_truncated, at)), step::error);
    if (l.keylen != 0 && len < uint64_t{l.keypos} + l.keylen)
        return fail(h, at_byte(e_short_key, at)), step::error;
    std::string key;
    if (!key_of(h, at + length_size, len, key))
        return step::error;
    if (key < h.last_key)
        return fail(h, at_byte(e_key_order, at)), step::error;
    h.last_key = std::move(key);
    r = {at, at + length_size, len, length_size + len};
    return step::record;
}

bool put(handle &h, const unsigned char *data, uint64_t len)
{
    const layout &l = h.lay;
    uint64_t at = h.woffset + h.wfill;
    // Record lengths here fit size_t: vfs_write took only such, and lrecl is
    // within record_max.
    if (l.recfm == vfs_rec_fixed && len < l.lrecl) {
        std::string padded(reinterpret_cast<const char *>(data), static_cast<size_t>(len));
        padded.resize(static_cast<size_t>(l.lrecl), static_cast<char>(l.pad));
        return put(h, reinterpret_cast<const unsigned char *>(padded.data()), l.lrecl);
    }
    if (l.lrecl != 0 && len > l.lrecl)
        return fail(h, too_long(len, l.lrecl, VFS_ERROR)), false;
    if (l.keylen != 0 && len < uint64_t{l.keypos} + l.keylen)
        return fail(h, at_byte(e_short_key, at)), false;
    size_t pos = l.keylen != 0 ? l.keypos : 0;
    size_t klen =
        l.keylen != 0 ? l.keylen : static_cast<size_t>(std::min<uint64_t>(len, VFS_KEYLEN_MAX));
    std::string key(reinterpret_cast<const char *>(data) + pos, klen);
    if (key < h.last_key)
        return fail(h, at_byte(e_key_order, at)), false;
    unsigned char b[length_size];
    l.big_endian ? put_be(b, length_size, len) : put_le(b, length_size, len);
    if (!emit(h, b, sizeof b) || !emit(h, data, len))
        return false;
    h.last_key = std::move(key);
    return true;
}

} // namespace

constinit const struct vfs_api table = driver_table<yar_driver>("vfs_yar", vfs_org_indexed);
const driver yar_driver = {
    .id = drv::yar, .table = &table, .settle = settle, .next = next, .put = put, .opened = opened};

} // namespace vfs
