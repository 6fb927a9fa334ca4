// Self-identification, layout recognition, search-path order and the manual page command.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "libports.h"

namespace
{

namespace fs = std::filesystem;

struct layout_row {
    const char *exe;
    const char *path;
    const char *root_path;
    int installed;
    int is_rte;
};

// The worked layouts first, then the walk's corners.
const layout_row layouts[] = {
    {"/opt/qor/vanto/rte/usr/bin/tandro", "/opt/qor/vanto/rte/", "/", 1, 0},
    {"/usr/bin/tandro", "/", "/", 1, 0},
    {"/home/u/tree/opt/qor/vanto/rte/usr/bin/tandro", "/home/u/tree/opt/qor/vanto/rte/",
     "/home/u/tree/", 0, 0},
    {"/usr/lpp/vanto/bin/tandro", "/usr/lpp/vanto/", "/", 0, 1},
    {"/home/u/tree/usr/lpp/vanto/bin/tandro", "/home/u/tree/usr/lpp/vanto/", "/home/u/tree/", 0, 1},
    {"/home/u/x/bin/.orig/tandro", "/home/u/x/", "/home/u/x/", 0, 0},
    {"/home/u/x/tandro", "/home/u/x/", "/home/u/x/", 0, 0},
    // Rule 1: both spellings, anything below the product directory, too few slashes.
    {"/opt/QOR/vanto/rte/usr/bin/tandro", "/opt/QOR/vanto/rte/", "/", 1, 0},
    {"/opt/qor/vanto/rte/tandro", "/opt/qor/vanto/rte/", "/", 1, 0},
    {"/opt/qor/vanto/tandro", "/opt/qor/vanto/", "/opt/qor/vanto/", 0, 0},
    {"/opt/Qor/vanto/rte/usr/bin/tandro", "/opt/Qor/vanto/rte/", "/opt/Qor/vanto/rte/", 0, 0},
    // Rule 2: every system directory, deep below it too, and only whole prefixes.
    {"/usr/sbin/tandro", "/", "/", 1, 0},
    {"/bin/tandro", "/", "/", 1, 0},
    {"/sbin/tandro", "/", "/", 1, 0},
    {"/usr/bin/deep/er/tandro", "/", "/", 1, 0},
    {"/usr/bin/.orig/tandro", "/", "/", 1, 0},
    {"/usr/binx/tandro", "/usr/binx/", "/usr/binx/", 0, 0},
    // Rule 3: the walk reaches the top, whole components only, order of the steps.
    {"/tmp/tandro", "/tmp/", "/tmp/", 0, 0},
    {"/usr/tandro", "/", "/", 0, 0},
    {"/.orig/tandro", "/", "/", 0, 0},
    {"/home/u/tree/usr/sbin/tandro", "/home/u/tree/", "/home/u/tree/", 0, 0},
    {"/home/u/Bin/tandro", "/home/u/Bin/", "/home/u/Bin/", 0, 0},
    {"/home/u/bins/tandro", "/home/u/bins/", "/home/u/bins/", 0, 0},
    {"/home/u/x/.orig/bin/tandro", "/home/u/x/.orig/", "/home/u/x/.orig/", 0, 0},
    {"/home/u/tree/usr/lpp/vanto/bin/.orig/tandro", "/home/u/tree/usr/lpp/vanto/", "/home/u/tree/",
     0, 1},
    {"/x/lpp/vanto/bin/tandro", "/x/lpp/vanto/", "/x/lpp/vanto/", 0, 0},
    {"/usr/lpp/bin/tandro", "/usr/lpp/", "/usr/lpp/", 0, 0},
    {"/home/u/tree/opt/QOR/vanto/rte/usr/bin/tandro", "/home/u/tree/opt/QOR/vanto/rte/",
     "/home/u/tree/", 0, 0},
    {"/home/u/tree/xopt/qor/vanto/rte/bin/tandro", "/home/u/tree/xopt/qor/vanto/rte/",
     "/home/u/tree/xopt/qor/vanto/rte/", 0, 0},
    {"/qor/vanto/rte/bin/tandro", "/qor/vanto/rte/", "/qor/vanto/rte/", 0, 0},
    {"/opt/qor/vanto/rte/bin/tandro", "/opt/qor/vanto/rte/", "/", 1, 0},
};

TEST(RelocateLayout, WorkedLayoutsAndEdges)
{
    for (const auto &row : layouts) {
        char path[PATH_MAX] = "junk", root_path[PATH_MAX] = "junk";
        int_fast32_t installed = 7, is_rte = 7;
        ASSERT_EQ(0, relocate_layout(row.exe, path, root_path, &installed, &is_rte)) << row.exe;
        EXPECT_STREQ(row.path, path) << row.exe;
        EXPECT_STREQ(row.root_path, root_path) << row.exe;
        EXPECT_EQ(row.installed, installed) << row.exe;
        EXPECT_EQ(row.is_rte, is_rte) << row.exe;
    }
}

TEST(RelocateLayout, NoDirectoryToStartFrom)
{
    for (const char *exe : {"/tandro", "/", "tandro", "bin/tandro", ""}) {
        char path[PATH_MAX], root_path[PATH_MAX];
        int_fast32_t installed, is_rte;
        errno = 0;
        EXPECT_EQ(-1, relocate_layout(exe, path, root_path, &installed, &is_rte)) << exe;
        EXPECT_EQ(EINVAL, errno) << exe;
    }
}

TEST(RelocateLayout, LongestPathStaysInBuffers)
{
    std::string exe = "/home";
    while (exe.size() < PATH_MAX - 20)
        exe += "/abcdefgh";
    exe += "/usr/bin/tandro";
    exe.resize(PATH_MAX - 1);
    char path[PATH_MAX], root_path[PATH_MAX];
    int_fast32_t installed, is_rte;
    ASSERT_EQ(0, relocate_layout(exe.c_str(), path, root_path, &installed, &is_rte));
    EXPECT_LT(strlen(path), (size_t)PATH_MAX);
    EXPECT_EQ('/', path[strlen(path) - 1]);
    EXPECT_STREQ(path, root_path);
}

const char *const lists[] = {"PATH", "LD_LIBRARY_PATH", "NLSPATH", "MANPATH", "ETCPATH"};

// The five lists after extending them for an executable, from given old values
// (null: unset); the variables are put back afterwards.
TEST(SearchPaths, ProductTreeRootAlternateThenOldValue)
{
    const struct {
        const char *exe, *altpath;
        const char *old[5];
        const char *want[5];
    } rows[] = {
        {"/opt/qor/vanto/rte/usr/bin/tandro",
         nullptr,
         {"/usr/bin:/bin"},
         {"/opt/qor/vanto/rte/usr/bin/:/usr/bin:/bin", "/opt/qor/vanto/rte/usr/lib/",
          "/opt/qor/vanto/rte/usr/share/locale/%L/%N", "/opt/qor/vanto/rte/usr/share/man/",
          "/opt/qor/vanto/rte/etc.d:/opt/qor/vanto/rte/etc"}},
        {"/usr/bin/tandro",
         nullptr,
         {"/usr/bin:/bin", nullptr, nullptr, ""},
         {"/usr/bin/:/usr/bin:/bin", "/usr/lib/", "/usr/share/locale/%L/%N", "/usr/share/man/",
          "/etc.d:/etc"}},
        // The alternate root sits behind the tree; ETCPATH gets none.
        {"/usr/bin/tandro",
         "/opt/qor/vanto/rte/",
         {"/usr/bin:/bin", nullptr, nullptr, nullptr, "/e"},
         {"/usr/bin/:/opt/qor/vanto/rte/usr/bin/:/usr/bin:/bin",
          "/usr/lib/:/opt/qor/vanto/rte/usr/lib/",
          "/usr/share/locale/%L/%N:/opt/qor/vanto/rte/usr/share/locale/%L/%N",
          "/usr/share/man/:/opt/qor/vanto/rte/usr/share/man/", "/etc.d:/etc:/e"}},
        // An alternate root without a final slash is joined as it is.
        {"/usr/bin/tandro",
         "/x",
         {},
         {"/usr/bin/:/xusr/bin/", "/usr/lib/:/xusr/lib/",
          "/usr/share/locale/%L/%N:/xusr/share/locale/%L/%N", "/usr/share/man/:/xusr/share/man/",
          "/etc.d:/etc"}},
        {"/home/u/tree/usr/lpp/vanto/bin/tandro",
         "/home/u/tree/alt/",
         {nullptr, nullptr, nullptr, "/m"},
         {"/home/u/tree/usr/lpp/vanto/usr/bin/:/home/u/tree/usr/bin/:/home/u/tree/alt/usr/bin/",
          "/home/u/tree/usr/lpp/vanto/usr/lib/:/home/u/tree/usr/lib/:/home/u/tree/alt/usr/lib/",
          "/home/u/tree/usr/lpp/vanto/usr/share/locale/%L/%N:/home/u/tree/usr/share/"
          "locale/%L/%N:/home/u/tree/alt/usr/share/locale/%L/%N",
          "/home/u/tree/usr/lpp/vanto/usr/share/man/:/home/u/tree/usr/share/man/:"
          "/home/u/tree/alt/usr/share/man/:/m",
          "/home/u/tree/usr/lpp/vanto/etc.d:/home/u/tree/usr/lpp/vanto/etc:"
          "/home/u/tree/etc.d:/home/u/tree/etc"}},
        // An unrecognised layout adds the same entry twice and keeps the old ones.
        {"/tmp/tandro",
         nullptr,
         {"/tmp/usr/bin/"},
         {"/tmp/usr/bin/:/tmp/usr/bin/:/tmp/usr/bin/", "/tmp/usr/lib/:/tmp/usr/lib/",
          "/tmp/usr/share/locale/%L/%N:/tmp/usr/share/locale/%L/%N",
          "/tmp/usr/share/man/:/tmp/usr/share/man/", "/tmp/etc.d:/tmp/etc:/tmp/etc.d:/tmp/etc"}},
    };
    std::string saved[5];
    bool had[5];
    for (int i = 0; i < 5; i++)
        if ((had[i] = getenv(lists[i]) != nullptr))
            saved[i] = getenv(lists[i]);
    for (const auto &row : rows) {
        for (int i = 0; i < 5; i++)
            row.old[i] ? setenv(lists[i], row.old[i], 1) : unsetenv(lists[i]);
        char path[PATH_MAX], root_path[PATH_MAX];
        int_fast32_t installed, is_rte;
        ASSERT_EQ(0, relocate_layout(row.exe, path, root_path, &installed, &is_rte));
        relocate_paths(path, root_path, installed, row.altpath);
        for (int i = 0; i < 5; i++) {
            const char *v = getenv(lists[i]);
            EXPECT_STREQ(row.want[i], v ? v : "<unset>") << row.exe << " " << lists[i];
        }
    }
    for (int i = 0; i < 5; i++)
        had[i] ? setenv(lists[i], saved[i].c_str(), 1) : unsetenv(lists[i]);
}

// A scratch directory (canonical path); the working directory and PATH put back afterwards.
class Scratch : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/relocate_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = fs::canonical(tmpl);
        const char *p = getenv("PATH");
        path_ = p != nullptr ? p : "/usr/bin:/bin";
    }
    void TearDown() override
    {
        fs::current_path(cwd_);
        setenv("PATH", path_.c_str(), 1);
        fs::remove_all(dir_);
    }
    std::string file(const std::string &rel, const std::string &text = "")
    {
        std::string p = dir_ + "/" + rel;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p) << text;
        return p;
    }
    static std::string slurp(const std::string &p)
    {
        std::stringstream ss;
        ss << std::ifstream(p).rdbuf();
        return ss.str();
    }
    std::string dir_;

  private:
    fs::path cwd_ = fs::current_path();
    std::string path_;
};

