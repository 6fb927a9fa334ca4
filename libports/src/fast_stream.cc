#include "fast_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errno_keeper.h"

namespace
{

constexpr unsigned socket_floor = 1048576;
constexpr size_t buffer_alignment = 4096;

/* Status flags of descriptors 0-2 as the run found them; -1 until changed. */
int found_flags[3] = {-1, -1, -1};

/*
 * The standard descriptors share their open file descriptions with the
 * shell and the other commands of a pipeline: whatever mode we set must be
 * undone before we exit, or the next writer of the pipe fails with EAGAIN.
 */
void note_flags(int fd, int flags)
{
    static bool registered;
    if (fd < 0 || fd > 2 || found_flags[fd] != -1)
        return;
    found_flags[fd] = flags;
    if (!registered)
        registered = atexit(restore_streams) == 0;
}

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && !(flags & O_NONBLOCK)) {
        note_flags(fd, flags);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

/*
 * Messages written to a descriptor that may be non-blocking (2>&1 shares
 * standard output's open file description) wait for room instead of being
 * dropped on EAGAIN.
 */
ssize_t write_steadily(void *, const char *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDERR_FILENO, data + done, size - done);
        if (n >= 0) {
            done += (size_t)n;
            continue;
        }
        struct pollfd room = {STDERR_FILENO, POLLOUT, 0};
        if (errno != EINTR && (errno != EAGAIN || poll(&room, 1, -1) < 0))
            return done > 0 ? (ssize_t)done : -1;
    }
    return (ssize_t)done;
}

void steady_stderr()
{
    static bool done;
    if (done)
        return;
    done = true;
    cookie_io_functions_t io = {nullptr, write_steadily, nullptr, nullptr};
    FILE *steady = fopencookie(nullptr, "w", io);
    if (steady == nullptr)
        return;
    setvbuf(steady, nullptr, _IONBF, 0);
    fflush(stderr);
    stderr = steady;
}

void enlarge_pipe(int fd)
{
    int size = fcntl(fd, F_GETPIPE_SZ);
    /* Above the unprivileged limit this fails and the pipe keeps its size. */
    if (size < MAX_PIPE)
        fcntl(fd, F_SETPIPE_SZ, MAX_PIPE);
}

void raise_socket_buffer(int fd, int option)
{
    unsigned size = 0;
    socklen_t len = sizeof size;
    /* A size we cannot read is left as it is rather than guessed at. */
    if (getsockopt(fd, SOL_SOCKET, option, &size, &len) != 0)
        return;
    if (size < socket_floor) {
        size = socket_floor;
        setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
    }
}

bool same_file(int fd1, int fd2)
{
    struct stat st1, st2;
    memset(&st1, 0, sizeof st1);
    memset(&st2, 0, sizeof st2);
    fstat(fd1, &st1);
    fstat(fd2, &st2);
    return st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

int buffer_mode(FILE *stream, int fd)
{
    if (stream == stdin)
        return isatty(fd) == 1 ? _IOLBF : _IOFBF;
    if (stream == stderr)
        return isatty(fd) == 1 || same_file(STDOUT_FILENO, STDERR_FILENO) ? _IOLBF : _IOFBF;
    return _IOFBF;
}

/*
 * A terminal is usually shared with the user's shell, which does not expect
 * a non-blocking or appending descriptor after we exit, so it goes back to
 * blocking mode; the copy engines cope with EAGAIN either way.
 */
void restore_terminal(int fd)
{
    if (isatty(fd) != 1)
        return;
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & (O_APPEND | O_NONBLOCK))) {
        note_flags(fd, flags);
        fcntl(fd, F_SETFL, flags & ~(O_APPEND | O_NONBLOCK));
    }
}

} // namespace

void *fast_stream(FILE *stream)
{
    int fd = fileno(stream);
    if (stream == stdout)
        steady_stderr();
    struct stat st;
    /* Of a descriptor we cannot examine we do not know that it is a pipe or socket. */
    bool known = fstat(fd, &st) == 0;

    set_nonblocking(fd);
    if (known && S_ISFIFO(st.st_mode))
        enlarge_pipe(fd);
    else if (known && S_ISSOCK(st.st_mode)) {
        raise_socket_buffer(fd, SO_SNDBUF);
        raise_socket_buffer(fd, SO_RCVBUF);
    }

    void *buffer = aligned_alloc(buffer_alignment, MAX_BUFFER);
    if (buffer != nullptr)
        setvbuf(stream, static_cast<char *>(buffer), buffer_mode(stream, fd), MAX_BUFFER);
    restore_terminal(fd);
    return buffer;
}

void restore_streams(void)
{
    errno_keeper keep;
    for (int fd = 0; fd <= 2; fd++)
        if (found_flags[fd] != -1)
            fcntl(fd, F_SETFL, found_flags[fd]);
}

void *close_stream(const FILE *stream, const void *buffer)
{
    (void)buffer;
    if (stream == nullptr)
        return nullptr;

    errno_keeper keep;
    FILE *fp = const_cast<FILE *>(stream);
    flockfile(fp);
    int fd = fileno(fp);
    if (fd != -1) {
        fflush(fp);
        // A descriptor open only for reading wrote nothing to keep; syncing
        // it would still cost the device a cache flush on every input file.
        int flags = fcntl(fd, F_GETFL);
        if (flags != -1 && (flags & O_ACCMODE) != O_RDONLY && isatty(fd) != 1)
            fdatasync(fd);
    }
    funlockfile(fp);
    return nullptr;
}

FILE *dup_stream(FILE *stream)
{
    return stream;
}
