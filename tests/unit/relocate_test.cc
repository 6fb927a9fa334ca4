// Layout recognition, search-path order and trust, self-identification, the manual page command.
#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "libports.h"

namespace
{

namespace fs = std::filesystem;

TEST(RelocateLayout, ProductDirectoryRootAndFlags)
{
    const struct {
        const char *exe, *path, *root_path; // path null: refused with errno in installed
        int installed, is_rte;
    } rows[] = {
        {"/opt/qor/vanto/rte/usr/bin/tandro", "/opt/qor/vanto/rte/", "/", 1, 0},
        {"/opt/QOR/vanto/rte/tandro", "/opt/QOR/vanto/rte/", "/", 1, 0},
        {"/opt/qor/vanto/tandro", "/opt/qor/vanto/", "/opt/qor/vanto/", 0, 0},
        {"/usr/bin/deep/tandro", "/", "/", 1, 0},
        {"/sbin/tandro", "/", "/", 1, 0},
        {"/usr/binx/tandro", "/usr/binx/", "/usr/binx/", 0, 0},
        {"/h/t/opt/qor/vanto/rte/usr/bin/tandro", "/h/t/opt/qor/vanto/rte/", "/h/t/", 0, 0},
        {"/h/t/xopt/qor/v/rte/bin/tandro", "/h/t/xopt/qor/v/rte/", "/h/t/xopt/qor/v/rte/", 0, 0},
        {"/h/t/usr/lpp/vanto/bin/.orig/tandro", "/h/t/usr/lpp/vanto/", "/h/t/", 0, 1},
        {"/usr/lpp/vanto/bin/tandro", "/usr/lpp/vanto/", "/", 0, 1},
        {"/x/lpp/vanto/bin/tandro", "/x/lpp/vanto/", "/x/lpp/vanto/", 0, 0},
        {"/h/x/.orig/bin/tandro", "/h/x/.orig/", "/h/x/.orig/", 0, 0},
        {"/h/t/usr/sbin/tandro", "/h/t/", "/h/t/", 0, 0},
        {"/usr/tandro", "/", "/", 0, 0},
        {"/h/bins/tandro", "/h/bins/", "/h/bins/", 0, 0},
        {"/tandro", nullptr, nullptr, EINVAL, 0},
        {"bin/tandro", nullptr, nullptr, EINVAL, 0},
        {"", nullptr, nullptr, EINVAL, 0},
    };
    for (const auto &r : rows) {
        char path[PATH_MAX] = "", root_path[PATH_MAX] = "";
        int_fast32_t installed = 7, is_rte = 7;
        errno = 0;
        const int rc = relocate_layout(r.exe, path, root_path, &installed, &is_rte);
        if (r.path == nullptr) {
            EXPECT_EQ(-1, rc) << r.exe;
            EXPECT_EQ(r.installed, errno) << r.exe;
            continue;
        }
        EXPECT_EQ(0, rc) << r.exe;
        EXPECT_EQ(std::string(r.path) + r.root_path + std::to_string(r.installed + 2 * r.is_rte),
                  std::string(path) + root_path + std::to_string(installed + 2 * is_rte))
            << r.exe;
    }
    char path[PATH_MAX], root_path[PATH_MAX];
    int_fast32_t installed, is_rte;
    const std::string too_long = "/" + std::string(PATH_MAX, 'x') + "/bin/tandro";
    EXPECT_EQ(-1, relocate_layout(too_long.c_str(), path, root_path, &installed, &is_rte));
    EXPECT_EQ(ENAMETOOLONG, errno);
}

// A scratch directory (canonical path); the working directory and the lists put back afterwards.
class Scratch : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/relocate_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = fs::canonical(tmpl).string();
        for (const char *name : lists_)
            if (getenv(name) != nullptr)
                saved_.emplace_back(name, getenv(name));
    }
    void TearDown() override
    {
        fs::current_path(cwd_);
        for (const char *name : lists_)
            unsetenv(name);
        for (const auto &[name, value] : saved_)
            setenv(name.c_str(), value.c_str(), 1);
        fs::remove_all(dir_);
    }
    std::string dirs(const std::string &tree)
    {
        for (const char *sub :
             {"usr/bin", "usr/lib", "usr/share/locale", "usr/share/man", "etc", "etc.d"})
            fs::create_directories(dir_ + "/" + tree + sub);
        return dir_ + "/" + tree;
    }
    static std::string lists()
    {
        std::string all;
        for (const char *name : lists_)
            all += std::string(name) + "=" + (getenv(name) ? getenv(name) : "<unset>") + "\n";
        return all;
    }
    void relocate(const std::string &exe, const char *altpath)
    {
        setenv("PATH", "/usr/bin", 1);
        setenv("ETCPATH", "/e", 1);
        for (const char *name : {"LD_LIBRARY_PATH", "NLSPATH", "MANPATH"})
            unsetenv(name);
        char path[PATH_MAX], root_path[PATH_MAX];
        int_fast32_t installed, is_rte;
        ASSERT_EQ(0, relocate_layout(exe.c_str(), path, root_path, &installed, &is_rte));
        relocate_paths(path, root_path, installed, altpath);
    }
    std::string dir_;

  private:
    static constexpr const char *lists_[] = {"PATH", "LD_LIBRARY_PATH", "NLSPATH", "MANPATH",
                                             "ETCPATH"};
    fs::path cwd_ = fs::current_path();
    std::vector<std::pair<std::string, std::string>> saved_;
};

