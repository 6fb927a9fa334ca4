/*
 * What every fuzz target shares: a scratch file that holds the input, the
 * program's way of opening a named file through the library, and the three
 * walks the copiers make over an open file (records through vfs_seek and
 * the cache, records through vfs_read, raw blocks through _cache_read).
 *
 * Only the public interface is used, so the targets survive changes inside
 * the library. Where the program trusts the library (a cache buffer that
 * holds a record whole, a walk that ends), the walks check that trust and
 * trap when it is broken: the program would crash or spin on such a file.
 */
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vfs_api.h"
#include "vfs_internal.h"

namespace fuzz
{

/* Longest record buffer a walk grows to; the program would go on doubling
 * until malloc fails, which proves nothing here but costs time. */
inline constexpr uint64_t max_record_buffer = 1u << 24;

inline volatile uint64_t sink;

/* Record buffers come from malloc, of the exact size asked: the program's
 * aligned_alloc of datlen + 1 bytes is not a multiple of its alignment,
 * which AddressSanitizer rejects, and an exact size lets it see a library
 * write one byte past the end. */

/* Reads every byte, so that AddressSanitizer sees a range that is not all
 * inside its allocation. */
inline void touch(const void *p, uint64_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    uint64_t sum = 0;
    for (uint64_t i = 0; i < n; i++)
        sum += b[i];
    sink = sink + sum;
}

[[noreturn]] inline void broken(const char *what)
{
    fprintf(stderr, "library contract broken: %s\n", what);
    __builtin_trap();
}

/* The input as a file that the library can open by name. */
class scratch_file
{
  public:
    scratch_file()
    {
        const char *dir = getenv("FUZZ_SCRATCH");
        path_ = std::string(dir ? dir : "/dev/shm") + "/tandro-fuzz-" + std::to_string(getpid());
    }
    ~scratch_file() { unlink(path_.c_str()); }
    const std::string &fill(const uint8_t *data, size_t size)
    {
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) {
            perror(path_.c_str());
            abort();
        }
        while (size > 0) {
            ssize_t n = write(fd, data, size);
            if (n <= 0) {
                perror(path_.c_str());
                abort();
            }
            data += n;
            size -= n;
        }
        close(fd);
        return path_;
    }

  private:
    std::string path_;
};

inline scratch_file &scratch()
{
    static scratch_file file;
    return file;
}

inline bool is_driver(const struct vfs_api *api, const char *id)
{
    return memcmp(api->vfs_eye, id, 8) == 0;
}

inline bool length_unset(uint64_t datlen)
{
    return datlen == 0 || datlen == VFS_ERROR;
}

inline const uint32_t lookup = 1;

/* Asks the library for the text of the error the last call left, as the
 * program does before it prints it. */
inline void error_text(const struct vfs_api *api, vfs_file *fh)
{
    uint32_t errnum = errno;
    const char *text = api->vfs_strerror(fh, errnum, &errnum, &lookup);
    if (text)
        touch(text, strlen(text));
}

/* The walk of the cached record copier: vfs_seek, then the record straight
 * from the current cache buffer, or through vfs_read when it is not whole
 * there. */
