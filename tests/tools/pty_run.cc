/*
 * pty_run [-i] [-o] [--] command [arg]...
 *
 * Runs the command with standard input (-i) and/or standard output (-o) on a
 * new pseudo-terminal; standard error and the other descriptor stay as they
 * are. With -i, pty_run's own standard input is typed into the terminal and
 * followed by end-of-file; with -o, whatever the command writes to the
 * terminal is relayed to pty_run's standard output. The terminal neither
 * echoes nor rewrites line ends, so the relayed bytes are the written bytes.
 * Exits with the command's status (128 + signal when it was killed).
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace
{

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "pty_run: %s: %s\n", what, strerror(errno));
    exit(125);
}

std::string slurp(int fd)
{
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die("read input");
        }
        data.append(buf, (size_t)n);
    }
    return data;
}

/* Canonical mode (so end-of-file can be typed), no echo, no output rewriting. */
void quiet_terminal(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        die("tcgetattr");
    tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL);
    tio.c_lflag |= ICANON;
    tio.c_oflag &= ~OPOST;
    tio.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        die("tcsetattr");
}

[[noreturn]] void run_child(int slave, bool in, bool out, char **argv)
{
    setsid();
    if (ioctl(slave, TIOCSCTTY, 0) != 0)
        die("TIOCSCTTY");
    if ((in && dup2(slave, 0) < 0) || (out && dup2(slave, 1) < 0))
        die("dup2");
    if (slave > 2)
        close(slave);
    execvp(argv[0], argv);
    die(argv[0]);
}

/* Typed input: a partial last line needs one end-of-file to be delivered, then one more. */
std::string typed(const std::string &input)
{
    std::string keys = input;
    if (!keys.empty() && keys.back() != '\n')
        keys += '\x04';
    keys += '\x04';
    return keys;
}

/* Moves what the terminal holds to standard output; false once nobody holds its other side. */
bool drain(int master, bool out)
{
    char buf[65536];
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN))
            return !(pfd.revents & (POLLHUP | POLLERR));
        ssize_t n = read(master, buf, sizeof(buf));
        if (n <= 0)
            return false;
        if (out && write(1, buf, (size_t)n) != n)
            die("relay");
    }
}

/*
 * pty_run holds the terminal's other side itself until the command has
 * ended, so the relay never sees a hang-up before the command opened it.
 */
int relay(int master, int slave, pid_t pid, const std::string &keys, bool out)
{
    size_t sent = 0;
    int status;
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (sent < keys.size())
            pfd.events |= POLLOUT;
        if (poll(&pfd, 1, 20) < 0 && errno != EINTR)
            die("poll");
        if (pfd.revents & POLLOUT) {
            ssize_t w = write(master, keys.data() + sent, keys.size() - sent);
            if (w > 0)
                sent += (size_t)w;
        }
        drain(master, out);
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno != EINTR)
            die("waitpid");
        if (done == pid)
            break;
    }
    close(slave);
    while (drain(master, out))
        ;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char **argv)
{
    bool in = false, out = false;
    int opt;
    while ((opt = getopt(argc, argv, "+io")) != -1) {
        if (opt == 'i')
            in = true;
        else if (opt == 'o')
            out = true;
        else
            return 125;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: pty_run [-i] [-o] [--] command [arg]...\n");
        return 125;
    }
    std::string keys = in ? typed(slurp(0)) : std::string();

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        die("posix_openpt");
    const char *slave_name = ptsname(master);
    if (slave_name == nullptr)
        die("ptsname");

    int slave = open(slave_name, O_RDWR | O_NOCTTY);
    if (slave < 0)
        die("open slave");
    quiet_terminal(slave);

    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        close(master);
        run_child(slave, in, out, argv + optind);
    }
    return relay(master, slave, pid, keys, out);
}
