#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <unistd.h>

#include "fast_stream.h"

namespace
{

int status_flags(int fd)
{
    return fcntl(fd, F_GETFL);
}

TEST(FastStream, PipeIsEnlargedAndBuffered)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *fp = fdopen(p[1], "w");
    void *buffer = fast_stream(fp);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 4096, 0u);
    EXPECT_EQ(__fbufsize(fp), size_t(MAX_BUFFER));
    EXPECT_EQ(__flbf(fp), 0) << "expected full buffering";
    EXPECT_EQ(fcntl(p[1], F_GETPIPE_SZ), MAX_PIPE);
    fclose(fp);
    free(buffer);
    close(p[0]);
}

// The description is shared with the shell and the rest of a pipeline: a
// flag changed here would change their reads and writes, and no one could
// put it back after a kill.
TEST(FastStream, StatusFlagsAreLeftAsFound)
{
    int p[2], primary, terminal;
    ASSERT_EQ(pipe(p), 0);
    bool have_terminal = openpty(&primary, &terminal, nullptr, nullptr, nullptr) == 0;
    for (int added : {0, O_NONBLOCK, O_APPEND, O_NONBLOCK | O_APPEND}) {
        for (int fd : {p[0], p[1], have_terminal ? terminal : p[1]}) {
            fcntl(fd, F_SETFL, (status_flags(fd) & ~(O_NONBLOCK | O_APPEND)) | added);
            int before = status_flags(fd);
            FILE *fp = fdopen(dup(fd), fd == p[0] ? "r" : "w");
            void *buffer = fast_stream(fp);
            EXPECT_EQ(status_flags(fd), before) << "descriptor " << fd << " flags " << added;
            fclose(fp);
            free(buffer);
        }
    }
    for (int fd : {p[0], p[1]})
        close(fd);
    if (have_terminal) {
        close(primary);
        close(terminal);
    }
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
