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

/* What runs before each message, if anything (before_messages). */
void (*message_hook)(void);

/*
 * Messages written to a descriptor that someone else made non-blocking
 * wait for room instead of being dropped on EAGAIN.
 */
ssize_t write_steadily(void *, const char *data, size_t size)
{
    if (message_hook != nullptr)
        message_hook();
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

} // namespace

void before_messages(void (*hook)(void))
{
    steady_stderr();
    message_hook = hook;
}

void *fast_stream(FILE *stream)
{
    int fd = fileno(stream);
    if (stream == stdout)
        steady_stderr();
    struct stat st;
    /* Of a descriptor we cannot examine we do not know that it is a pipe or socket. */
    bool known = fstat(fd, &st) == 0;

    // The file status flags are left as they are: the description is shared
    // with the shell and the rest of a pipeline, and a flag changed here
    // would change their writes and reads too. The engines cope with
    // EAGAIN on a description someone else made non-blocking.
    if (known && S_ISFIFO(st.st_mode))
        enlarge_pipe(fd);
    else if (known && S_ISSOCK(st.st_mode)) {
        raise_socket_buffer(fd, SO_SNDBUF);
        raise_socket_buffer(fd, SO_RCVBUF);
    }

    void *buffer = aligned_alloc(buffer_alignment, MAX_BUFFER);
    if (buffer != nullptr)
        setvbuf(stream, static_cast<char *>(buffer), buffer_mode(stream, fd), MAX_BUFFER);
    return buffer;
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
