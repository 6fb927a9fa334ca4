// The library's unit tests. Records written through vfs_create come back
// through every walk the program makes, for every driver and layout, from
// files with a size and from files without one (read until pread returns
// 0). Damaged files give the records before the damage, then an error whose
// text names the condition and the byte offset; the error stays. A header's
// record count bounds the data, and a file that changes while it is read is
// not trusted beyond what was there at open.
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

namespace
{

using strings = std::vector<std::string>;

class scratch : public ::testing::Test
{
  protected:
    std::string dir = std::filesystem::temp_directory_path() / "orvane-XXXXXX";
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char *name) const { return dir + "/" + name; }
};

void put_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

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
std::string make(std::string name, const strings &recs)
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
 * table under the name as given, described. sizeless: read as a file the kernel
 * gives no size for (/proc, a device). */
struct opened {
    const struct vfs_api *api = nullptr;
    vfs_file *fh = nullptr;
    vfs_file_info info{};
    std::string given, real, why;
    explicit opened(const std::string &name, bool sizeless = false) : given(name)
    {
        char *r = nullptr;
        api = vfs_api.vfs_resolve(nullptr, "vfs_cli", name.c_str(), &r);
        real = r != nullptr ? r : name;
        free(r);
        info.datlen = VFS_ERROR;
        info.fname = given.data();
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
walk records(opened &o, bool by_seek)
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
            buf.resize(fetch ? 2 * buf.size() : std::max(buf.size(), static_cast<size_t>(c.dlen)));
            fetch = true;
            pos = vfs_pos_curr;
            continue;
        }
        w.records.push_back(
            fetch ? buf.substr(0, static_cast<size_t>(n))
                  : std::string(reinterpret_cast<const char *>(b->buffer) + (c.doffset - b->offset),
                                static_cast<size_t>(c.dlen)));
        fetch = !by_seek;
        pos = vfs_pos_next;
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

// Every layout; those with lrecl=300 hold fixed records, padded to it.
// clang-format off
const char *const layouts[] = {
    "umb,lrecl=300", "umb,lrecl=300,header", "umb,varfmt=0", "umb,varfmt=1", "umb,varfmt=2",
    "umb,varfmt=3,header", "tev", "tev,header", "dox,recfm=f,lrecl=300",
    "dox,recfm=fb,lrecl=300,blksize=3000", "dox,recfm=v", "dox,recfm=vb,blksize=400",
    "dox,recfm=vb,header", "yar,order=le", "yar,order=be", "yar,recfm=f,lrecl=300"};
// clang-format on

class roundtrip : public scratch,
                  public ::testing::WithParamInterface<std::tuple<const char *, bool>>
{
};

TEST_P(roundtrip, records_and_raw_bytes_come_back)
{
    auto [prefix, sizeless] = GetParam();
    std::string name = std::string(prefix) + ":" + path("f");
    size_t fixed = strstr(prefix, "lrecl=300") != nullptr ? 300 : 0;
    // A file with our header is found without a prefix.
    bool counted = strstr(prefix, "header") != nullptr || prefix[0] == 'y';
    for (strings recs : {strings(), strings{"", "alpha", "b", "tail", std::string(300, 'x')}}) {
        strings want;
        for (auto &r : recs)
            want.push_back(fixed != 0 ? r + std::string(fixed - r.size(), ' ') : r);
        ASSERT_EQ(make(name, recs), "");
        opened o(counted ? path("f") : name, sizeless);
        ASSERT_EQ(o.why, "");
        EXPECT_EQ(o.api->vfs_eof(o.fh), 0);
        for (bool by_seek : {true, false}) {
            walk w = records(o, by_seek);
            EXPECT_EQ(w.error, "");
            EXPECT_EQ(w.records, want);
        }
        EXPECT_EQ(o.api->vfs_eof(o.fh), 1);
        std::string data = get_file(path("f")).substr(static_cast<size_t>(o.fh->data_offset));
        walk b = blocks(o);
        EXPECT_EQ(b.error, "");
        EXPECT_EQ(std::accumulate(b.records.begin(), b.records.end(), std::string()), data);
        EXPECT_EQ(o.info.bytes, sizeless && !counted ? VFS_ERROR : data.size());
    }
}

INSTANTIATE_TEST_SUITE_P(layouts, roundtrip,
                         ::testing::Combine(::testing::ValuesIn(layouts), ::testing::Bool()));

using records_at = scratch;

TEST_F(records_at, cache_buffer_edges)
{
    const size_t bs = vfs::default_buffsize;
    // Records that fill a buffer exactly lie whole in it.
    strings two = {std::string(bs, 'a'), std::string(bs, 'b')};
    std::string fixed = "umb,lrecl=" + std::to_string(bs) + ":" + path("f");
    ASSERT_EQ(make(fixed, two), "");
    // Records that cross a buffer's end, one longer than a buffer.
    strings lines;
    for (char c = 'a'; c < 'i'; c++)
        lines.push_back(std::string(bs / 3 + static_cast<size_t>(c), c));
    lines.push_back(std::string(3 * bs, 'z'));
    ASSERT_EQ(make("tev:" + path("t"), lines), "");
    for (bool sizeless : {false, true}) {
        opened f(fixed, sizeless), t("tev:" + path("t"), sizeless);
        walk wf = records(f, true), wt = records(t, true);
        EXPECT_EQ(wf.spanned, 0);
        EXPECT_EQ(wf.records, two);
        EXPECT_EQ(wt.spanned, 3);
        EXPECT_EQ(wt.records, lines);
    }
}

TEST_F(records_at, longest_record_of_each_prefix)
{
    const std::pair<const char *, size_t> limits[] = {{"umb,varfmt=0", 65535},
                                                      {"umb,varfmt=3", 65535},
                                                      {"dox,recfm=v", 32756},
                                                      {"dox,recfm=vb", 32752},
                                                      {"umb,varfmt=1", vfs::record_max}};
    for (auto [prefix, max] : limits) {
        std::string name = std::string(prefix) + ":" + path("f");
        std::string longest(max, 'm');
        ASSERT_EQ(make(name, {longest, "x"}), "");
        opened o(name);
        EXPECT_EQ(records(o, false).records, strings({longest, "x"})) << prefix;
        EXPECT_EQ(make(name, {longest + "m"}), "record length " + std::to_string(max + 1) +
                                                   " beyond maximum " + std::to_string(max));
    }
}

using namespace std::string_literals;

// A headerless file read with the given prefix: its records, then the error.
struct damage_case {
    const char *prefix;
    std::string content;
    strings before;
    const char *error;
};

const std::string abc0 = "\0\3\0\0abc"s;  // one varfmt 0 record, 7 bytes
const std::string rdw_ab = "\0\6\0\0ab"s; // one RDW record, 6 bytes
const std::string vb10 = "\0\n\0\0"s + rdw_ab;

// clang-format off
const damage_case cases[] = {
    {"umb,varfmt=0", abc0 + "\0\t"s, {"abc"}, "truncated record at byte 7"},
    {"umb,varfmt=0", abc0 + "\0\t\0\0xy"s, {"abc"}, "truncated record at byte 7"},
    {"umb,varfmt=0", abc0 + "\0\1\0\7x"s, {"abc"}, "bad record length prefix at byte 7"},
    {"umb,varfmt=2", "\1\0\0\0a\xff\xff\xff\x7f"s, {"a"}, "record length 2147483647 beyond maximum 16777216 at byte 5"},
    {"umb,varfmt=1,lrecl=2", "\0\0\0\2ab\0\0\0\3abc"s, {"ab"}, "record length 3 beyond maximum 2 at byte 6"},
    {"umb,lrecl=4", "aaaabbbbcc", {"aaaa", "bbbb"}, "truncated record at byte 8"},
    {"dox,recfm=v", rdw_ab + "\0\2\0\0"s, {"ab"}, "bad record descriptor word at byte 6"},
    {"dox,recfm=v", rdw_ab + "\0\6\1\0cd"s, {"ab"}, "bad record descriptor word at byte 6"},
    {"dox,recfm=v", rdw_ab + "\0\t\0\0cd"s, {"ab"}, "truncated record at byte 6"},
    {"dox,recfm=vb", "\0\1\0\0"s, {}, "bad block descriptor word at byte 0"},
    {"dox,recfm=vb,blksize=8", vb10, {}, "bad block descriptor word at byte 0"},
    {"dox,recfm=vb", vb10 + "\0\b\0\0"s + rdw_ab, {"ab"}, "bad record descriptor word at byte 14"},
    // A block the end of the file cuts gives its whole records first.
    {"dox,recfm=vb", vb10 + "\0(\0\0"s + rdw_ab, {"ab", "ab"}, "truncated block at byte 10"},
    {"dox,recfm=vb", vb10 + "\0(\0\0"s + rdw_ab + "\0\b\0\0a"s, {"ab", "ab"}, "truncated record at byte 20"},
    {"dox,recfm=vb", "\0\f\0\0"s + rdw_ab + "zz", {"ab"}, "bad record descriptor word at byte 10"},
    {"tev,lrecl=3", "abc\r\nabcd\n", {"abc"}, "record length 4 beyond maximum 3 at byte 5"},
};
// clang-format on

class damaged : public scratch, public ::testing::WithParamInterface<damage_case>
{
};

TEST_P(damaged, records_then_the_error_that_stays)
{
    const damage_case &c = GetParam();
    put_file(path("f"), c.content);
    for (int way = 0; way < 4; way++) {
        opened o(std::string(c.prefix) + ":" + path("f"), way >= 2);
        walk w = records(o, way % 2 == 0);
        EXPECT_EQ(w.records, c.before) << way;
        EXPECT_EQ(w.error, c.error) << way;
        // The next move fails the same way instead of skipping the damage.
        EXPECT_EQ(o.api->vfs_seek(o.fh, nullptr, 0, nullptr, nullptr, vfs_pos_next, 0), VFS_ERROR);
        EXPECT_EQ(lib_text(o.fh, errno), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(files, damaged, ::testing::ValuesIn(cases));

// A file made with our header and then changed: extra bytes appended, or
// its last bytes cut. The record walks and the raw block walk stop alike.
struct count_case {
    const char *prefix;
    std::string append;
    size_t cut;
    strings records;
    size_t raw; // data bytes a raw copy moves before the error
    const char *error;
};

// clang-format off
const count_case counts[] = {
    {"umb,varfmt=1", "\0\0\0\1x"s, 0, {"one", "two"}, 14, "data beyond the counted records at byte 78"},
    {"umb,lrecl=3", "xyz", 0, {"one", "two"}, 6, "data beyond the counted records at byte 70"},
    {"tev", "three\n", 0, {"one", "two"}, 8, "data beyond the counted records at byte 72"},
    {"dox,recfm=vb", "\n", 0, {"one", "two"}, 18, "data beyond the counted records at byte 82"},
    {"dox,recfm=v", "", 7, {"one"}, 7, "truncated record at byte 71"},
    {"umb,lrecl=3", "", 2, {"one"}, 3, "truncated record at byte 67"},
    {"umb,lrecl=3", "", 3, {"one"}, 3, "truncated record at byte 67"},
};
// clang-format on

class counted : public scratch, public ::testing::WithParamInterface<count_case>
{
};

TEST_P(counted, count_that_differs_is_damage_after_the_counted_records)
{
    const count_case &c = GetParam();
    ASSERT_EQ(make(std::string(c.prefix) + ",header:" + path("f"), {"one", "two"}), "");
    std::string whole = get_file(path("f")) + c.append;
    put_file(path("f"), whole.substr(0, whole.size() - c.cut));
    for (bool sizeless : {false, true}) {
        opened r(path("f"), sizeless), b(path("f"), sizeless);
        walk w = records(r, true);
        EXPECT_EQ(w.records, c.records);
        EXPECT_EQ(w.error, c.error);
        if (!sizeless) { // without a size, only the walk finds where the file ends
            EXPECT_EQ(b.info.bytes, c.raw);
        }
        walk raw = blocks(b);
        EXPECT_EQ(raw.records, strings({whole.substr(vfs::header_size, c.raw)}));
        EXPECT_EQ(raw.error, c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(headers, counted, ::testing::ValuesIn(counts));

using changing = scratch;

TEST_F(changing, file_is_read_as_it_was_at_open)
{
    strings recs(40000, std::string(60, 'r')); // 2.5 MB: more than the cache holds
    ASSERT_EQ(make("dox,recfm=v:" + path("f"), recs), "");
    std::string name = "dox,recfm=v:" + path("f");
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
        w.api->vfs_write(w.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, 0);
    }
    ASSERT_EQ(w.api->vfs_sync(w.fh), 0);
    EXPECT_EQ(opened(path("f")).why, "file is locked by a writer");
    // Half of the last record is on disk: a dirty reader stops before it.
    std::string part = get_file(path("f"));
    put_file(path("g"), part.substr(0, part.size() - 3));
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
