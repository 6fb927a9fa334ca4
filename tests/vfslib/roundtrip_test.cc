// Records written through vfs_create come back through vfs_seek and
// vfs_read, for every driver and layout, with and without our header.
#include "vfs_support.h"

using namespace vfs_test;

namespace
{

std::string pad(const std::string &s, size_t n)
{
    return s + std::string(n - s.size(), ' ');
}

const std::vector<std::string> sample = {"alpha", "", "b", std::string(300, 'x'), "tail"};

struct layout_case {
    const char *prefix; // driver and options, before ":path"
    size_t fixed;       // fixed record length (records come back padded), 0 variable
};

const layout_case layouts[] = {
    {"umb,lrecl=300", 300},
    {"umb,lrecl=300,header", 300},
    {"umb,varfmt=0", 0},
    {"umb,varfmt=1", 0},
    {"umb,varfmt=2", 0},
    {"umb,varfmt=3", 0},
    {"umb,varfmt=2,header", 0},
    {"tev", 0},
    {"tev,header", 0},
    {"dox,recfm=f,lrecl=300", 300},
    {"dox,recfm=fb,lrecl=300,blksize=3000", 300},
    {"dox,recfm=v", 0},
    {"dox,recfm=vb,blksize=400", 0},
    {"dox,recfm=vb,header", 0},
    {"yar,order=le", 0},
    {"yar,order=be", 0},
    {"yar,recfm=f,lrecl=300", 300},
};

class roundtrip : public scratch, public ::testing::WithParamInterface<layout_case>
{
};

TEST_P(roundtrip, records_come_back_through_both_walks)
{
    const layout_case &c = GetParam();
    std::vector<std::string> recs = sample;
    std::string name = std::string(c.prefix) + ":" + path("f");
    bool keyed = strncmp(c.prefix, "yar", 3) == 0;
    if (keyed)
        std::sort(recs.begin(), recs.end());
    ASSERT_EQ(make(name, recs), "");
    std::vector<std::string> want = recs;
    if (c.fixed != 0)
        for (auto &r : want)
            r = pad(r, c.fixed);
    // A file with our header needs no prefix; one without needs it to be read.
    bool header = keyed || strstr(c.prefix, "header") != nullptr;
    opened o(header ? path("f") : name);
    ASSERT_EQ(o.why, "");
    walk s = seek_walk(o);
    EXPECT_EQ(s.error, "");
    EXPECT_EQ(s.records, want);
    walk r = read_walk(o);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.records, want);
    EXPECT_EQ(o.info.records, header || c.fixed != 0 ? want.size() : VFS_ERROR);
    EXPECT_EQ(o.info.recfm, c.fixed != 0 ? vfs_rec_fixed : vfs_rec_variable);
}

TEST_P(roundtrip, empty_file_ends_at_once)
{
    std::string name = std::string(GetParam().prefix) + ":" + path("e");
    ASSERT_EQ(make(name, {}), "");
    opened o(name);
    ASSERT_EQ(o.why, "");
    vfs_iovec iov{0, nullptr};
    EXPECT_EQ(o.api->vfs_eof(o.fh), 0);
    EXPECT_EQ(o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, vfs_pos_first, UINT64_C(0)), 0u);
    EXPECT_EQ(o.api->vfs_eof(o.fh), 1);
    EXPECT_EQ(o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, UINT64_C(0)), 0u);
    EXPECT_EQ(o.api->vfs_eof(o.fh), 1);
}

INSTANTIATE_TEST_SUITE_P(layouts, roundtrip, ::testing::ValuesIn(layouts));

using records = scratch;

TEST_F(records, record_filling_a_cache_buffer_exactly_is_not_spanned)
{
    const uint64_t bs = vfs::default_buffsize;
    std::string name = "umb,lrecl=" + std::to_string(bs) + ":" + path("f");
    ASSERT_EQ(make(name, {std::string(bs, 'a'), std::string(bs, 'b')}), "");
    opened o(name);
    walk w = seek_walk(o);
    ASSERT_EQ(w.error, "");
    ASSERT_EQ(w.records.size(), 2u);
    EXPECT_EQ(w.records[1], std::string(bs, 'b'));
    EXPECT_EQ(w.spanned, (std::vector<bool>{false, false}));
    vfs_iovec iov{0, nullptr};
    EXPECT_EQ(o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, vfs_pos_first, UINT64_C(0)), bs + 1);
    EXPECT_EQ(o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, UINT64_C(0)), bs + 1);
    EXPECT_EQ(o.fh->dcache.current->offset, bs);
    EXPECT_EQ(o.fh->dcache.current->bend, 2 * bs);
}

TEST_F(records, records_crossing_cache_buffers_are_spanned_and_whole)
{
    const uint64_t bs = vfs::default_buffsize;
    std::vector<std::string> recs;
    for (int i = 0; i < 8; i++)
        recs.push_back(std::string(bs / 3 + static_cast<uint64_t>(i), static_cast<char>('a' + i)));
    recs.push_back(std::string(3 * bs, 'z')); // longer than the buffer
    std::string name = "tev:" + path("f");
    ASSERT_EQ(make(name, recs), "");
    opened o(name);
    walk w = seek_walk(o);
    ASSERT_EQ(w.error, "");
    EXPECT_EQ(w.records, recs);
    EXPECT_EQ(std::count(w.spanned.begin(), w.spanned.end(), true), 3);
    EXPECT_TRUE(w.spanned.back());
}

