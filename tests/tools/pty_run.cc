/*
 * pty_run [-i] [-o] [--] command [arg]...
 *
 * Runs the command with standard input (-i) and/or standard output (-o) on a
 * new pseudo-terminal that neither echoes nor rewrites line ends. With -i,
 * pty_run's standard input is typed into it, then end-of-file; with -o, what
 * the command writes there is relayed to pty_run's standard output. Exits
 * with the command's status (128 + signal when it was killed).
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

#include <iostream>
#include <iterator>
#include <string>

namespace
{

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "pty_run: %s: %s\n", what, strerror(errno));
    exit(125);
}

// A partial last line needs one end-of-file to be delivered, then one more.
std::string typed_input()
{
    std::string keys{std::istreambuf_iterator<char>(std::cin), {}};
    return keys + (!keys.empty() && keys.back() != '\n' ? "\x04\x04" : "\x04");
}

// Canonical mode (so end-of-file can be typed), no echo, no rewriting.
int open_terminal(int *master)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    const char *name =
        *master < 0 || grantpt(*master) || unlockpt(*master) ? nullptr : ptsname(*master);
    const int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
    struct termios tio;
    if (slave < 0 || tcgetattr(slave, &tio) != 0)
        die("pseudo-terminal");
    tio.c_lflag = (tio.c_lflag | ICANON) & ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL);
    tio.c_oflag &= ~(tcflag_t)OPOST;
    tio.c_iflag &= ~(tcflag_t)(ICRNL | INLCR | IGNCR | IXON);
    if (tcsetattr(slave, TCSANOW, &tio) != 0)
        die("tcsetattr");
    return slave;
}

// Moves what the terminal holds to standard output; false once nobody holds its other side.
bool drain(int master, bool out)
{
    char buf[65536];
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN))
            return !(pfd.revents & (POLLHUP | POLLERR));
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            return false;
        if (out && write(1, buf, (size_t)n) != n)
            die("relay");
    }
}

// pty_run holds the slave side until the command has ended, so the relay
// never sees a hang-up before the command opened it.
int relay(int master, int slave, pid_t pid, const std::string &keys, bool out)
{
    size_t sent = 0;
    int status;
    for (pid_t done = 0; done != pid;) {
        struct pollfd pfd = {master, (short)(POLLIN | (sent < keys.size() ? POLLOUT : 0)), 0};
        if (poll(&pfd, 1, 20) < 0 && errno != EINTR)
            die("poll");
        const ssize_t w =
            pfd.revents & POLLOUT ? write(master, keys.data() + sent, keys.size() - sent) : 0;
        sent += w > 0 ? (size_t)w : 0;
        drain(master, out);
        if ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno != EINTR)
            die("waitpid");
    }
    close(slave);
    while (drain(master, out)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char **argv)
{
    bool in = false, out = false;
    for (int opt; (opt = getopt(argc, argv, "+io")) != -1;) {
        if (opt != 'i' && opt != 'o')
            return 125;
        (opt == 'i' ? in : out) = true;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: pty_run [-i] [-o] [--] command [arg]...\n");
        return 125;
    }
    const std::string keys = in ? typed_input() : std::string();
    int master;
    const int slave = open_terminal(&master);
    const pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        close(master);
        if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0 || (in && dup2(slave, 0) < 0) ||
            (out && dup2(slave, 1) < 0))
            die("terminal of the command");
        if (slave > 2)
            close(slave);
        execvp(argv[optind], argv + optind);
        die(argv[optind]);
    }
    return relay(master, slave, pid, keys, out);
}