using Whoami = Scratch;

TEST_F(Whoami, RelativeLinkedAndMissing)
{
    const std::string real = file("tree/usr/bin/tandro");
    ASSERT_EQ(0, symlink("tree/usr/bin/tandro", (dir_ + "/alias").c_str()));
    ASSERT_EQ(0, symlink("alias", (dir_ + "/alias2").c_str()));
    ASSERT_EQ(0, chdir((dir_ + "/tree/usr/bin").c_str()));

    EXPECT_STREQ(real.c_str(), safe_whoami("./tandro"));
    EXPECT_STREQ(real.c_str(), safe_whoami("../bin/./tandro"));
    EXPECT_STREQ(real.c_str(), safe_whoami((dir_ + "/alias2").c_str()));
    ASSERT_EQ(0, chdir(dir_.c_str()));
    EXPECT_STREQ(real.c_str(), safe_whoami("./alias"));

    ASSERT_EQ(0, unlink(real.c_str()));
    const char *gone = safe_whoami("./alias");
    ASSERT_NE(nullptr, gone);
    EXPECT_STREQ("", gone);
    gone = safe_whoami(std::string("/").append(PATH_MAX + 10, 'a').c_str());
    ASSERT_NE(nullptr, gone);
    EXPECT_STREQ("", gone);
}

