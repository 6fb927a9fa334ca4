// Damaged files: the records before the damage are delivered, then an error
// whose text names the condition and the byte offset; the error stays. A
// header's record count bounds the data, and a file that changes while it
// is read is not trusted beyond what was there at open.
#include <sys/file.h>

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

strings split(const std::string &joined)
{
    strings v;
    std::stringstream in(joined);
    for (std::string r; std::getline(in, r, '|');)
        v.push_back(r);
    return v;
}

// A headerless file read with the given prefix: its records ('|' between
// them), then the error.
struct damage_case {
    const char *prefix;
    std::string content;
    const char *before;
    const char *error;
};

const std::string abc0 = bytes({0, 3, 0, 0}) + "abc";  // one varfmt 0 record, 7 bytes
const std::string rdw_ab = bytes({0, 6, 0, 0}) + "ab"; // one RDW record, 6 bytes
const std::string vb10 = bytes({0, 10, 0, 0}) + rdw_ab;

const damage_case cases[] = {
    {"umb,varfmt=0", abc0 + bytes({0, 9}), "abc", "truncated record at byte 7"},
    {"umb,varfmt=0", abc0 + bytes({0, 9, 0, 0}) + "xy", "abc", "truncated record at byte 7"},
    {"umb,varfmt=0", abc0 + bytes({0, 1, 0, 7}) + "x", "abc", "bad record length prefix at byte 7"},
    {"umb,varfmt=2", bytes({1, 0, 0, 0}) + "a" + bytes({0xff, 0xff, 0xff, 0x7f}), "a",
     "record length 2147483647 beyond maximum 16777216 at byte 5"},
    {"umb,varfmt=1,lrecl=2", bytes({0, 0, 0, 2}) + "ab" + bytes({0, 0, 0, 3}) + "abc", "ab",
     "record length 3 beyond maximum 2 at byte 6"},
    {"umb,lrecl=4", "aaaabbbbcc", "aaaa|bbbb", "truncated record at byte 8"},
    {"dox,recfm=v", rdw_ab + bytes({0, 2, 0, 0}), "ab", "bad record descriptor word at byte 6"},
    {"dox,recfm=v", rdw_ab + bytes({0, 6, 1, 0}) + "cd", "ab",
     "bad record descriptor word at byte 6"},
    {"dox,recfm=v", rdw_ab + bytes({0, 9, 0, 0}) + "cd", "ab", "truncated record at byte 6"},
    {"dox,recfm=vb", bytes({0, 1, 0, 0}), "", "bad block descriptor word at byte 0"},
    {"dox,recfm=vb,blksize=8", vb10, "", "bad block descriptor word at byte 0"},
    {"dox,recfm=vb", vb10 + bytes({0, 8, 0, 0}) + rdw_ab, "ab",
     "bad record descriptor word at byte 14"},
    // A block the end of the file cuts gives its whole records first.
    {"dox,recfm=vb", vb10 + bytes({0, 40, 0, 0}) + rdw_ab, "ab|ab", "truncated block at byte 10"},
    {"dox,recfm=vb", vb10 + bytes({0, 40, 0, 0}) + rdw_ab + bytes({0, 8, 0, 0}) + "a", "ab|ab",
     "truncated record at byte 20"},
    {"dox,recfm=vb", bytes({0, 12, 0, 0}) + rdw_ab + "zz", "ab",
     "bad record descriptor word at byte 10"},
    {"tev,lrecl=3", "abc\r\nabcd\n", "abc", "record length 4 beyond maximum 3 at byte 5"},
};

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
        EXPECT_EQ(w.records, split(c.before)) << way;
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
    const char *records;
    size_t raw; // data bytes a raw copy moves before the error
    const char *error;
};

const count_case counts[] = {
    {"umb,varfmt=1", bytes({0, 0, 0, 1}) + "x", 0, "one|two", 14,
     "data beyond the counted records at byte 78"},
    {"umb,lrecl=3", "xyz", 0, "one|two", 6, "data beyond the counted records at byte 70"},
    {"tev", "three\n", 0, "one|two", 8, "data beyond the counted records at byte 72"},
    {"dox,recfm=vb", "\n", 0, "one|two", 18, "data beyond the counted records at byte 82"},
    {"dox,recfm=v", "", 7, "one", 7, "truncated record at byte 71"},
    {"umb,lrecl=3", "", 2, "one", 3, "truncated record at byte 67"},
    {"umb,lrecl=3", "", 3, "one", 3, "truncated record at byte 67"},
};

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
        EXPECT_EQ(w.records, split(c.records));
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
    std::ofstream(path("f"), std::ios::app) << bytes({0, 5, 0, 0}) << "z";
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
    put_file(path("g"), part.substr(0, part.size() - 3));
    EXPECT_EQ(opened(path("g")).why, "file is being written");
    setenv("MERO_YAR_CACHE", "::ALLOW_DIRTY_READS", 1);
    opened dirty(path("g"));
    walk d = records(dirty, false);
    unsetenv("MERO_YAR_CACHE");
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.records, strings({"a1", "b2"}));
    ASSERT_EQ(w.api->vfs_close(w.fh, nullptr), 0);
    opened done(path("f"));
    EXPECT_EQ(records(done, false).records, strings({"a1", "b2", "c3"}));
}

} // namespace
