#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fast_stream.h"

namespace
{

bool nonblocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

TEST(FastStream, PipeIsEnlargedMadeNonBlockingAndBuffered)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *fp = fdopen(p[1], "w");
    void *buffer = fast_stream(fp);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 4096, 0u);
    EXPECT_EQ(__fbufsize(fp), size_t(MAX_BUFFER));
    EXPECT_EQ(__flbf(fp), 0) << "expected full buffering";
    EXPECT_TRUE(nonblocking(p[1]));
    EXPECT_EQ(fcntl(p[1], F_GETPIPE_SZ), MAX_PIPE);
    fclose(fp);
    free(buffer);
    close(p[0]);
}

TEST(FastStream, TerminalEndsBlockingWithoutAppend)
{
    int primary, secondary;
    if (openpty(&primary, &secondary, nullptr, nullptr, nullptr) != 0)
        GTEST_SKIP() << "no pseudo-terminal";
    fcntl(secondary, F_SETFL, fcntl(secondary, F_GETFL) | O_APPEND);
    FILE *fp = fdopen(secondary, "w");
    void *buffer = fast_stream(fp);
    EXPECT_EQ(fcntl(secondary, F_GETFL) & (O_NONBLOCK | O_APPEND), 0);
    fclose(fp);
    free(buffer);
    close(primary);
}

// The standard descriptors are shared with the shell: whoever calls exit(),
// they get back the flags they had (the program's own end: options.table).
TEST(FastStream, StandardDescriptorsGetTheirFlagsBackAtExit)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        fast_stream(stdout);
        exit(nonblocking(1) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "fast_stream left standard output blocking";
    EXPECT_FALSE(nonblocking(p[1])) << "exit must undo what fast_stream did";
    close(p[0]);
    close(p[1]);
}

TEST(CloseStream, FlushesAndKeepsErrno)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    ASSERT_GE(fputs("kept", fp), 0);
    errno = EDOM;
    EXPECT_EQ(close_stream(fp, nullptr), nullptr);
    EXPECT_EQ(errno, EDOM);
    char got[8] = {};
    EXPECT_EQ(pread(fileno(fp), got, sizeof got, 0), 4);
    fclose(fp);
}

} // namespace