// A bare argv[0] is never looked up itself: the kernel's record of the executed path wins.
TEST_F(Whoami, BareNameUsesTheExecutedPath)
{
    file("decoy/relocate_test");
    setenv("PATH", (dir_ + "/decoy").c_str(), 1);
    std::string bare = safe_whoami("relocate_test");
    std::string none = safe_whoami(nullptr);
    EXPECT_EQ(bare, none);
    ASSERT_GT(bare.size(), strlen("/relocate_test"));
    EXPECT_EQ("/relocate_test", bare.substr(bare.size() - strlen("/relocate_test")));
    EXPECT_EQ(std::string::npos, bare.find(dir_));
    EXPECT_EQ(0, access(bare.c_str(), X_OK));
}

TEST_F(Whoami, BareNameSearchesPathThenCurrentDirectory)
{
    const std::string in_b = file("b/prog"), here = file("cwd/prog");
    file("cwd/other");
    ASSERT_EQ(0, chdir((dir_ + "/cwd").c_str()));

    setenv("PATH", (dir_ + "/a::" + dir_ + "/b/").c_str(), 1);
    EXPECT_STREQ(in_b.c_str(), safe_whoami_name("prog"));
    setenv("PATH", (dir_ + "/a").c_str(), 1);
    EXPECT_STREQ(here.c_str(), safe_whoami_name("prog"));
    unsetenv("PATH");
    EXPECT_STREQ(here.c_str(), safe_whoami_name("prog"));
    EXPECT_STREQ((dir_ + "/cwd/other").c_str(), safe_whoami_name("other"));
    const char *nowhere = safe_whoami_name("nowhere");
    ASSERT_NE(nullptr, nowhere);
    EXPECT_STREQ("", nowhere);
    EXPECT_EQ(nullptr, safe_whoami_name(""));
}

