#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "safe_path.h"

namespace
{

// In a scratch tree of a/ (empty), b/ holding the file tandro, and f, a regular
// file: the directory that holds the name, with one trailing slash, or null
// with errno telling why the search ended.
TEST(PathSeek, ListsInOrder)
{
    char tmpl[] = "/tmp/safe_path_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = tmpl, a = root + "/a", b = root + "/b", f = root + "/f";
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    std::ofstream(b + "/tandro").put('x');
    std::ofstream(f).put('x');
    // An entry longer than the result area is cut to 4095 bytes and fails there.
    const std::string huge = "/" + std::string(5000, 'x');
    const struct {
        std::string list, want;
        int err; // 0: any
    } rows[] = {
        {a + "::" + b + "/", b + "/", 0},
        {a + ":" + b, b + "/", 0},
        {":" + b + ":", b + "/", 0},
        {b, b + "/", 0},
        {b + ":" + a, b + "/", 0},
        {"", "(null)", 0},
        {":::", "(null)", 0},
        {a + ":", "(null)", ENOENT},
        {a + ":" + f + ":" + b, "(null)", ENOTDIR}, // any error but ENOENT ends the search
        {huge + ":" + b, "(null)", ENAMETOOLONG},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.list.substr(0, 200));
        errno = 0;
        const char *r = path_seek("tandro", row.list.c_str(), F_OK);
        EXPECT_EQ(r ? r : "(null)", row.want);
        if (row.err) {
            EXPECT_EQ(errno, row.err);
        }
    }
    EXPECT_EQ(path_seek(nullptr, b.c_str(), F_OK), nullptr);
    EXPECT_EQ(path_seek("tandro", nullptr, F_OK), nullptr);
    EXPECT_EQ(path_seek("absent", (a + ":" + b).c_str(), F_OK), nullptr);
    std::filesystem::remove_all(root);
}

constexpr const char *var = "TANDRO_SAFE_PATH_TEST";

TEST(PathMatch, ExactEntriesOnly)
{
    const struct {
        const char *value; // null: unset
        const char *dir;
        int want;
    } cases[] = {
        {"::/usr/bin", "/usr/bin", 0},
        {"/bin:/usr/bin", "/usr/bin", 0},
        {"/usr/bin:/bin", "/usr/bin", 0},
        {"/usr/bin", "/usr/bin", 0},
        {"/usr/bin/", "/usr/bin", -1},
        {"/usr/bin/:/bin", "/usr/bin", -1},
        {"/usr/bin", "/usr/bin/", -1},
        {"/usr/binx:/usr/bi", "/usr/bin", -1},
        {"/USR/BIN", "/usr/bin", -1},
        {"", "/usr/bin", -1},
        {nullptr, "/usr/bin", -1},
        {"/a::/b", "", 0},
        {"/a:", "", 0},
        {"::/a", "", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.value ? c.value : "(unset)") + " ? " + c.dir);
        if (c.value)
            setenv(var, c.value, 1);
        else
            unsetenv(var);
        EXPECT_EQ(path_match(c.dir, var), c.want);
    }
    setenv(var, "/usr/bin", 1);
    EXPECT_EQ(path_match(nullptr, var), -1);
    EXPECT_EQ(path_match("/usr/bin", nullptr), -1);
    unsetenv(var);
}

TEST(PathAdd, PrependAndAppend)
{
    const struct {
        bool prepend;
        const char *old; // null: unset
        const char *prefix;
        const char *value;
        const char *want;
    } cases[] = {
        {true, nullptr, "/r/", "usr/share/man/", "/r/usr/share/man/"},
        {true, "", "/r/", "usr/share/man/", "/r/usr/share/man/"},
        {true, "/x", "/r/", "usr/share/man/", "/r/usr/share/man/:/x"},
        {true, "/x:/y", nullptr, "/z", "/z:/x:/y"},
        {true, "/x", "/z", nullptr, "/z:/x"},
        {true, "/x", "/x", "", "/x:/x"},
        {false, "/x", "/y", nullptr, "/x:/y"},
        {false, "/x:", "", "/y", "/x::/y"},
        {false, nullptr, "/r", "/lib", "/r/lib"},
        {false, "", nullptr, "/y", "/y"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.prepend ? "prepend " : "append ") + (c.old ? c.old : "(unset)"));
        if (c.old)
            setenv(var, c.old, 1);
        else
            unsetenv(var);
        int rc =
            c.prepend ? path_prepend(var, c.prefix, c.value) : path_append(var, c.prefix, c.value);
        EXPECT_EQ(rc, 0);
        const char *now = getenv(var);
        ASSERT_NE(now, nullptr);
        EXPECT_STREQ(now, c.want);
    }
    unsetenv(var);
}

TEST(PathAdd, NothingToAddLeavesTheVariable)
{
    setenv(var, "/keep", 1);
    EXPECT_EQ(path_prepend(var, nullptr, nullptr), -1);
    EXPECT_EQ(path_prepend(var, "", ""), -1);
    EXPECT_EQ(path_append(var, "", nullptr), -1);
    EXPECT_STREQ(getenv(var), "/keep");
    unsetenv(var);
    EXPECT_EQ(path_append(var, nullptr, ""), -1);
    EXPECT_EQ(getenv(var), nullptr);
}

TEST(PathAdd, FailingSetenvIsReported)
{
    errno = 0;
    EXPECT_EQ(path_prepend("BAD=NAME", "/x", nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
