#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "safe_path.h"

namespace
{

namespace fs = std::filesystem;

struct SafePath : ::testing::Test {
    std::string root = [] {
        char tmpl[] = "/tmp/safe_path_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    void TearDown() override { fs::remove_all(root); }
    std::string dir(const std::string &rel, mode_t mode = 0755)
    {
        fs::create_directories(root + "/" + rel);
        chmod((root + "/" + rel).c_str(), mode);
        return root + "/" + rel;
    }
};

// The directory holding the name with one trailing slash, or why the search ended.
TEST_F(SafePath, SeekListsInOrder)
{
    const std::string a = dir("a"), b = dir("b"), f = root + "/f";
    std::ofstream(b + "/tandro").put('x');
    std::ofstream(f).put('x');
    // An entry whose name, cut at the area's end, would be the file tan in it.
    std::string cut = root;
    while (cut.size() < PATH_MAX - 5)
        cut += "/" + std::string(std::min<size_t>(200, PATH_MAX - 6 - cut.size()), 'y');
    fs::create_directories(cut);
    std::ofstream(cut + "/tan").put('x');
    const std::string rows[][2] = {
        {":" + a + "::" + b + "/:", b + "/"},
        {b + ":" + a, b + "/"},
        {":::", "errno 0"},
        {a + ":" + f + ":" + b, "errno 20"}, // any error but ENOENT ends the search
        {"/" + std::string(5000, 'x') + ":" + b, "errno 36"},
        {cut + ":" + b, "errno 36"},
    };
    for (const auto &row : rows) {
        errno = 0;
        const char *r = path_seek("tandro", row[0].c_str(), F_OK);
        EXPECT_EQ(row[1], r ? r : "errno " + std::to_string(errno)) << row[0].substr(0, 100);
    }
}

// Only directories nobody but root and the effective user can change.
TEST_F(SafePath, TrustedDirectories)
{
    dir("ok"), dir("g", 0775), dir("w/in"), dir("w", 0777), dir("sticky/in"), dir("other");
    dir("sticky", 01777);
    fs::create_directory_symlink("w", root + "/to_w");
    fs::create_directory_symlink("ok", root + "/to_ok");
    std::ofstream(root + "/f").put('x');
    const bool root_user = geteuid() == 0 && chown((root + "/other").c_str(), 65534, 65534) == 0;
    const std::pair<const char *, int> rows[] = {
        {"ok", 0},
        {"g", -1},
        {"w", -1},
        {"w/in", -1},
        {"sticky", -1},
        {"sticky/in", 0},
        {"to_w", -1},
        {"to_ok", 0},
        {"f", -1},
        {"missing", -1},
        {"other", root_user ? -1 : 0},
    };
    for (const auto &[rel, want] : rows)
        EXPECT_EQ(want, path_trusted((root + "/" + rel).c_str())) << rel;
}

constexpr const char *var = "TANDRO_SAFE_PATH_TEST";

// Whole entries only for a match; prefix+value in front of or behind the old value.
TEST(PathList, MatchPrependAppend)
{
    const struct {
        const char *old, *dir; // old null: unset
        int match;
        bool prepend;
        const char *prefix, *value, *want;
    } rows[] = {
        {"::/usr/bin", "/usr/bin", 0, true, "/r/", "man/", "/r/man/:::/usr/bin"},
        {"/usr/bin/:/usr/binx", "/usr/bin", -1, false, "/y", nullptr, "/usr/bin/:/usr/binx:/y"},
        {"/a:", "", 0, false, "", "/y", "/a::/y"},
        {"", "/a", -1, true, nullptr, "/z", "/z"},
        {nullptr, "/a", -1, false, "/r", "/lib", "/r/lib"},
    };
    for (const auto &r : rows) {
        r.old ? setenv(var, r.old, 1) : unsetenv(var);
        EXPECT_EQ(r.match, path_match(r.dir, var)) << r.dir;
        EXPECT_EQ(0, r.prepend ? path_prepend(var, r.prefix, r.value)
                               : path_append(var, r.prefix, r.value));
        EXPECT_STREQ(r.want, getenv(var));
    }
    EXPECT_EQ(-1, path_prepend(var, "", nullptr)); // nothing to add
    // A colon would split the entry, "b/usr/lib/" a directory of wherever the program runs.
    errno = 0;
    EXPECT_EQ(-1, path_prepend(var, "/d/a:b/", "usr/lib/"));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, path_append(var, "/d/", "a:b"));
    EXPECT_STREQ("/r/lib", getenv(var));
    unsetenv(var);
}

} // namespace
