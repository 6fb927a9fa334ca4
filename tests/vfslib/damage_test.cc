// Damaged files: the records before the damage are delivered, then an error
// whose text names the condition and the byte offset; the error stays.
#include "vfs_support.h"

using namespace vfs_test;

namespace
{

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// A headerless file, read with the given prefix.
struct damage_case {
    const char *what;
    const char *prefix;
    std::string content;
    const char *before; // the records delivered first, '|' between them
    const char *error;
};

std::vector<std::string> split(const char *joined)
{
    std::vector<std::string> v;
    std::stringstream in(joined);
    for (std::string r; std::getline(in, r, '|');)
        v.push_back(r);
    return v;
}

const std::string abc0 = bytes({0, 3, 0, 0}) + "abc";  // one varfmt 0 record, 7 bytes
const std::string rdw_ab = bytes({0, 6, 0, 0}) + "ab"; // one RDW record, 6 bytes

const damage_case cases[] = {
    {"prefix cut short", "umb,varfmt=0", abc0 + bytes({0, 9}), "abc", "truncated record at byte 7"},
    {"data cut short", "umb,varfmt=0", abc0 + bytes({0, 9, 0, 0}) + "xy", "abc",
     "truncated record at byte 7"},
    {"prefix pad not zero", "umb,varfmt=0", abc0 + bytes({0, 1, 0, 7}) + "x", "abc",
     "bad record length prefix at byte 7"},
    {"huge little-endian length", "umb,varfmt=2",
     bytes({1, 0, 0, 0}) + "a" + bytes({0xff, 0xff, 0xff, 0x7f}), "a",
     "record length 2147483647 beyond maximum 16777216 at byte 5"},
    {"length beyond lrecl", "umb,varfmt=1,lrecl=2",
     bytes({0, 0, 0, 2}) + "ab" + bytes({0, 0, 0, 3}) + "abc", "ab",
     "record length 3 beyond maximum 2 at byte 6"},
    {"fixed file not a multiple", "umb,lrecl=4", "aaaabbbbcc", "aaaa|bbbb",
     "truncated record at byte 8"},
    {"RDW shorter than itself", "dox,recfm=v", rdw_ab + bytes({0, 2, 0, 0}), "ab",
     "bad record descriptor word at byte 6"},
    {"RDW with segment flags", "dox,recfm=v", rdw_ab + bytes({0, 6, 1, 0}) + "cd", "ab",
     "bad record descriptor word at byte 6"},
    {"RDW past the end", "dox,recfm=v", rdw_ab + bytes({0, 9, 0, 0}) + "cd", "ab",
     "truncated record at byte 6"},
    {"bad BDW", "dox,recfm=vb", bytes({0, 1, 0, 0}), "", "bad block descriptor word at byte 0"},
    {"BDW beyond blksize", "dox,recfm=vb,blksize=8", bytes({0, 10, 0, 0}) + rdw_ab, "",
     "bad block descriptor word at byte 0"},
    {"RDW overruns its block", "dox,recfm=vb",
     bytes({0, 10, 0, 0}) + rdw_ab + bytes({0, 8, 0, 0}) + rdw_ab, "ab",
     "bad record descriptor word at byte 14"},
    {"block past the end: its whole records first", "dox,recfm=vb",
     bytes({0, 10, 0, 0}) + rdw_ab + bytes({0, 40, 0, 0}) + rdw_ab, "ab|ab",
     "truncated block at byte 10"},
    {"record cut by the end of the file", "dox,recfm=vb",
     bytes({0, 10, 0, 0}) + rdw_ab + bytes({0, 40, 0, 0}) + rdw_ab + bytes({0, 8, 0, 0}) + "a",
     "ab|ab", "truncated record at byte 20"},
    {"junk after the last record of a block", "dox,recfm=vb", bytes({0, 12, 0, 0}) + rdw_ab + "zz",
     "ab", "bad record descriptor word at byte 10"},
    {"line beyond lrecl", "tev,lrecl=3", "abc\r\nabcd\n", "abc",
     "record length 4 beyond maximum 3 at byte 5"},
};

class damaged : public scratch, public ::testing::WithParamInterface<damage_case>
{
};

TEST_P(damaged, records_then_the_error_both_ways)
{
    const damage_case &c = GetParam();
    put_file(path("f"), c.content);
    std::string name = std::string(c.prefix) + ":" + path("f");
    opened o(name);
    ASSERT_EQ(o.why, "");
    walk s = seek_walk(o);
    EXPECT_EQ(s.records, split(c.before));
    EXPECT_EQ(s.error, c.error);
    opened again(name);
    walk r = read_walk(again);
    EXPECT_EQ(r.records, split(c.before));
    EXPECT_EQ(r.error, c.error);
    // The damage stays: the next move fails the same way instead of skipping it.
    vfs_iovec iov{0, nullptr};
    EXPECT_EQ(o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, UINT64_C(0)),
              VFS_ERROR);
    EXPECT_EQ(lib_text(o.fh, errno), c.error);
    EXPECT_GE(errno, 1000);
}

