// Name resolution, file descriptions, error texts, and the keyed driver's
// environment and locks: what the program relies on before it copies.
#include <sys/file.h>
#include <sys/stat.h>

#include "vfs_support.h"

using namespace vfs_test;

namespace
{

struct resolved {
    std::string eye; // "" for null
    int err = 0;
    std::string real; // "" for none
};

resolved resolve(const std::string &name)
{
    char *real = nullptr;
    errno = 1234;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfs_cli", name.c_str(), &real);
    resolved r{api != nullptr ? api->vfs_eye : "", errno, real != nullptr ? real : ""};
    free(real);
    return r;
}

using resolution = scratch;

TEST_F(resolution, names_prefixes_and_headers)
{
    ASSERT_EQ(chdir(dir.c_str()), 0);
    put_file(path("plain"), "text\n");
    put_file(path("x:y"), "1");
    mkdir(path("umb2").c_str(), 0755);
    ASSERT_EQ(make("tev,header:" + path("h"), {"a"}), "");
    struct {
        std::string name;
        resolved want;
    } table[] = {
        {path("plain"), {"vfs_oka", 0, ""}},
        {path("missing"), {"vfs_oka", 0, ""}},
        {"umb:" + path("plain"), {"vfs_umb", 0, path("plain")}},
        {"dox,recfm=vb,lrecl=200:" + path("plain"), {"vfs_dox", 0, path("plain")}},
        {"tev:" + path("missing"), {"vfs_tev", 0, path("missing")}},
        {path("h"), {"vfs_tev", 0, ""}},
        {"tev:" + path("h"), {"vfs_tev", 0, path("h")}},
        {"umb:" + path("h"), {"vfs_tev", EBADF, ""}},
        {"yar:" + path("h"), {"vfs_tev", EBADF, ""}},
        {"umb,recfm=x:" + path("plain"), {"", EINVAL, "unknown option recfm=x"}},
        {"dox,speed=9:" + path("plain"), {"", EINVAL, "unknown option speed=9"}},
        {"tev,recfm=vb:" + path("plain"), {"", EINVAL, "unknown option recfm=vb"}},
        {"umb,varfmt=0,lrecl=70000:" + path("plain"),
         {"", EINVAL, "record length 70000 beyond maximum 65535"}},
        {"yar:" + path("plain"), {"", EINVAL, "no header"}},
        // Only the five ids make a prefix.
        {"./x:y", {"vfs_oka", 0, ""}},
        {"x:y", {"vfs_oka", 0, ""}},
        {"UMB:x", {"vfs_oka", 0, ""}},
        {"umbx:y", {"vfs_oka", 0, ""}},
        {"umb2:y", {"vfs_oka", 0, ""}},
    };
    for (auto &t : table) {
        SCOPED_TRACE(t.name);
        resolved r = resolve(t.name);
        EXPECT_EQ(r.eye, t.want.eye);
        EXPECT_EQ(r.err, t.want.err);
        EXPECT_EQ(r.real, t.want.real);
    }
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(resolution, prefix_options_reach_the_open_of_the_bare_path)
{
    ASSERT_EQ(make("dox,recfm=vb,blksize=100:" + path("f"), {"one", "two"}), "");
    opened o("dox,recfm=vb:" + path("f"));
    EXPECT_EQ(o.name, path("f"));
    ASSERT_EQ(o.why, "");
    EXPECT_EQ(o.info.recfm, vfs_rec_variable);
    EXPECT_EQ(read_walk(o).records, (std::vector<std::string>{"one", "two"}));
}

TEST_F(resolution, program_description_applies_without_prefix_options)
{
    put_file(path("f"), "aaaabbbb");
    opened with_len("dox:" + path("f"), 4);
    EXPECT_EQ(with_len.info.recfm, vfs_rec_fixed);
    EXPECT_EQ(with_len.info.datlen, 4u);
    EXPECT_EQ(with_len.info.records, 2u);
    EXPECT_EQ(read_walk(with_len).records, (std::vector<std::string>{"aaaa", "bbbb"}));
    // A prefix option wins over the program's record length.
    opened prefixed("dox,lrecl=2:" + path("f"), 4);
    EXPECT_EQ(prefixed.info.datlen, 2u);
    EXPECT_EQ(prefixed.info.records, 4u);
}

TEST_F(resolution, fixed_file_without_length_describes_itself_as_unknown)
{
    put_file(path("f"), "0123456789");
    opened o("dox:" + path("f"));
    ASSERT_EQ(o.why, "");
    EXPECT_EQ(o.info.recfm, vfs_rec_fixed);
    EXPECT_EQ(o.info.datlen, VFS_ERROR);
    EXPECT_EQ(o.info.records, VFS_ERROR);
    EXPECT_EQ(o.fh->data_offset, 0u);
    EXPECT_EQ(lseek(o.fh->fd, 0, SEEK_CUR), 0);
    vfs_iovec iov{0, nullptr};
    EXPECT_EQ(o.api->vfs_seek(o.fh, &iov, 1, nullptr, nullptr, vfs_pos_first, UINT64_C(0)),
              VFS_ERROR);
    EXPECT_EQ(lib_text(o.fh, errno), "record length unknown");
}

TEST_F(resolution, header_describes_the_file)
{
    ASSERT_EQ(make("umb,lrecl=10,header:" + path("f"), {"a", "b", "c"}), "");
    opened o(path("f"), 99, vfs_rec_variable);
    ASSERT_EQ(o.why, "");
    EXPECT_EQ(o.info.recfm, vfs_rec_fixed);
    EXPECT_EQ(o.info.datlen, 10u);
    EXPECT_EQ(o.info.records, 3u);
    EXPECT_EQ(o.info.bytes, 30u);
    EXPECT_EQ(lseek(o.fh->fd, 0, SEEK_CUR), static_cast<off_t>(vfs::header_size));
    ASSERT_EQ(make("tev,header:" + path("t"), {"longest line", "x"}), "");
    opened t(path("t"));
    EXPECT_EQ(t.info.datlen, 12u);
    EXPECT_EQ(t.info.records, 2u);
}

TEST(errors, texts_and_numbers)
{
    uint32_t out = 0;
    EXPECT_STREQ(vfs_api.vfs_strerror(nullptr, ENOENT, &out, &lookup), strerror(ENOENT));
    EXPECT_EQ(out, static_cast<uint32_t>(ENOENT));
    EXPECT_STREQ(vfs_api.vfs_strerror(nullptr, vfs::e_bad_rdw, &out, &lookup),
                 "bad record descriptor word");
    EXPECT_EQ(out, static_cast<uint32_t>(vfs::e_bad_rdw));
    EXPECT_EQ(vfs_api.vfs_close(nullptr, nullptr), 0);
    vfs_file_info info{};
    std::string missing = "/nonexistent/dir/f";
    info.fname = missing.data();
    EXPECT_EQ(vfs::umb_driver.table->vfs_open(&info), nullptr);
    EXPECT_EQ(errno, ENOENT);
    info.omode = 1;
    EXPECT_EQ(vfs::umb_driver.table->vfs_open(&info), nullptr);
    EXPECT_EQ(errno, ENOTSUP);
}

TEST(tables, every_operation_is_filled_and_unsupported_ones_fail_honestly)
{
    const struct vfs_api *tables[] = {&vfs_api,
                                      vfs::oka_driver.table,
                                      vfs::umb_driver.table,
                                      vfs::tev_driver.table,
                                      vfs::dox_driver.table,
                                      vfs::yar_driver.table};
    const char *eyes[] = {"vfs_api", "vfs_oka", "vfs_umb", "vfs_tev", "vfs_dox", "vfs_yar"};
    for (int i = 0; i < 6; i++) {
        const struct vfs_api *t = tables[i];
        EXPECT_EQ(memcmp(t->vfs_eye, eyes[i], 8), 0);
        EXPECT_EQ(t->vfs_vrm, 0x20210520u);
        EXPECT_EQ(t->vfs_size, sizeof(struct vfs_api));
        // Every slot after the flags word holds a function.
        const auto *first = reinterpret_cast<void *const *>(&t->vfs_resolve);
        const auto *last = reinterpret_cast<void *const *>(&t->vfs_strerror);
        for (const auto *p = first; p <= last; p++)
            EXPECT_NE(*p, nullptr) << eyes[i] << " slot " << (p - first);
        errno = 0;
        EXPECT_EQ(t->vfs_rewrite(nullptr, nullptr, 0, nullptr, nullptr, vfs_pos_curr, UINT64_C(0)),
                  VFS_ERROR);
        EXPECT_EQ(errno, ENOTSUP);
        EXPECT_EQ(t->vfs_lock(nullptr, nullptr, 0, nullptr, nullptr, vfs_pos_curr, UINT64_C(0)),
                  -1);
    }
}

class keyed_env : public scratch
{
  protected:
    void SetUp() override
    {
        scratch::SetUp();
        unsetenv("YAR_CACHE_OPTIMIZE_ENABLED");
        unsetenv("MERO_YAR_CACHE");
    }
    void TearDown() override
    {
        unsetenv("YAR_CACHE_OPTIMIZE_ENABLED");
        unsetenv("MERO_YAR_CACHE");
        scratch::TearDown();
    }
};

TEST_F(keyed_env, cache_optimize_enlarges_the_cache)
{
    ASSERT_EQ(make("yar:" + path("f"), {"a"}), "");
    {
        opened o(path("f"));
        EXPECT_EQ(o.fh->dcache.count, 2u);
        EXPECT_EQ(o.fh->dcache.buffers[0].buffsize, 64u * 1024);
    }
    setenv("YAR_CACHE_OPTIMIZE_ENABLED", "1", 1);
    opened o(path("f"));
    EXPECT_EQ(o.fh->dcache.count, 4u);
    EXPECT_EQ(o.fh->dcache.buffers[0].buffsize, 1024u * 1024);
}

TEST_F(keyed_env, unfinished_file_needs_dirty_reads)
{
    std::string name = "yar:" + path("f");
    vfs_file_info w = blank_info(name);
    ASSERT_EQ(vfs_api.vfs_create(&w), 0);
    for (const char *r : {"a1", "b2", "c3"}) {
        vfs_iovec iov{2, const_cast<char *>(r)};
        ASSERT_EQ(w.api->vfs_write(w.fh, &iov, 1, nullptr, nullptr, vfs_pos_next, UINT64_C(0)), 2u);
    }
    ASSERT_EQ(w.api->vfs_sync(w.fh), 0);
    {
        opened locked(path("f"));
        EXPECT_EQ(locked.why, "file is locked by a writer");
    }
    setenv("MERO_YAR_CACHE", "::ALLOW_DIRTY_READS", 1);
    // Half of the last record is on disk: the reader stops before it.
    std::string part = get_file(path("f"));
    put_file(path("g"), part.substr(0, part.size() - 3));
    opened dirty(path("g"));
    ASSERT_EQ(dirty.why, "");
    EXPECT_EQ(dirty.info.records, VFS_ERROR);
    walk d = read_walk(dirty);
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.records, (std::vector<std::string>{"a1", "b2"}));
    unsetenv("MERO_YAR_CACHE");
    ASSERT_EQ(w.api->vfs_close(w.fh, &w), 0);
    EXPECT_EQ(w.records, 3u);
    opened unlocked(path("g"));
    EXPECT_EQ(unlocked.why, "file is being written");
    opened done(path("f"));
    EXPECT_EQ(read_walk(done).records, (std::vector<std::string>{"a1", "b2", "c3"}));
}

} // namespace
