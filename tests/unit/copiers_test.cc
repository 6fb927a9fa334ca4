// What only a unit test reaches in the record copiers: a record buffer that
// cannot grow, behind a fake driver that claims an enormous record.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "copiers.h"

namespace
{

int reads;

uint64_t fake_read(vfs_file *, vfs_iovec *iov, uint64_t, vfs_rec_info *, const vfs_shlock *,
                   vfs_position, ...)
{
    if (reads++ == 0) {
        memcpy(iov->ptr, "small", 5);
        return 5;
    }
    return UINT64_C(1) << 62; // never fits: every buffer is too short
}

int fake_eof(vfs_file *)
{
    return 0;
}

const char *fake_strerror(vfs_file *, uint32_t, uint32_t *, const uint32_t *)
{
    return "fake";
}

TEST(RecordCopier, LinesReadBeforeAFailedGrowthAreWritten)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer aborts on the huge allocation instead of failing it";
#endif
    struct vfs_api api = {};
    api.vfs_read = fake_read;
    api.vfs_eof = fake_eof;
    api.vfs_strerror = fake_strerror;
    vfs_file fh = {};
    fh.fd = open("/dev/null", O_RDONLY);
    vfs_file_info info = {};
    info.fname = const_cast<char *>("fake");
    info.datlen = VFS_ERROR;

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    int saved = dup(1);
    dup2(out[1], 1);
    int rc = read_lines(&api, &fh, &info);
    int err = errno;
    dup2(saved, 1);
    close(saved);
    close(out[1]);
    char got[16] = {};
    ssize_t n = read(out[0], got, sizeof got);
    close(out[0]);
    close(fh.fd);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, ENOMEM);
    EXPECT_EQ(std::string(got, n > 0 ? (size_t)n : 0), "small\n");
}

} // namespace
