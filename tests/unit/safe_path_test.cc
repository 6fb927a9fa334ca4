#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "safe_path.h"

namespace
{

// A scratch tree: a/ (empty), b/ holding the file tandro, and f, a regular file.
class PathSeek : public testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/safe_path_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        a_ = root_ + "/a", b_ = root_ + "/b", f_ = root_ + "/f";
        ASSERT_EQ(mkdir(a_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(b_.c_str(), 0755), 0);
        touch(b_ + "/tandro");
        touch(f_);
    }
    void TearDown() override
    {
        unlink((b_ + "/tandro").c_str());
        unlink(f_.c_str());
        rmdir(a_.c_str());
        rmdir(b_.c_str());
        rmdir(root_.c_str());
    }
    static void touch(const std::string &path)
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0755);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    static std::string seek(const std::string &list)
    {
        const char *r = path_seek("tandro", list.c_str(), F_OK);
        return r ? r : "(null)";
    }
    std::string root_, a_, b_, f_;
};

TEST_F(PathSeek, FindsTheDirectoryWithOneTrailingSlash)
{
    const std::string want = b_ + "/";
    EXPECT_EQ(seek(a_ + "::" + b_ + "/"), want);
    EXPECT_EQ(seek(a_ + ":" + b_), want);
    EXPECT_EQ(seek(":" + b_ + ":"), want);
    EXPECT_EQ(seek(b_), want);
    EXPECT_EQ(seek(b_ + ":" + a_), want);
}

TEST_F(PathSeek, FindsNothing)
{
    errno = 0;
    EXPECT_EQ(seek(""), "(null)");
    EXPECT_EQ(seek(":::"), "(null)");
    EXPECT_EQ(seek(a_ + ":"), "(null)");
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(path_seek(nullptr, b_.c_str(), F_OK), nullptr);
    EXPECT_EQ(path_seek("tandro", nullptr, F_OK), nullptr);
    EXPECT_EQ(path_seek("absent", (a_ + ":" + b_).c_str(), F_OK), nullptr);
}

TEST_F(PathSeek, AnyErrorButNoSuchFileEndsTheSearch)
{
    errno = 0;
    EXPECT_EQ(seek(a_ + ":" + f_ + ":" + b_), "(null)");
    EXPECT_EQ(errno, ENOTDIR);
    // An entry longer than the result area is cut to 4095 bytes and fails there.
    std::string huge = "/" + std::string(5000, 'x');
    errno = 0;
    EXPECT_EQ(seek(huge + ":" + b_), "(null)");
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(PathSeek, ResultAreaIsReused)
{
    char *first = path_seek("tandro", b_.c_str(), F_OK);
    ASSERT_NE(first, nullptr);
    char *second = path_seek("tandro", (b_ + "/").c_str(), F_OK);
    EXPECT_EQ(first, second);
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
