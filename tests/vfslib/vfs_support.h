// Helpers of the library's unit tests: scratch files, records written through
// vfs_create, and the three walks the program makes over an open file.
#ifndef VFS_SUPPORT_H
#define VFS_SUPPORT_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vfs_core.h"

namespace vfs_test
{

using strings = std::vector<std::string>;

class scratch : public ::testing::Test
{
  protected:
    std::string dir = std::filesystem::temp_directory_path() / "vfslib-XXXXXX";
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char *name) const { return dir + "/" + name; }
};

inline void put_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string get_file(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

inline std::string lib_text(vfs_file *fh, int err)
{
    static const uint32_t lookup = 1;
    auto n = static_cast<uint32_t>(err);
    return vfs_api.vfs_strerror(fh, n, &n, &lookup);
}

/* Writes records through vfs_create: "" or the library's text of the failure. */
inline std::string make(std::string name, const strings &recs)
{
    vfs_file_info info{};
    info.datlen = info.records = VFS_ERROR;
    info.fname = name.data();
    if (vfs_api.vfs_create(&info) != 0)
        return lib_text(nullptr, errno);
    std::string why;
    for (const auto &r : recs) {
        vfs_iovec iov{r.size(), const_cast<char *>(r.data())};
        if (why.empty() &&
            info.api->vfs_write(info.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, 0) != r.size())
            why = lib_text(info.fh, errno);
    }
    return info.api->vfs_close(info.fh, nullptr) == 0 || !why.empty() ? why
                                                                      : lib_text(nullptr, errno);
}

/* A file opened as the program opens it: resolved, opened by its driver's
 * table under the bare path, described. sizeless: read as a file the kernel
 * gives no size for (/proc, a device). */
struct opened {
    const struct vfs_api *api = nullptr;
    vfs_file *fh = nullptr;
    vfs_file_info info{};
    std::string real, why;
    explicit opened(const std::string &name, bool sizeless = false)
    {
        char *r = nullptr;
        api = vfs_api.vfs_resolve(nullptr, "vfs_cli", name.c_str(), &r);
        real = r != nullptr ? r : name;
        free(r);
        info.datlen = VFS_ERROR;
        info.fname = real.data();
        if (api == nullptr || (fh = api->vfs_open(&info)) == nullptr) {
            why = api == nullptr ? real : lib_text(nullptr, errno);
            return;
        }
        if (sizeless) {
            vfs::handle &h = *vfs::to_handle(fh);
            h.bound = VFS_ERROR;
            h.reach = 0;
            h.ended = false;
        }
        if (api->vfs_fstat(fh, &info) < 0)
            why = lib_text(fh, errno);
    }
    ~opened()
    {
        if (api != nullptr)
            api->vfs_close(fh, nullptr);
    }
};

/* What a walk delivered: records (or blocks), then the error text if any. */
struct walk {
    strings records;
    std::string error;
    int spanned = 0;
};

/* vfs_seek with each record taken from the cache buffer the cursor names
 * (through vfs_read when it spans buffers), as the cached copier does; or
 * vfs_read alone into a buffer that grows, as the line copier does. */
inline walk records(opened &o, bool by_seek)
{
    walk w;
    std::string buf(16, '\0');
    vfs_position pos = vfs_pos_first;
    for (bool fetch = !by_seek; w.records.size() < 1000000;) {
        vfs_iovec iov{buf.size(), buf.data()};
        auto op = fetch ? o.api->vfs_read : o.api->vfs_seek;
        uint64_t n = op(o.fh, &iov, 1, nullptr, nullptr, pos, 0);
        const vfs_cursor &c = o.fh->curr_csr;
        const vfs_buffer *b = o.fh->dcache.current;
        if (n == VFS_ERROR || (n == 0 && o.api->vfs_eof(o.fh) == 1))
            return w.error = n == 0 ? "" : lib_text(o.fh, errno), w;
        bool whole = b != nullptr && c.doffset >= b->offset && c.doffset + c.dlen <= b->bend;
        if (!fetch && (n != c.dlen + 1 || (!c.spanned && !whole)))
            return w.error = "cursor does not describe the record", w;
        // A record that spans buffers, or one longer than buf, is read (again)
        // into a buffer that holds it.
        if ((!fetch && c.spanned) || (fetch && n > buf.size())) {
            w.spanned += !fetch;
            buf.resize(std::max<size_t>(2 * buf.size(), c.dlen));
            fetch = true;
            pos = vfs_pos_curr;
            continue;
        }
        w.records.push_back(
            fetch ? buf.substr(0, n)
                  : std::string(reinterpret_cast<const char *>(b->buffer) + (c.doffset - b->offset),
                                c.dlen));
        fetch = !by_seek;
        pos = vfs_pos_next;
    }
    return w.error = "no end", w;
}

/* _cache_read block after block from the data offset, as the block copier
 * walks; then, as after a zero-copy, the read at data_offset + bytes that
 * confirms the end. */
inline walk blocks(opened &o)
{
    walk w;
    vfs_cursor c{};
    auto read = o.api->vfs_internals->_cache_read;
    for (c.roffset = o.fh->data_offset;; c.roffset += o.fh->dcache.current->buffsize) {
        if (read(o.fh, &c) < 0)
            return w.error = lib_text(o.fh, errno), w;
        const vfs_buffer *b = o.fh->dcache.current;
        if (b->total > 0)
            w.records.emplace_back(reinterpret_cast<const char *>(b->buffer), b->total);
        if (b->beof)
            break;
    }
    c.roffset = o.fh->data_offset + o.info.bytes;
    if (o.info.bytes != VFS_ERROR && (read(o.fh, &c) < 0 || o.fh->dcache.current->total != 0))
        w.error = "no end after the bytes fstat gave";
    return w;
}

} // namespace vfs_test

#endif