INSTANTIATE_TEST_SUITE_P(files, damaged, ::testing::ValuesIn(cases), [](const auto &info) {
    std::string n = info.param.what;
    for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
});

using headers = scratch;

TEST_F(headers, corrupt_or_short_header_fails_resolution_with_a_reason)
{
    ASSERT_EQ(make("umb,lrecl=4,header:" + path("f"), {"abcd"}), "");
    std::string good = get_file(path("f"));
    struct {
        size_t at;
        char value;
        const char *reason;
    } flips[] = {
        {20, 1, "corrupt header: checksum"},
        {9, 'X', "corrupt header: byte order"},
        {63, 0x55, "corrupt header: checksum"},
    };
    for (auto &f : flips) {
        std::string bad = good;
        bad[f.at] = f.value;
        put_file(path("f"), bad);
        opened o(path("f"));
        EXPECT_EQ(o.api, nullptr);
        EXPECT_EQ(o.why, f.reason);
    }
    put_file(path("f"), good.substr(0, 40));
    opened s(path("f"));
    EXPECT_EQ(s.why, "short header");
    // A header whose checksum fits but whose fields do not.
    vfs::layout l;
    l.driver = vfs::drv::umb;
    l.recfm = vfs_rec_fixed;
    l.lrecl = 4;
    l.data_offset = 10;
    unsigned char h[vfs::header_size];
    vfs::encode_header(l, h);
    put_file(path("f"), std::string(reinterpret_cast<char *>(h), sizeof h));
    opened d(path("f"));
    EXPECT_EQ(d.why, "corrupt header: data offset");
}

TEST_F(headers, file_cut_at_a_record_boundary_falls_short_of_its_count)
{
    ASSERT_EQ(make("dox,recfm=v,header:" + path("f"), {"one", "two", "three"}), "");
    std::string whole = get_file(path("f"));
    put_file(path("f"), whole.substr(0, whole.size() - 9));
    opened o(path("f"));
    walk w = seek_walk(o);
    EXPECT_EQ(w.records, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(w.error, "truncated record at byte " + std::to_string(whole.size() - 9));
}

TEST_F(headers, keyed_file_out_of_order_or_cut)
{
    ASSERT_EQ(make("yar,order=le:" + path("f"), {"a", "b", "c"}), "");
    std::string whole = get_file(path("f")); // records at 64, 69, 74, 5 bytes each
    std::string swapped = whole;
    swapped[68] = 'z';
    put_file(path("f"), swapped);
    opened o(path("f"));
    walk w = read_walk(o);
    EXPECT_EQ(w.records, (std::vector<std::string>{"z"}));
    EXPECT_EQ(w.error, "key out of order at byte 69");
    put_file(path("f"), whole.substr(0, 77));
    opened t(path("f"));
    walk c = read_walk(t);
    EXPECT_EQ(c.records, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(c.error, "truncated record at byte 74");
}

} // namespace