class Manpage : public Scratch
{
  protected:
    void SetUp() override
    {
        Scratch::SetUp();
        file("bin/man", "#!/bin/sh\n"
                        "{ printf '%s\\n' \"$#\"; for a; do printf '[%s]\\n' \"$a\"; done; }"
                        " >\"$MAN_RECORD\"\n");
        ASSERT_EQ(0, chmod((dir_ + "/bin/man").c_str(), 0755));
        record_ = dir_ + "/record";
        setenv("MAN_RECORD", record_.c_str(), 1);
        setenv("PATH", (dir_ + "/bin:/usr/bin:/bin").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("MAN_RECORD");
        Scratch::TearDown();
    }
    std::string record_;
};

TEST_F(Manpage, ViewerGetsTheProgramNameAsOneArgument)
{
    const struct {
        const char *argv0;
        const char *args;
    } rows[] = {
        {"/usr/local/bin/tandro", "1\n[tandro]\n"},
        {"tandro", "1\n[tandro]\n"},
        {"./tools/tandro", "1\n[tandro]\n"},
        {"/usr/bin/cat-alias", "1\n[cat-alias]\n"},
        {"/opt/x/", "0\n"},
        {"/x/a b;c'd\"e", "1\n[a b;c'd\"e]\n"},
        {"$(touch pwned)", "1\n[$(touch pwned)]\n"},
    };
    ASSERT_EQ(0, chdir(dir_.c_str()));
    for (const auto &row : rows) {
        unlink(record_.c_str());
        EXPECT_EQ(0, safe_manpage(row.argv0, nullptr)) << row.argv0;
        EXPECT_EQ(row.args, slurp(record_)) << row.argv0;
    }
    EXPECT_NE(0, access((dir_ + "/pwned").c_str(), F_OK));
}

TEST_F(Manpage, EndsTheProcessWithTheGivenStatus)
{
    const int three = 3;
    EXPECT_EXIT(safe_manpage("/usr/bin/tandro", &three), ::testing::ExitedWithCode(3), "");
    EXPECT_EQ("1\n[tandro]\n", slurp(record_));
}

TEST_F(Manpage, MissingViewerIsNotAnError)
{
    setenv("PATH", dir_.c_str(), 1);
    unlink((dir_ + "/bin/man").c_str());
    EXPECT_EQ(0, safe_manpage("/usr/bin/a b", nullptr));
    EXPECT_EQ(0, safe_manpage("/usr/bin/tandro", nullptr));
}

} // namespace