inline void seek_walk(const struct vfs_api *api, vfs_file *fh, const vfs_file_info &info,
                      size_t size)
{
    vfs_iovec iov{length_unset(info.datlen) ? 4096 : info.datlen + 1, nullptr};
    if (iov.length > max_record_buffer)
        return;
    iov.ptr = malloc(iov.length);
    vfs_position pos = vfs_pos_first;
    int espipe = 0;
    /* Every record takes at least one byte of the file. */
    for (size_t records = 0;; records++) {
        if (records > size + 16)
            broken("vfs_seek walk does not end");
        uint64_t n = api->vfs_seek(fh, &iov, 1, nullptr, nullptr, pos, (uint64_t)0);
        if (n == VFS_ERROR) {
            if (errno == ESPIPE && ++espipe < 16) {
                pos = vfs_pos_next;
                continue;
            }
            error_text(api, fh);
            break;
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            break;
        pos = vfs_pos_next;
        const vfs_cursor &c = fh->curr_csr;
        const vfs_buffer *b = fh->dcache.current;
        if (!c.spanned && b == nullptr)
            broken("vfs_seek left no current cache buffer");
        if (!c.spanned && c.doffset + c.dlen <= b->bend) {
            if (c.doffset < b->offset)
                broken("record starts before the current cache buffer");
            touch(b->buffer + (c.doffset - b->offset), c.dlen);
            continue;
        }
        for (;;) {
            n = api->vfs_read(fh, &iov, 1, nullptr, nullptr, vfs_pos_curr, (uint64_t)0);
            if (n == VFS_ERROR || n <= iov.length)
                break;
            free(iov.ptr);
            iov.ptr = nullptr;
            if (iov.length * 2 > max_record_buffer)
                return;
            iov.length *= 2;
            iov.ptr = malloc(iov.length);
        }
        if (n == VFS_ERROR) {
            error_text(api, fh);
            break;
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            break;
        touch(iov.ptr, n);
    }
    free(iov.ptr);
}

/* The walk of the line-buffered record copier: vfs_read record after
 * record into a buffer that grows. */
inline void read_walk(const struct vfs_api *api, vfs_file *fh, const vfs_file_info &info,
                      size_t size)
{
    vfs_iovec iov{length_unset(info.datlen) ? 4096 : info.datlen + 1, nullptr};
    if (iov.length > max_record_buffer)
        return;
    iov.ptr = malloc(iov.length);
    vfs_position pos = vfs_pos_first;
    int espipe = 0;
    for (size_t records = 0;;) {
        uint64_t n = api->vfs_read(fh, &iov, 1, nullptr, nullptr, pos, (uint64_t)0);
        if (n == VFS_ERROR) {
            if (errno == ESPIPE && ++espipe < 16) {
                pos = vfs_pos_next;
                continue;
            }
            error_text(api, fh);
            break;
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            break;
        if (n > iov.length) {
            free(iov.ptr);
            iov.ptr = nullptr;
            if (iov.length * 2 > max_record_buffer)
                return;
            iov.length *= 2;
            iov.ptr = malloc(iov.length);
            pos = vfs_pos_curr;
            continue;
        }
        touch(iov.ptr, n);
        if (++records > size + 16)
            broken("vfs_read walk does not end");
        pos = vfs_pos_next;
    }
    free(iov.ptr);
}

/* The walk of the block copier: _cache_read block after block until the
 * block that holds the end of the file. */
inline void cache_walk(const struct vfs_api *api, vfs_file *fh, size_t size)
{
    if (api->vfs_internals == nullptr || api->vfs_internals->_cache_read == nullptr)
        return;
    vfs_cursor cursor{};
    cursor.roffset = fh->data_offset;
    for (size_t blocks = 0;; blocks++) {
        if (api->vfs_internals->_cache_read(reinterpret_cast<vfs_file *>(&fh->dcache), &cursor) <
            0) {
            error_text(api, fh);
            return;
        }
        const vfs_buffer *b = fh->dcache.current;
        if (b == nullptr)
            broken("_cache_read left no current cache buffer");
        if (b->buffsize == 0)
            broken("cache buffer of size 0: the block walk would not move");
        if (b->total > b->buffsize)
            broken("cache buffer holds more than its size");
        touch(b->buffer, b->total);
        if (b->beof)
            return;
        if (blocks > size / b->buffsize + 2)
            broken("block walk passes the end of the file without beof");
        cursor.roffset += b->buffsize;
    }
}

/* How a target opens and walks the file; taken from the input's first byte. */
struct mode {
    enum walk_kind { dispatch, seek, read, cache } walk;
    uint64_t datlen;
    vfs_recformat recfm;
};

inline mode take_mode(const uint8_t *&data, size_t &size)
{
    static constexpr uint64_t lengths[8] = {VFS_ERROR, 0, 1, 7, 80, 255, 4096, 3};
    static constexpr vfs_recformat formats[4] = {vfs_rec_unk, vfs_rec_fixed, vfs_rec_variable,
                                                 vfs_rec_unk};
    uint8_t m = 0;
    if (size > 0) {
        m = data[0];
        data++;
        size--;
    }
    return {static_cast<mode::walk_kind>(m & 3), lengths[(m >> 2) & 7], formats[(m >> 5) & 3]};
}

/* Opens `name` the way the program does, walks it as `m` says, closes it. */
inline void open_and_walk(const char *name, const mode &m, size_t size)
{
    static char filename[1024];
    snprintf(filename, sizeof filename, "%s", name);
    char *realname = nullptr;
    errno = 0;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfs_cli", filename, &realname);
    if (realname != nullptr && realname != filename) {
        snprintf(filename, sizeof filename, "%s", realname);
        free(realname);
    }
    if (api == nullptr || errno == EBADF || is_driver(api, "vfs_oka"))
        return;

    static vfs_shlock shlock;
    vfs_file_info info{};
    info.min_datlen = VFS_ERROR;
    info.datlen = m.datlen;
    info.fhandle = "vfs_cli";
    info.fname = filename;
    info.shlock = &shlock;
    info.phy_org = info.log_org = vfs_org_sequential;
    info.access = vfs_acc_sequential;
    info.recfm = m.recfm;
    bool unset = length_unset(info.datlen);
    if ((is_driver(api, "vfs_umb") || is_driver(api, "vfs_tev")) && unset) {
        info.flags |= VFS_ZERO_COPY;
        if (is_driver(api, "vfs_tev"))
            info.recfm = vfs_rec_variable;
    } else if (is_driver(api, "vfs_dox") && unset &&
               (info.recfm == vfs_rec_unk || info.recfm == vfs_rec_fixed)) {
        info.flags |= VFS_ZERO_COPY;
        info.recfm = vfs_rec_fixed;
    }

    vfs_file_info real = info;
    vfs_file *fh = api->vfs_open(&real);
    if (fh == nullptr) {
        error_text(api, nullptr);
    } else if (api->vfs_fstat(fh, &real) < 0) {
        error_text(api, fh);
    } else {
        mode::walk_kind walk = m.walk;
        if (walk == mode::dispatch) {
            if (is_driver(api, "vfs_umb") || is_driver(api, "vfs_tev"))
                walk = mode::cache;
            else if (is_driver(api, "vfs_dox"))
                walk = real.recfm == vfs_rec_fixed && length_unset(real.datlen) ? mode::cache
                                                                                : mode::seek;
            else
                walk = fh->dcache.count != 0 && !fh->non_native ? mode::seek : mode::read;
        }
        if (walk == mode::seek)
            seek_walk(api, fh, real, size);
        else if (walk == mode::read)
            read_walk(api, fh, real, size);
        else
            cache_walk(api, fh, size);
    }
    if (api->vfs_close(fh, nullptr) < 0)
        error_text(api, nullptr);
}

/* A target over one family of layouts: the input's first byte picks one of
 * `prefixes` (when there are several), the next byte the walk, the record
 * length and format (take_mode), and the rest is the file. */
template <size_t N>
inline int file_target(const char *const (&prefixes)[N], const uint8_t *data, size_t size)
{
    size_t which = 0;
    if (N > 1 && size > 0) {
        which = data[0] % N;
        data++;
        size--;
    }
    mode m = take_mode(data, size);
    std::string name = std::string(prefixes[which]) + scratch().fill(data, size);
    open_and_walk(name.c_str(), m, size);
    return 0;
}

} // namespace fuzz

#endif
