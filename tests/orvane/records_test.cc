// The library's unit tests: what a whole-program run cannot see. Every walk
// the program makes (records from the cache, by vfs_read, raw blocks) gives
// the same records, from files with a size and without one; damage gives
// the records before it, then a text that names it at its byte, and stays.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "../../tools/read_record.h"
#include "vfs_core.h"

namespace
{

using strings = std::vector<std::string>;
using namespace std::string_literals;

class scratch : public ::testing::Test
{
  protected:
    std::string dir = std::filesystem::temp_directory_path() / "orvane-XXXXXX";
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char *name) const { return dir + "/" + name; }
};

std::string get_file(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

std::string lib_text(vfs_file *fh, int err)
{
    static const uint32_t lookup = 1;
    auto n = static_cast<uint32_t>(err);
    return vfs_api.vfs_strerror(fh, n, &n, &lookup);
}

/* Writes records through vfs_create: "" or the library's text of the failure. */
std::string make(std::string name, const strings &recs, vfs_pad pad = vfs_pad_native)
{
    vfs_file_info info{};
    info.fname = name.data();
    info.pad = pad;
    if (vfs_api.vfs_create(&info) != 0)
        return lib_text(nullptr, errno);
    std::string why;
    for (const auto &r : recs) {
        vfs_iovec iov{r.size(), const_cast<char *>(r.data())};
        if (why.empty() &&
            info.api->vfs_write(info.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, 0) != r.size())
            why = lib_text(info.fh, errno);
    }
    bool closed = info.api->vfs_close(info.fh, nullptr) == 0;
    return closed || !why.empty() ? why : lib_text(nullptr, errno);
}

/* A file opened by name and described. sizeless: read as a file the kernel
 * gives no size for (/proc, a device). */
struct opened {
    const struct vfs_api *api = nullptr;
    vfs_file *fh = nullptr;
    vfs_file_info info{};
    std::string name, why;
    explicit opened(const std::string &given, bool sizeless = false) : name(given)
    {
        info.datlen = VFS_ERROR;
        info.fname = name.data();
        if ((fh = vfs_api.vfs_open(&info)) == nullptr) {
            why = lib_text(nullptr, errno);
            return;
        }
        api = info.api;
        if (sizeless) {
            vfs::handle &h = *vfs::to_handle(fh);
            h.bound = VFS_ERROR;
            h.reach = 0;
            h.ended = false;
        }
        if (api->vfs_fstat(fh, &info) < 0)
            why = lib_text(fh, errno);
    }
    ~opened() { vfs_api.vfs_close(fh, nullptr); }
};

/* What a walk delivered: records (or blocks), then the error text if any;
 * how many records vfs_seek placed across cache buffers. */
struct walk {
    strings records;
    std::string error;
    size_t spanned = 0;
};

/* The record a vfs_seek that returned n placed: from the cache buffer the
 * cursor names, or by vfs_read when it spans buffers, as the cached copier
 * takes it. */
std::string cursor_record(opened &o, uint64_t n, std::vector<char> &buf)
{
    const vfs_cursor &c = o.fh->curr_csr;
    const vfs_buffer *b = o.fh->dcache.current;
    if (n != c.dlen + 1)
        return "<seek and cursor disagree>";
    if (c.spanned) {
        uint64_t len = read_record(o.api, o.fh, vfs_pos_curr, buf, UINT64_MAX);
        return len == c.dlen ? std::string(buf.data(), static_cast<size_t>(len))
                             : "<spanned record not read>";
    }
    if (b == nullptr || c.doffset < b->offset || c.doffset + c.dlen > b->bend)
        return "<record outside its buffer>";
    return std::string(reinterpret_cast<const char *>(b->buffer) + (c.doffset - b->offset),
                       static_cast<size_t>(c.dlen));
}

/* The records by vfs_seek (the cached copier's walk) or by vfs_read into a
 * buffer that grows (the line copier's). */
walk records(opened &o, bool by_seek)
{
    walk w;
    std::vector<char> buf(16);
    for (vfs_position pos = vfs_pos_first; w.records.size() < 1000000; pos = vfs_pos_next) {
        uint64_t n = by_seek ? o.api->vfs_seek(o.fh, nullptr, 0, nullptr, nullptr, pos, 0)
                             : read_record(o.api, o.fh, pos, buf, UINT64_MAX);
        if (n == VFS_ERROR || (n == 0 && o.api->vfs_eof(o.fh) == 1))
            return w.error = n == 0 ? "" : lib_text(o.fh, errno), w;
        w.spanned += by_seek && o.fh->curr_csr.spanned ? 1 : 0;
        w.records.push_back(by_seek ? cursor_record(o, n, buf)
                                    : std::string(buf.data(), static_cast<size_t>(n)));
    }
    return w.error = "no end", w;
}

/* _cache_read block after block from the data offset, as the block copier
 * walks; then, as after a zero-copy, the read at data_offset + bytes that
 * confirms the end. */
walk blocks(opened &o)
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

// A record of len bytes in VS segments of the longest a word holds.
std::string spanned_record(size_t len)
{
    const size_t most = vfs::ibm_descriptor_max - 4;
    std::string out;
    for (size_t at = 0; at < len; at += most) {
        size_t k = std::min(most, len - at);
        char flags = at == 0 ? (k == len ? 0 : 1) : at + k == len ? 2 : 3;
        out += std::string{static_cast<char>((k + 4) >> 8), static_cast<char>(k + 4), flags, 0};
        out += std::string(k, 'M');
    }
    return out;
}

const std::string abc0 = "\0\3\0\0abc"s;  // one varfmt 0 record, 7 bytes
const std::string rdw_ab = "\0\6\0\0ab"s; // one RDW record, 6 bytes
const std::string vb10 = "\0\n\0\0"s + rdw_ab;

// A file and what every walk finds in it. The file is the records made
// through vfs_create with prefix (or, bytes_only, nothing), then content
// appended and its last cut bytes cut. The record walks give want, then
// error ("": a clean end), which stays; the raw walk gives the data, up to
// the raw bytes before the damage where a header counts the records.
struct file_case {
    std::string prefix;
    strings made;
    strings want;
    std::string error{};
    bool bytes_only = false;
    std::string content{};
    size_t cut = 0;
    size_t raw = 0;
    size_t limit = 0;    // the longest record the layout takes; 0: not tried
    bool joined = false; // records of several segments, each handed out in one buffer
};

std::vector<file_case> file_cases()
{
    const strings some = {"", "alpha", "b", "tail", std::string(300, 'x')};
    const strings padded = {std::string(300, ' '), "alpha" + std::string(295, ' '),
                            "b" + std::string(299, ' '), "tail" + std::string(296, ' '), some[4]};
    std::vector<file_case> v;
    for (const char *p :
         {"umb,lrecl=300", "umb,lrecl=300,header", "umb,varfmt=0", "umb,varfmt=1", "umb,varfmt=2",
          "umb,varfmt=3,header", "tev", "tev,header", "dox,recfm=f,lrecl=300",
          "dox,recfm=fb,lrecl=300,blksize=3000", "dox,recfm=v", "dox,recfm=vb,blksize=400",
          "dox,recfm=vb,header", "yar,order=le", "yar,order=be", "yar,recfm=f,lrecl=300"}) {
        v.push_back({p, {}, {}});
        v.push_back({p, some, strstr(p, "lrecl=300") != nullptr ? padded : some});
    }
    // Records that fill a cache buffer exactly, that cross a buffer's end,
    // one longer than a buffer.
    const size_t bs = vfs::default_buffsize;
    strings two = {std::string(bs, 'a'), std::string(bs, 'b')}, lines;
    for (char c = 'a'; c < 'i'; c++)
        lines.push_back(std::string(bs / 3 + static_cast<size_t>(c), c));
    lines.push_back(std::string(3 * bs, 'z'));
    v.push_back({"umb,lrecl=" + std::to_string(bs), two, two});
    v.push_back({"tev", lines, lines});
    // clang-format off
    for (auto [p, max] : {std::pair<const char *, size_t>{"umb,varfmt=0", 65535}, {"umb,varfmt=3", 65535},
                          {"dox,recfm=v", 32756}, {"dox,recfm=vb", 32752}, {"umb,varfmt=1", vfs::record_max}})
        v.push_back({p, {std::string(max, 'm'), "x"}, {std::string(max, 'm'), "x"}, "", false, "", 0, 0, max});
    const file_case damaged[] = {
        {"umb,varfmt=0", {}, {"abc"}, "truncated record at byte 7", true, abc0 + "\0\t"s},
        {"umb,varfmt=0", {}, {"abc"}, "truncated record at byte 7", true, abc0 + "\0\t\0\0xy"s},
        {"umb,varfmt=0", {}, {"abc"}, "bad record length prefix at byte 7", true, abc0 + "\0\1\0\7x"s},
        {"umb,varfmt=2", {}, {"a"}, "record length 2147483647 beyond maximum 16777216 at byte 5", true, "\1\0\0\0a\xff\xff\xff\x7f"s},
        {"umb,varfmt=1,lrecl=2", {}, {"ab"}, "record length 3 beyond maximum 2 at byte 6", true, "\0\0\0\2ab\0\0\0\3abc"s},
        {"umb,lrecl=4", {}, {"aaaa", "bbbb"}, "truncated record at byte 8", true, "aaaabbbbcc"},
        {"dox,recfm=v", {}, {"ab"}, "bad record descriptor word at byte 6", true, rdw_ab + "\0\2\0\0x"s},
        {"dox,recfm=v", {}, {"ab"}, "bad record descriptor word at byte 6", true, rdw_ab + "\0\6\1\0cd"s},
        {"dox,recfm=vb", {}, {}, "bad block descriptor word at byte 0", true, "\0\1\0\0"s},
        {"dox,recfm=vb,blksize=8", {}, {}, "bad block descriptor word at byte 0", true, vb10},
        {"dox,recfm=vb", {}, {"ab"}, "bad record descriptor word at byte 14", true, vb10 + "\0\b\0\0"s + rdw_ab},
        // A block the end of the file cuts gives its whole records first.
        {"dox,recfm=vb", {}, {"ab", "ab"}, "truncated block at byte 10", true, vb10 + "\0(\0\0"s + rdw_ab},
        {"dox,recfm=vb", {}, {"ab", "ab"}, "truncated record at byte 20", true, vb10 + "\0(\0\0"s + rdw_ab + "\0\b\0\0a"s},
        {"dox,recfm=vb", {}, {"ab"}, "bad record descriptor word at byte 10", true, "\0\f\0\0"s + rdw_ab + "zz"},
        {"tev,lrecl=3", {}, {"abc"}, "record length 4 beyond maximum 3 at byte 5", true, "abc\r\nabcd\n"},
        // A count that differs either way is damage after the counted records.
        {"umb,lrecl=3,header", {"one", "two"}, {"one", "two"}, "data beyond the counted records at byte 70", false, "xyz", 0, 6},
        {"tev,header", {"one", "two"}, {"one", "two"}, "data beyond the counted records at byte 72", false, "three\n", 0, 8},
        {"dox,recfm=vb,header", {"one", "two"}, {"one", "two"}, "data beyond the counted records at byte 82", false, "\n", 0, 18},
        {"dox,recfm=v,header", {"one", "two"}, {"one"}, "truncated record at byte 71", false, "", 7, 7},
        {"umb,lrecl=3,header", {"one", "two"}, {"one"}, "truncated record at byte 67", false, "", 2, 3},
    };
    // clang-format on
    v.insert(v.end(), std::begin(damaged), std::end(damaged));
    // Spanned records: 1 MiB in blocks, the longest a record may be, and one
    // byte more, refused at its first segment.
    const std::string mib(1 << 20, 's'), most(vfs::record_max, 'M');
    v.push_back({"dox,recfm=vbs", {"a", mib, ""}, {"a", mib, ""}});
    v.push_back({"dox,recfm=vs", {most}, {most}, "", false, "", 0, 0, vfs::record_max});
    v.push_back({"dox,recfm=vs",
                 {},
                 {},
                 "record length 16777217 beyond maximum 16777216 at byte 0",
                 true,
                 spanned_record(vfs::record_max + 1)});
    for (size_t i = v.size() - 3; i < v.size(); i++)
        v[i].joined = true;
    return v;
}

void PrintTo(const file_case &c, std::ostream *os)
{
    *os << c.prefix << " (" << c.made.size() << " records) " << c.error;
}

class file : public scratch, public ::testing::WithParamInterface<file_case>
{
};

TEST_P(file, every_walk_gives_the_records_then_the_end_or_the_damage)
{
    const file_case &c = GetParam();
    std::string name = c.prefix + ":" + path("f"), whole;
    if (!c.bytes_only) {
        ASSERT_EQ(make(name, c.made), "");
        whole = get_file(path("f"));
    }
    whole += c.content;
    whole.resize(whole.size() - c.cut);
    std::ofstream(path("f"), std::ios::binary | std::ios::trunc) << whole;
    for (int way = 0; way < 4; way++) {
        bool sizeless = way >= 2;
        opened o(name, sizeless), b(name, sizeless);
        ASSERT_EQ(o.why, "");
        walk w = records(o, way % 2 == 0), raw = blocks(b);
        EXPECT_EQ(w.records, c.want) << way;
        EXPECT_EQ(w.error, c.error) << way;
        if (c.joined) {
            EXPECT_EQ(w.spanned, 0u) << way;
        }
        // The next move fails the same way instead of skipping the damage.
        if (!c.error.empty()) {
            EXPECT_EQ(o.api->vfs_seek(o.fh, nullptr, 0, nullptr, nullptr, vfs_pos_next, 0),
                      VFS_ERROR);
            EXPECT_EQ(lib_text(o.fh, errno), c.error);
        }
        bool counted = vfs::to_handle(b.fh)->counted;
        std::string data = whole.substr(static_cast<size_t>(b.fh->data_offset));
        data.resize(counted && !c.error.empty() ? c.raw : data.size());
        EXPECT_EQ(std::accumulate(raw.records.begin(), raw.records.end(), std::string()), data);
        EXPECT_EQ(raw.error, counted ? c.error : "");
        // Without a size, only a walk finds where damage ends the file.
        if (!sizeless || c.error.empty()) {
            EXPECT_EQ(b.info.bytes, sizeless && !counted ? VFS_ERROR : data.size()) << way;
        }
    }
    if (c.limit != 0) {
        EXPECT_EQ(make(name, {std::string(c.limit + 1, 'm')}),
                  "record length " + std::to_string(c.limit + 1) + " beyond maximum " +
                      std::to_string(c.limit));
    }
}

INSTANTIATE_TEST_SUITE_P(files, file, ::testing::ValuesIn(file_cases()));

// A caller that writes EBCDIC data without a code page asks for its blank.
TEST_F(scratch, short_fixed_records_are_padded_as_the_caller_asks)
{
    std::string name = "umb,lrecl=4:" + path("f");
    ASSERT_EQ(make(name, {"ab"}, vfs_pad_ebcdic), "");
    EXPECT_EQ(get_file(path("f")), "ab\x40\x40");
    ASSERT_EQ(make(name, {"ab"}), "");
    EXPECT_EQ(get_file(path("f")), "ab  ");
}

using changing = scratch;

TEST_F(changing, file_is_read_as_it_was_at_open)
{
    strings recs(40000, std::string(60, 'r')); // 2.5 MB: more than the cache holds
    std::string name = "dox,recfm=v:" + path("f");
    ASSERT_EQ(make(name, recs), "");
    opened grown(name);
    std::ofstream(path("f"), std::ios::app) << "\0\5\0\0z"s;
    EXPECT_EQ(records(grown, true).records, recs);
    opened shrunk(name);
    ASSERT_EQ(shrunk.api->vfs_seek(shrunk.fh, nullptr, 0, nullptr, nullptr, vfs_pos_first, 0), 61u);
    ASSERT_EQ(truncate(path("f").c_str(), 1500000), 0);
    EXPECT_EQ(records(shrunk, true).error, strerror(EIO));
}

TEST_F(changing, keyed_file_being_written_needs_dirty_reads)
{
    unsetenv("MERO_YAR_CACHE");
    std::string name = "yar:" + path("f");
    vfs_file_info w{};
    w.fname = name.data();
    ASSERT_EQ(vfs_api.vfs_create(&w), 0);
    for (const char *r : {"a1", "b2", "c3"}) {
        vfs_iovec iov{2, const_cast<char *>(r)};
        ASSERT_EQ(w.api->vfs_write(w.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, 0), 2u);
    }
    ASSERT_EQ(w.api->vfs_sync(w.fh), 0);
    EXPECT_EQ(opened(path("f")).why, "file is locked by a writer");
    // Half of the last record is on disk: a dirty reader stops before it.
    std::string part = get_file(path("f"));
    std::ofstream(path("g"), std::ios::binary) << part.substr(0, part.size() - 3);
    EXPECT_EQ(opened(path("g")).why, "file is being written");
    setenv("MERO_YAR_CACHE", "::ALLOW_DIRTY_READS", 1);
    opened dirty(path("g"));
    walk d = records(dirty, false);
    unsetenv("MERO_YAR_CACHE");
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.records, strings({"a1", "b2"}));
    w.api->vfs_close(w.fh, nullptr);
}

} // namespace
