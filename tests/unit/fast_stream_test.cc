#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>

#include "fast_stream.h"

namespace
{

constexpr int one_mib = 1048576;

// A stream and the buffer fast_stream gave it, released in the documented order.
struct Tuned {
    FILE *fp;
    void *buffer;
    explicit Tuned(FILE *f) : fp(f), buffer(fast_stream(f)) {}
    ~Tuned()
    {
        fclose(fp);
        free(buffer);
    }
};

void expect_tuned_buffer(const Tuned &t)
{
    ASSERT_NE(t.buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t.buffer) % 4096, 0u);
    EXPECT_EQ(__fbufsize(t.fp), size_t(MAX_BUFFER));
    EXPECT_EQ(__flbf(t.fp), 0) << "expected full buffering";
}

bool nonblocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

TEST(FastStream, PipeIsEnlargedMadeNonBlockingAndBuffered)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_LT(fcntl(p[1], F_GETPIPE_SZ), one_mib);
    {
        Tuned t(fdopen(p[1], "w"));
        expect_tuned_buffer(t);
        EXPECT_TRUE(nonblocking(p[1]));
        EXPECT_EQ(fcntl(p[1], F_GETPIPE_SZ), one_mib);

        // More than a default pipe buffer stays in our buffer until flushed.
        std::string data(5000, 'x');
        data[4999] = '\n';
        ASSERT_EQ(fwrite(data.data(), 1, data.size(), t.fp), data.size());
        EXPECT_EQ(memcmp(t.buffer, data.data(), data.size()), 0);
        EXPECT_EQ(__fpending(t.fp), data.size());
        ASSERT_EQ(fflush(t.fp), 0);
        std::string got(8192, '\0');
        EXPECT_EQ(read(p[0], got.data(), got.size()), ssize_t(data.size()));
    }
    close(p[0]);
}

TEST(FastStream, LargerPipeKeepsItsCapacity)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    if (fcntl(p[0], F_SETPIPE_SZ, 2 * one_mib) < 0) {
        close(p[0]);
        GTEST_SKIP() << "cannot raise a pipe to 2 MiB here: " << strerror(errno);
    }
    Tuned t(fdopen(p[0], "r"));
    expect_tuned_buffer(t);
    EXPECT_EQ(fcntl(p[0], F_GETPIPE_SZ), 2 * one_mib);
    EXPECT_TRUE(nonblocking(p[0]));
}

int sockbuf(int fd, int option)
{
    unsigned v = 0;
    socklen_t len = sizeof v;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, option, &v, &len), 0);
    return int(v);
}

// The kernel caps a request at the *mem_max limit and reports twice what it kept.
int expected_after_request(const char *limit_path)
{
    long limit = -1;
    std::ifstream(limit_path) >> limit;
    return limit < 0 ? -1 : int(2 * std::min<long>(limit, one_mib));
}