using SearchPaths = Scratch;

// Product directory, root, alternate root, old value; ETCPATH has no alternate
// entry; untrusted or missing directories and a second copy of a tree are left out.
TEST_F(SearchPaths, OrderTrustAndDuplicates)
{
    const std::string p = dirs("t/opt/qor/vanto/rte/"), r = dirs("t/"), a = dirs("t/alt/");
    const auto in_order = [&](const char *entry, const std::string &tail) {
        return p + entry + ":" + r + entry + ":" + a + entry + tail;
    };
    relocate(p + "usr/bin/tandro", a.c_str());
    EXPECT_EQ("PATH=" + in_order("usr/bin/", ":/usr/bin") + "\nLD_LIBRARY_PATH=" +
                  in_order("usr/lib/", "") + "\nNLSPATH=" + in_order("usr/share/locale/%L/%N", "") +
                  "\nMANPATH=" + in_order("usr/share/man/", "") + "\nETCPATH=" + p + "etc.d:" + p +
                  "etc:" + r + "etc.d:" + r + "etc:/e\n",
              lists());

    chmod((r + "usr/lib").c_str(), 0777);
    chmod((a + "usr/share").c_str(), 0775);
    fs::remove(p + "etc");
    relocate(p + "usr/bin/tandro", a.c_str());
    EXPECT_EQ(p + "usr/lib/:" + a + "usr/lib/", getenv("LD_LIBRARY_PATH"));
    EXPECT_EQ(p + "usr/share/man/:" + r + "usr/share/man/", getenv("MANPATH"));
    EXPECT_EQ(p + "etc.d:" + r + "etc.d:" + r + "etc:/e", getenv("ETCPATH"));

    const std::string u = dir_ + "/u/";
    fs::create_directories(u + "usr/bin");
    relocate(u + "bin/tandro", nullptr);
    EXPECT_EQ("PATH=" + u +
                  "usr/bin/:/usr/bin\nLD_LIBRARY_PATH=<unset>\nNLSPATH=<unset>\n"
                  "MANPATH=<unset>\nETCPATH=/e\n",
              lists());
}

using Whoami = Scratch;

// Whatever argv[0] says, the answer is the running program; argv[0] only names it.
TEST_F(Whoami, TheRunningProgramWhateverArgv0Says)
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
                                  "/" + std::string(PATH_MAX + 10, 'a'),
                                  "./decoy/relocate_test"};
    for (const auto &argv0 : argv0s)
        EXPECT_EQ(self, safe_whoami(argv0.c_str())) << argv0.substr(0, 40);
    EXPECT_EQ(self, safe_whoami(nullptr));
    EXPECT_EQ(dir_ + "/decoy/relocate_test", safe_whoami_name("relocate_test"));
    unsetenv("PATH");
    EXPECT_EQ(self, safe_whoami_name("alias"));
}

class Manpage : public Scratch
{
  protected:
    void SetUp() override
    {
        Scratch::SetUp();
        fs::create_directories(dir_ + "/bin");
        std::ofstream(dir_ + "/bin/man") << "#!/bin/sh\n{ printf '%s\\n' \"$#\"; for a; do "
                                            "printf '[%s]\\n' \"$a\"; done; } >\"$MAN_RECORD\"\n";
        ASSERT_EQ(0, chmod((dir_ + "/bin/man").c_str(), 0755));
        setenv("MAN_RECORD", (dir_ + "/record").c_str(), 1);
        setenv("PATH", (dir_ + "/bin:/usr/bin:/bin").c_str(), 1);
        ASSERT_EQ(0, chdir(dir_.c_str()));
    }
    std::string record()
    {
        std::stringstream ss;
        ss << std::ifstream(dir_ + "/record").rdbuf();
        unlink((dir_ + "/record").c_str());
        return ss.str();
    }
};

// The viewer gets the program's name as one argument, never through a shell's eyes.
TEST_F(Manpage, ViewerGetsTheNameAsOneArgument)
{
    const struct {
        const char *argv0, *args;
    } rows[] = {
        {"/usr/local/bin/tandro", "1\n[tandro]\n"},
        {"tandro", "1\n[tandro]\n"},
        {"/opt/x/", "0\n"},
        {"/x/a b;c'd\"e", "1\n[a b;c'd\"e]\n"},
        {"$(touch pwned)", "1\n[$(touch pwned)]\n"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(0, safe_manpage(row.argv0, nullptr)) << row.argv0;
        EXPECT_EQ(row.args, record()) << row.argv0;
    }
    EXPECT_FALSE(fs::exists(dir_ + "/pwned"));
    const int three = 3;
    EXPECT_EXIT(safe_manpage("/usr/bin/tandro", &three), ::testing::ExitedWithCode(3), "");
    EXPECT_EQ("1\n[tandro]\n", record());
}

} // namespace
