// Records written through vfs_create come back through every walk the
// program makes, for every driver and layout, from files with a size and
// from files without one (read until pread returns 0).
#include "vfs_support.h"

using namespace vfs_test;

namespace
{

const strings sample = {"alpha", "", "b", std::string(300, 'x'), "tail"};

struct layout_case {
    const char *prefix;
    size_t fixed; // the length fixed records come back padded to; 0 variable
};

const layout_case layouts[] = {
    {"umb,lrecl=300", 300},
    {"umb,lrecl=300,header", 300},
    {"umb,varfmt=0", 0},
    {"umb,varfmt=1", 0},
    {"umb,varfmt=2", 0},
    {"umb,varfmt=3,header", 0},
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

class roundtrip : public scratch,
                  public ::testing::WithParamInterface<std::tuple<layout_case, bool>>
{
  protected:
    // The file's name as the program is given it: a header needs no prefix.
    std::string made(const strings &recs, bool &counted)
    {
        const char *prefix = std::get<0>(GetParam()).prefix;
        std::string name = std::string(prefix) + ":" + path("f");
        counted = strstr(prefix, "header") != nullptr || prefix[0] == 'y';
        EXPECT_EQ(make(name, recs), "");
        return counted ? path("f") : name;
    }
};

TEST_P(roundtrip, records_and_raw_bytes_come_back)
{
    auto [c, sizeless] = GetParam();
    strings recs = sample, want;
    if (c.prefix[0] == 'y')
        std::sort(recs.begin(), recs.end());
    for (auto &r : recs)
        want.push_back(c.fixed != 0 ? r + std::string(c.fixed - r.size(), ' ') : r);
    bool counted = false;
    opened o(made(recs, counted), sizeless);
    ASSERT_EQ(o.why, "");
    for (bool by_seek : {true, false}) {
        walk w = records(o, by_seek);
        EXPECT_EQ(w.error, "");
        EXPECT_EQ(w.records, want);
    }
    std::string data = get_file(path("f")).substr(o.fh->data_offset);
    walk b = blocks(o);
    EXPECT_EQ(b.error, "");
    EXPECT_EQ(std::accumulate(b.records.begin(), b.records.end(), std::string()), data);
    EXPECT_EQ(o.info.bytes, sizeless && !counted ? VFS_ERROR : data.size());
}

TEST_P(roundtrip, empty_file_ends_at_once)
{
    bool counted = false;
    opened o(made({}, counted), std::get<1>(GetParam()));
    ASSERT_EQ(o.why, "");
    EXPECT_EQ(o.api->vfs_eof(o.fh), 0);
    walk w = records(o, true);
    EXPECT_EQ(w.records, strings());
    EXPECT_EQ(w.error, "");
    EXPECT_EQ(o.api->vfs_eof(o.fh), 1);
    EXPECT_EQ(blocks(o).records, strings());
}

INSTANTIATE_TEST_SUITE_P(layouts, roundtrip,
                         ::testing::Combine(::testing::ValuesIn(layouts), ::testing::Bool()));

using records_at = scratch;

TEST_F(records_at, cache_buffer_edges)
{
    const size_t bs = vfs::default_buffsize;
    // Records that fill a buffer exactly lie whole in it.
    std::string fixed = "umb,lrecl=" + std::to_string(bs) + ":" + path("f");
    ASSERT_EQ(make(fixed, {std::string(bs, 'a'), std::string(bs, 'b')}), "");
    // Records that cross a buffer's end, one longer than a buffer.
    strings lines;
    for (int i = 0; i < 8; i++)
        lines.push_back(std::string(bs / 3 + i, static_cast<char>('a' + i)));
    lines.push_back(std::string(3 * bs, 'z'));
    ASSERT_EQ(make("tev:" + path("t"), lines), "");
    for (bool sizeless : {false, true}) {
        opened f(fixed, sizeless), t("tev:" + path("t"), sizeless);
        walk wf = records(f, true), wt = records(t, true);
        EXPECT_EQ(wf.spanned, 0);
        EXPECT_EQ(wf.records, strings({std::string(bs, 'a'), std::string(bs, 'b')}));
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

TEST_F(records_at, vb_blocks_filled_to_blksize_and_told_from_v)
{
    ASSERT_EQ(make("dox,recfm=vb,blksize=20:" + path("f"), {"aaaa", "bbbb", "cc"}), "");
    // BDW 20 with two 8-byte records, then BDW 10 with one 6-byte record.
    EXPECT_EQ(get_file(path("f")), std::string("\0\x14\0\0\0\x08\0\0aaaa\0\x08\0\0bbbb"
                                               "\0\x0a\0\0\0\x06\0\0cc",
                                               30));
    // Without recfm=vb: a BDW followed by an RDW that fits in it means VB.
    opened o("dox:" + path("f"), false, VFS_ERROR, vfs_rec_variable);
    EXPECT_EQ(records(o, true).records, strings({"aaaa", "bbbb", "cc"}));
}

TEST_F(records_at, keyed_file_of_the_other_byte_order_is_not_native)
{
    for (const char *order : {"le", "be"}) {
        ASSERT_EQ(
            make(std::string("yar,keylen=2,order=") + order + ":" + path(order), {"k1", "k2"}), "");
        opened o(path(order));
        bool other = (order[0] == 'b') != vfs::host_big_endian();
        EXPECT_EQ(o.fh->non_native, other ? 1u : 0u);
        EXPECT_EQ((o.info.flags & VFS_REVERSED) != 0, other);
        EXPECT_EQ(records(o, false).records, strings({"k1", "k2"}));
    }
}

} // namespace