TEST(FastStream, SmallSocketBuffersAreRequestedAtOneMiB)
{
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    unsigned small = 16384;
    ASSERT_EQ(setsockopt(s[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(setsockopt(s[0], SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    int snd0 = sockbuf(s[0], SO_SNDBUF), rcv0 = sockbuf(s[0], SO_RCVBUF);
    ASSERT_LT(snd0, one_mib);
    ASSERT_LT(rcv0, one_mib);
    {
        Tuned t(fdopen(s[0], "r+"));
        expect_tuned_buffer(t);
        EXPECT_TRUE(nonblocking(s[0]));
        int snd = sockbuf(s[0], SO_SNDBUF), rcv = sockbuf(s[0], SO_RCVBUF);
        EXPECT_GT(snd, snd0);
        EXPECT_GT(rcv, rcv0);
        int want_snd = expected_after_request("/proc/sys/net/core/wmem_max");
        int want_rcv = expected_after_request("/proc/sys/net/core/rmem_max");
        if (want_snd > 0) {
            EXPECT_EQ(snd, want_snd);
        }
        if (want_rcv > 0) {
            EXPECT_EQ(rcv, want_rcv);
        }
    }
    close(s[1]);
}

TEST(FastStream, LargeSocketBuffersAreLeftAlone)
{
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    // 3 MiB is reported as 6 MiB; a needless 1 MiB request would shrink it.
    unsigned big = 3 * one_mib;
    if (setsockopt(s[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0 ||
        setsockopt(s[0], SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
        close(s[0]);
        close(s[1]);
        GTEST_SKIP() << "forcing socket buffers needs privilege: " << strerror(errno);
    }
    int snd0 = sockbuf(s[0], SO_SNDBUF), rcv0 = sockbuf(s[0], SO_RCVBUF);
    ASSERT_GE(snd0, one_mib);
    ASSERT_GE(rcv0, one_mib);
    {
        Tuned t(fdopen(s[0], "w"));
        expect_tuned_buffer(t);
        EXPECT_EQ(sockbuf(s[0], SO_SNDBUF), snd0);
        EXPECT_EQ(sockbuf(s[0], SO_RCVBUF), rcv0);
    }
    close(s[1]);
}

// A pseudo-terminal pair; the secondary side is opened with the given flags.
struct Pty {
    int primary = -1, secondary = -1;
    explicit Pty(int flags = 0)
    {
        primary = posix_openpt(O_RDWR | O_NOCTTY);
        if (primary < 0 || grantpt(primary) != 0 || unlockpt(primary) != 0)
            return;
        secondary = open(ptsname(primary), O_RDWR | O_NOCTTY | flags);
    }
    ~Pty()
    {
        if (primary >= 0)
            close(primary);
    }
    bool ok() const { return secondary >= 0; }
};

TEST(FastStream, TerminalEndsBlockingWithoutAppendAndFullyBuffered)
{
    Pty pty(O_APPEND);
    if (!pty.ok())
        GTEST_SKIP() << "no pseudo-terminal: " << strerror(errno);
    ASSERT_TRUE(fcntl(pty.secondary, F_GETFL) & O_APPEND);
    Tuned t(fdopen(pty.secondary, "w"));
    expect_tuned_buffer(t);
    int flags = fcntl(pty.secondary, F_GETFL);
    EXPECT_FALSE(flags & O_NONBLOCK);
    EXPECT_FALSE(flags & O_APPEND);
    // Full buffering even on a terminal: a whole line stays in the buffer.
    ASSERT_GE(fputs("line\n", t.fp), 0);
    EXPECT_EQ(__fpending(t.fp), 5u);
}

// Runs setup and fast_stream(which) in a child; returns 'L' for line and 'F'
// for full buffering of that stream as the child saw it.
char mode_in_child(const std::function<void()> &setup, FILE *(*which)())
{
    pid_t pid = fork();
    if (pid == 0) {
        setup();
        FILE *fp = which();
        void *buffer = fast_stream(fp);
        bool ok = buffer != nullptr && __fbufsize(fp) == size_t(MAX_BUFFER);
        _exit(!ok ? 3 : __flbf(fp) ? 'L' : 'F');
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return '?';
    return char(WEXITSTATUS(status));
}

FILE *(*const in)() = [] { return stdin; };
FILE *(*const err)() = [] { return stderr; };

std::string scratch_file(const char *tag)
{
    return testing::TempDir() + "fast_stream_" + tag + "_" + std::to_string(getpid());
}

TEST(FastStream, StandardStreamBufferingModes)
{
    Pty pty;
    if (!pty.ok())
        GTEST_SKIP() << "no pseudo-terminal: " << strerror(errno);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string a = scratch_file("a"), b = scratch_file("b");
    int fa = open(a.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int fa2 = open(a.c_str(), O_WRONLY);
    int fb = open(b.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fa2, 0);
    ASSERT_GE(fb, 0);

    EXPECT_EQ(mode_in_child([&] { dup2(pty.secondary, 0); }, in), 'L');
    EXPECT_EQ(mode_in_child([&] { dup2(p[0], 0); }, in), 'F');
    EXPECT_EQ(mode_in_child([&] { dup2(pty.secondary, 2); }, err), 'L');
    // Same file through two separate opens still counts as the same file.
    EXPECT_EQ(mode_in_child([&] { dup2(fa, 1), dup2(fa2, 2); }, err), 'L');
    EXPECT_EQ(mode_in_child([&] { dup2(fa, 1), dup2(fb, 2); }, err), 'F');
    EXPECT_EQ(mode_in_child([&] { dup2(fa, 1), dup2(p[1], 2); }, err), 'F');
    // Neither can be examined: both compare as all zeros.
    EXPECT_EQ(mode_in_child([&] { close(1), close(2); }, err), 'L');

    close(fa), close(fa2), close(fb), close(p[0]), close(p[1]);
    close(pty.secondary);
    unlink(a.c_str()), unlink(b.c_str());
}

// Flushes, syncs where it can, and keeps errno whatever the sync says.
TEST(CloseStream, FlushesAndKeepsErrno)
{
    errno = EDOM;
    EXPECT_EQ(close_stream(nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EDOM);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *fp = fdopen(p[1], "w");
    char buffer[64];
    setvbuf(fp, buffer, _IOFBF, sizeof buffer);
    fputs("abc", fp);
    errno = ERANGE; // fdatasync on a pipe fails with EINVAL underneath
    EXPECT_EQ(close_stream(fp, buffer), nullptr);
    EXPECT_EQ(errno, ERANGE);
    char got[16] = {};
    EXPECT_EQ(read(p[0], got, sizeof got), 3);
    EXPECT_STREQ(got, "abc");
    fclose(fp);
    close(p[0]);

    std::string path = scratch_file("close");
    fp = fopen(path.c_str(), "w+");
    ASSERT_NE(fp, nullptr);
    fputs("payload", fp);
    errno = 0;
    EXPECT_EQ(close_stream(fp, nullptr), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(pread(fileno(fp), got, sizeof got, 0), 7);
    EXPECT_STREQ(got, "payload");
    fclose(fp);
    unlink(path.c_str());

    // A stream without a descriptor is left as it is.
    char mem[16] = {};
    fp = fmemopen(mem, sizeof mem, "w");
    ASSERT_NE(fp, nullptr);
    fputs("abc", fp);
    errno = ENOSPC;
    EXPECT_EQ(close_stream(fp, nullptr), nullptr);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(__fpending(fp), 3u);
    fclose(fp);
    EXPECT_STREQ(mem, "abc");
}

} // namespace
