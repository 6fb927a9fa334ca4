// Helpers of the library's unit tests: scratch files, writing records
// through vfs_create, and walking a file the two ways the program does.
#ifndef VFS_SUPPORT_H
#define VFS_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vfs_api.h"
#include "vfs_core.h"
#include "vfs_internal.h"

namespace vfs_test
{

inline const uint32_t lookup = 1;

class scratch : public ::testing::Test
{
  protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/vfslib-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char *name) const { return dir + "/" + name; }
};

inline void put_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    ASSERT_TRUE(out.good()) << path;
}

inline std::string get_file(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

inline vfs_file_info blank_info(std::string &name)
{
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    info.fname = name.data();
    return info;
}

inline std::string lib_text(vfs_file *fh, int err)
{
    uint32_t n = static_cast<uint32_t>(err);
    return vfs_api.vfs_strerror(fh, n, &n, &lookup);
}

/* Writes records through vfs_create; "" or the library's text of the failure. */
inline std::string make(std::string name, const std::vector<std::string> &recs)
{
    vfs_file_info info = blank_info(name);
    if (vfs_api.vfs_create(&info) != 0)
        return lib_text(nullptr, errno);
    for (const auto &r : recs) {
        vfs_iovec iov{r.size(), const_cast<char *>(r.data())};
        if (info.api->vfs_write(info.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, UINT64_C(0)) !=
            r.size()) {
            std::string why = lib_text(info.fh, errno);
            info.api->vfs_close(info.fh, nullptr);
            return why;
        }
    }
    return info.api->vfs_close(info.fh, &info) == 0 ? "" : lib_text(nullptr, errno);
}

/* What a walk over a file delivered: its records, then the error text if any. */
struct walk {
    std::vector<std::string> records;
    std::string error;
    std::vector<bool> spanned;
};

/* An open file as the program holds it. */
struct opened {
    const struct vfs_api *api = nullptr;
    vfs_file *fh = nullptr;
    vfs_file_info info{};
    std::string name;
    std::string why; /* resolve or open failure */
    explicit opened(const std::string &n, uint64_t datlen = VFS_ERROR,
                    vfs_recformat recfm = vfs_rec_unk)
    {
        char *real = nullptr;
        errno = 0;
        api = vfs_api.vfs_resolve(nullptr, "vfs_cli", n.c_str(), &real);
        name = real != nullptr ? real : n;
        if (api == nullptr)
            why = real != nullptr ? real : "no driver";
        free(real);
        if (api == nullptr)
            return;
        info = blank_info(name);
        info.datlen = datlen;
        info.recfm = recfm;
        fh = api->vfs_open(&info);
        if (fh == nullptr)
            why = lib_text(nullptr, errno);
        else if (api->vfs_fstat(fh, &info) < 0)
            why = "fstat: " + lib_text(fh, errno);
    }
    ~opened()
    {
        if (api != nullptr)
            api->vfs_close(fh, nullptr);
    }
    opened(const opened &) = delete;
    opened &operator=(const opened &) = delete;
};

/* Walks with vfs_seek and takes each record from the cache buffer, as the cached copier does. */
inline walk seek_walk(opened &o)
{
    walk w;
    auto fail = [&w](std::string why) {
        w.error = std::move(why);
        return w;
    };
    vfs_iovec iov{0, nullptr};
    vfs_position pos = vfs_pos_first;
    for (int guard = 0; guard < 1000000; guard++, pos = vfs_pos_next) {
        uint64_t n = o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, pos, UINT64_C(0));
        if (n == VFS_ERROR)
            return fail(lib_text(o.fh, errno));
        if (n == 0)
            return o.api->vfs_eof(o.fh) == 1 ? w : fail("seek returned 0 short of the end");
        const vfs_cursor &c = o.fh->curr_csr;
        const vfs_buffer *b = o.fh->dcache.current;
        if (n != c.dlen + 1 || b == nullptr || c.doffset < b->offset || c.doffset > b->bend)
            return fail("cursor does not describe the record");
        std::string rec(c.dlen, '\0');
        vfs_iovec r{rec.size(), rec.data()};
        if (!c.spanned && c.doffset + c.dlen > b->bend)
            return fail("unspanned record runs past its buffer");
        if (!c.spanned)
            rec.assign(reinterpret_cast<const char *>(b->buffer) + (c.doffset - b->offset), c.dlen);
        else if (o.api->vfs_read(o.fh, &r, 1, nullptr, nullptr, vfs_pos_curr, UINT64_C(0)) !=
                 c.dlen)
            return fail("read of a spanned record failed");
        w.records.push_back(rec);
        w.spanned.push_back(c.spanned);
    }
    return fail("no end");
}

/* Walks with vfs_read into a small buffer that grows, as the line copier does. */
inline walk read_walk(opened &o)
{
    walk w;
    std::string buf(16, '\0');
    vfs_position pos = vfs_pos_first;
    for (int guard = 0; guard < 1000000; guard++) {
        vfs_iovec iov{buf.size(), buf.data()};
        uint64_t n = o.api->vfs_read(o.fh, &iov, 1, nullptr, nullptr, pos, UINT64_C(0));
        if (n == VFS_ERROR) {
            w.error = lib_text(o.fh, errno);
            return w;
        }
        if (n == 0 && o.api->vfs_eof(o.fh) == 1)
            return w;
        if (n > buf.size()) {
            buf.resize(buf.size() * 2);
            pos = vfs_pos_curr;
            continue;
        }
        w.records.push_back(buf.substr(0, n));
        pos = vfs_pos_next;
    }
    w.error = "no end";
    return w;
}

} // namespace vfs_test

#endif
