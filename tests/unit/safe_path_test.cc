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

struct Scratch : ::testing::Test {
    std::string root = [] {
        char tmpl[] = "/tmp/safe_path_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    void TearDown() override { fs::remove_all(root); }
    std::string dir(const std::string &rel, mode_t mode)
    {
        fs::create_directories(root + "/" + rel);
        chmod((root + "/" + rel).c_str(), mode);
        return root + "/" + rel;
    }
};

// a/ empty, b/ holding tandro, f a regular file: the directory that holds the
// name with one trailing slash, or null with errno telling why the search ended.
TEST_F(Scratch, PathSeekListsInOrder)
{
    const std::string a = dir("a", 0755), b = dir("b", 0755), f = root + "/f";
    std::ofstream(b + "/tandro").put('x');
    std::ofstream(f).put('x');
    // An entry whose name, cut at the area's end, would be the file tan in it.
    std::string cut = root;
    while (cut.size() < PATH_MAX - 5)
        cut += "/" + std::string(std::min<size_t>(200, PATH_MAX - 6 - cut.size()), 'y');
    fs::create_directories(cut);
    std::ofstream(cut + "/tan").put('x');
    const struct {
        std::string list, want;
        int err;
    } rows[] = {
        {":" + a + "::" + b + "/:", b + "/", 0},
        {b + ":" + a, b + "/", 0},
        {":::", "(null)", 0},
        {a + ":" + f + ":" + b, "(null)", ENOTDIR}, // any error but ENOENT ends the search
        {"/" + std::string(5000, 'x') + ":" + b, "(null)", ENAMETOOLONG},
        {cut + ":" + b, "(null)", ENAMETOOLONG},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.list.substr(0, 100));
        errno = 0;
        const char *r = path_seek("tandro", row.list.c_str(), F_OK);
        EXPECT_EQ(row.want, r ? r : "(null)");
        if (row.err != 0) {
            EXPECT_EQ(row.err, errno);
        }
    }
}

// Only directories nobody but root and the effective user can change.
TEST_F(Scratch, TrustedDirectories)
{
    dir("ok", 0755), dir("g", 0775), dir("w/in", 0755), dir("w", 0777);
    dir("sticky/in", 0755), dir("sticky", 01777), dir("other", 0755);
    fs::create_directory_symlink("w", root + "/to_w");
    fs::create_directory_symlink("ok", root + "/to_ok");
    std::ofstream(root + "/f").put('x');
    const bool root_user = geteuid() == 0 && chown((root + "/other").c_str(), 65534, 65534) == 0;
    const struct {
        const char *rel;
        int want;
    } rows[] = {
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
    for (const auto &row : rows)
        EXPECT_EQ(row.want, path_trusted((root + "/" + row.rel).c_str())) << row.rel;
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
        SCOPED_TRACE(r.old ? r.old : "(unset)");
        r.old ? setenv(var, r.old, 1) : unsetenv(var);
        EXPECT_EQ(r.match, path_match(r.dir, var));
        EXPECT_EQ(0, r.prepend ? path_prepend(var, r.prefix, r.value)
                               : path_append(var, r.prefix, r.value));
        EXPECT_STREQ(r.want, getenv(var));
    }
    EXPECT_EQ(-1, path_prepend(var, "", nullptr)); // nothing to add
    EXPECT_STREQ("/r/lib", getenv(var));
    unsetenv(var);
}

} // namespace