TEST_F(records, longest_records_of_each_prefix)
{
    struct {
        const char *prefix;
        uint64_t max;
    } limits[] = {{"umb,varfmt=0", 65535},
                  {"umb,varfmt=3", 65535},
                  {"dox,recfm=v", 32756},
                  {"dox,recfm=vb", 32752},
                  {"umb,varfmt=1", vfs::record_max}};
    for (auto &l : limits) {
        SCOPED_TRACE(l.prefix);
        std::string name = std::string(l.prefix) + ":" + path("f");
        std::string longest(l.max, 'm');
        ASSERT_EQ(make(name, {longest, "x"}), "");
        opened o(name);
        walk w = read_walk(o);
        EXPECT_EQ(w.error, "");
        EXPECT_EQ(w.records, (std::vector<std::string>{longest, "x"}));
        EXPECT_EQ(make(name, {longest + "m"}), "record length " + std::to_string(l.max + 1) +
                                                   " beyond maximum " + std::to_string(l.max));
    }
}

TEST_F(records, crlf_and_unterminated_last_line)
{
    put_file(path("t"), "dos\r\n\r\nmid\rdle\nlast");
    opened o("tev:" + path("t"));
    EXPECT_EQ(read_walk(o).records, (std::vector<std::string>{"dos", "", "mid\rdle", "last"}));
}

TEST_F(records, keyed_files_in_both_byte_orders)
{
    std::vector<std::string> recs = {"k1-one", "k1-two", "k2-x", "k3"};
    for (const char *order : {"le", "be"}) {
        SCOPED_TRACE(order);
        std::string file = path(order);
        ASSERT_EQ(make(std::string("yar,keylen=2,order=") + order + ":" + file, recs), "");
        opened o(file);
        ASSERT_EQ(o.why, "");
        bool other = (strcmp(order, "be") == 0) != vfs::host_big_endian();
        EXPECT_EQ(o.fh->non_native, other ? 1u : 0u);
        EXPECT_EQ((o.info.flags & VFS_REVERSED) != 0, other);
        EXPECT_GT(o.fh->dcache.count, 0u);
        EXPECT_EQ(o.info.phy_org, vfs_org_indexed);
        EXPECT_EQ(read_walk(o).records, recs);
        EXPECT_EQ(seek_walk(o).records, recs);
    }
    EXPECT_EQ(make("yar,keylen=2:" + path("bad"), {"k2", "k1"}), "key out of order at byte 70");
}

TEST_F(records, vb_blocks_are_filled_to_blksize)
{
    std::string name = "dox,recfm=vb,blksize=20:" + path("f");
    ASSERT_EQ(make(name, {"aaaa", "bbbb", "cc"}), "");
    // BDW 20 with two 8-byte records, then BDW 10 with one 6-byte record.
    EXPECT_EQ(get_file(path("f")), std::string("\0\x14\0\0\0\x08\0\0aaaa\0\x08\0\0bbbb"
                                               "\0\x0a\0\0\0\x06\0\0cc",
                                               30));
    // Told from V without recfm=vb when the program says "variable": a BDW
    // followed by an RDW that fits in it.
    opened o("dox:" + path("f"), VFS_ERROR, vfs_rec_variable);
    ASSERT_EQ(o.why, "");
    EXPECT_EQ(seek_walk(o).records, (std::vector<std::string>{"aaaa", "bbbb", "cc"}));
    EXPECT_EQ(o.info.recfm, vfs_rec_variable);
}

TEST_F(records, block_walk_covers_the_data_after_the_header)
{
    const uint64_t bs = vfs::default_buffsize;
    std::vector<std::string> recs(5, std::string(bs / 2 + 7, 'q'));
    ASSERT_EQ(make("umb,varfmt=1,header:" + path("f"), recs), "");
    std::string whole = get_file(path("f"));
    opened o(path("f"));
    ASSERT_EQ(o.fh->data_offset, vfs::header_size);
    EXPECT_EQ(lseek(o.fh->fd, 0, SEEK_CUR), static_cast<off_t>(vfs::header_size));
    vfs_cursor c{};
    c.roffset = o.fh->data_offset;
    std::string got;
    int blocks = 0;
    for (;;) {
        ASSERT_EQ(
            o.api->vfs_internals->_cache_read(reinterpret_cast<vfs_file *>(&o.fh->dcache), &c), 0);
        const vfs_buffer *b = o.fh->dcache.current;
        ASSERT_EQ(b->offset, c.roffset);
        got.append(reinterpret_cast<const char *>(b->buffer), b->total);
        blocks++;
        if (b->beof)
            break;
        c.roffset += b->buffsize;
    }
    EXPECT_EQ(got, whole.substr(vfs::header_size));
    EXPECT_EQ(blocks, static_cast<int>((whole.size() - vfs::header_size + bs - 1) / bs));
    EXPECT_EQ(o.fh->dcache.bread, whole.size() - vfs::header_size);
}

} // namespace
