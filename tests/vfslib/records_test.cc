// Records written through vfs_create come back through every walk the
// program makes, for every driver and layout, from files with a size and
// from files without one (read until pread returns 0).
#include "vfs_support.h"

using namespace vfs_test;

namespace
{

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
};

TEST_P(roundtrip, records_and_raw_bytes_come_back)
{
    auto [c, sizeless] = GetParam();
    std::string name = std::string(c.prefix) + ":" + path("f");
    // A file with our header is found without a prefix.
    bool counted = strstr(c.prefix, "header") != nullptr || c.prefix[0] == 'y';
    for (strings recs : {strings(), strings{"", "alpha", "b", "tail", std::string(300, 'x')}}) {
        strings want;
        for (auto &r : recs)
            want.push_back(c.fixed != 0 ? r + std::string(c.fixed - r.size(), ' ') : r);
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
        std::string data = get_file(path("f")).substr(o.fh->data_offset);
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

} // namespace
