// Layout recognition, search-path order and trust, self-identification.
#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "libports.h"

namespace
{

namespace fs = std::filesystem;

// Product directory, root and the flags installed and is_rte as one text; errno after a refusal.
std::string layout(const std::string &exe)
{
    char path[PATH_MAX], root_path[PATH_MAX];
    int_fast32_t installed, is_rte;
    if (relocate_layout(exe.c_str(), path, root_path, &installed, &is_rte) != 0)
        return "errno " + std::to_string(errno);
    return std::string(path) + " " + root_path + " " + std::to_string(installed * 10 + is_rte);
}

TEST(RelocateLayout, ProductDirectoryRootAndFlags)
{
    const char *const rows[][2] = {
        {"/opt/qor/vanto/rte/usr/bin/tandro", "/opt/qor/vanto/rte/ / 10"},
        {"/opt/QOR/vanto/rte/tandro", "/opt/QOR/vanto/rte/ / 10"},
        {"/opt/qor/vanto/tandro", "/opt/qor/vanto/ /opt/qor/vanto/ 0"},
        {"/usr/bin/deep/tandro", "/ / 10"},
        {"/usr/binx/tandro", "/usr/binx/ /usr/binx/ 0"},
        {"/h/t/opt/qor/vanto/rte/usr/bin/tandro", "/h/t/opt/qor/vanto/rte/ /h/t/ 0"},
        {"/h/t/xopt/qor/v/rte/bin/tandro", "/h/t/xopt/qor/v/rte/ /h/t/xopt/qor/v/rte/ 0"},
        {"/h/t/usr/lpp/vanto/bin/.orig/tandro", "/h/t/usr/lpp/vanto/ /h/t/ 1"},
        {"/usr/lpp/vanto/bin/tandro", "/usr/lpp/vanto/ / 1"},
        {"/x/lpp/vanto/bin/tandro", "/x/lpp/vanto/ /x/lpp/vanto/ 0"},
        {"/h/x/.orig/bin/tandro", "/h/x/.orig/ /h/x/.orig/ 0"},
        {"/h/t/usr/sbin/tandro", "/h/t/ /h/t/ 0"},
        {"/h/bins/tandro", "/h/bins/ /h/bins/ 0"},
        {"/tandro", "errno 22"},
        {"bin/tandro", "errno 22"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row[1], layout(row[0])) << row[0];
    EXPECT_EQ("errno 36", layout("/" + std::string(PATH_MAX, 'x') + "/bin/tandro"));
}

// A scratch directory (canonical path); each test sets the variables it reads.
class Scratch : public ::testing::Test
{
  protected:
    static constexpr const char *lists_[] = {"PATH", "LD_LIBRARY_PATH", "NLSPATH", "MANPATH",
                                             "ETCPATH"};
    std::string dir_ = [] {
        char tmpl[] = "/tmp/relocate_test.XXXXXX";
        return fs::canonical(mkdtemp(tmpl)).string();
    }();
    void TearDown() override { fs::remove_all(dir_); }
    std::string tree(const std::string &rel)
    {
        for (const char *sub :
             {"usr/bin", "usr/lib", "usr/share/locale", "usr/share/man", "etc", "etc.d"})
            fs::create_directories(dir_ + "/" + rel + sub);
        return dir_ + "/" + rel;
    }
    // The five lists after relocating exe from PATH=/usr/bin, ETCPATH=/e, the others unset.
    static std::string relocated(const std::string &exe, const char *altpath)
    {
        for (const char *name : lists_)
            unsetenv(name);
        setenv("PATH", "/usr/bin", 1);
        setenv("ETCPATH", "/e", 1);
        char path[PATH_MAX], root_path[PATH_MAX];
        int_fast32_t installed, is_rte;
        if (relocate_layout(exe.c_str(), path, root_path, &installed, &is_rte) == 0)
            relocate_paths(path, root_path, installed, altpath);
        std::string all;
        for (const char *name : lists_)
            all += std::string(name) + "=" + (getenv(name) ? getenv(name) : "") + "\n";
        return all;
    }
};

// Product directory, root, alternate root, old value; ETCPATH has no alternate entry.
TEST_F(Scratch, SearchPathOrder)
{
    const std::string p = tree("t/opt/qor/vanto/rte/"), r = tree("t/"), a = tree("t/alt/");
    const auto all3 = [&](const char *entry) {
        return p + entry + ":" + r + entry + ":" + a + entry;
    };
    EXPECT_EQ("PATH=" + all3("usr/bin/") + ":/usr/bin\nLD_LIBRARY_PATH=" + all3("usr/lib/") +
                  "\nNLSPATH=" + all3("usr/share/locale/%L/%N") +
                  "\nMANPATH=" + all3("usr/share/man/") + "\nETCPATH=" + p + "etc.d:" + p +
                  "etc:" + r + "etc.d:" + r + "etc:/e\n",
              relocated(p + "usr/bin/tandro", a.c_str()));
}

// Whatever argv[0] says, the answer is the running program; argv[0] only names it.
TEST_F(Scratch, WhoamiIsTheRunningProgram)
{
    const std::string self = fs::canonical("/proc/self/exe").string();
    fs::create_directories(dir_ + "/decoy");
    std::ofstream(dir_ + "/decoy/relocate_test") << "#!/bin/sh\n";
    chmod((dir_ + "/decoy/relocate_test").c_str(), 0755);
    fs::create_symlink(self, dir_ + "/alias");
    setenv("PATH", (dir_ + "/decoy").c_str(), 1);
    ASSERT_EQ(0, chdir(dir_.c_str()));
    const std::string argv0s[] = {"./alias",
                                  "../" + fs::path(dir_).filename().string() + "/alias",
                                  "/bin/echo",
                                  "relocate_test",
                                  "/" + std::string(PATH_MAX, 'a'),
                                  "./decoy/relocate_test"};
    for (const auto &argv0 : argv0s)
        EXPECT_EQ(self, safe_whoami(argv0.c_str())) << argv0.substr(0, 40);
    EXPECT_EQ(self, safe_whoami(nullptr));
    EXPECT_EQ(dir_ + "/decoy/relocate_test", safe_whoami_name("relocate_test"));
    unsetenv("PATH");
    EXPECT_EQ(self, safe_whoami_name("alias"));
}

// The page's viewer may be missing; the given status still ends the process.
TEST_F(Scratch, ManpageEndsWithTheGivenStatus)
{
    setenv("PATH", dir_.c_str(), 1);
    const int three = 3;
    EXPECT_EXIT(safe_manpage("/usr/bin/tandro", &three), ::testing::ExitedWithCode(3), "");
}

} // namespace
