// The supervised second run of the program: the first process keeps out of
// the terminal's way, waits, reports how the child ended, and jumps back.
#include "self_relocate.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "strlcpy.h"

#include <libgen.h> // last: the XPG basename, which never returns a pointer into argv

namespace
{

// Busy retries of fork and execve are bounded: an ETXTBSY held by a writer
// that never closes would otherwise spin for ever.
constexpr int max_retries = 1000;
// Enough for the few calls the child makes before execve, also when sanitized.
constexpr size_t child_stack_size = 64 * 1024;

struct saved_state {
    struct termios stdout_termios, stderr_termios;
    int stdout_rc, stderr_rc;
    // The child shares the open file descriptions of 0 and 1 and may leave
    // them non-blocking; the next writer of a shared pipe would get EAGAIN.
    int stdin_flags, stdout_flags;
    struct sigaction saveint, savequit, savettin, savettou, savehup, savetstp;
    sigset_t savemask;
};

// The locale is read only when there is something to say: most runs never print.
void speak()
{
    static bool ready;
    if (!ready)
        setlocale(LC_ALL, "");
    ready = true;
}

void pause_briefly()
{
    const struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
}

void clear_tostop(int fd, const struct termios *saved, int rc)
{
    if (rc != 0 || !(saved->c_lflag & TOSTOP))
        return;
    struct termios my_termios = *saved;
    my_termios.c_lflag &= ~(tcflag_t)TOSTOP;
    tcsetattr(fd, TCSANOW, &my_termios);
}

void clear_tostops(const saved_state *s)
{
    clear_tostop(1, &s->stdout_termios, s->stdout_rc);
    clear_tostop(2, &s->stderr_termios, s->stderr_rc);
}

void prepare(saved_state *s)
{
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    s->stdout_rc = tcgetattr(1, &s->stdout_termios);
    s->stderr_rc = tcgetattr(2, &s->stderr_termios);
    clear_tostops(s);
    s->stdin_flags = fcntl(0, F_GETFL);
    s->stdout_flags = fcntl(1, F_GETFL);

    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    sigaction(SIGINT, &ignore, &s->saveint);
    sigaction(SIGQUIT, &ignore, &s->savequit);
    sigaction(SIGTTIN, &ignore, &s->savettin);
    sigaction(SIGTTOU, &ignore, &s->savettou);
    sigaction(SIGHUP, nullptr, &s->savehup);
    sigaction(SIGTSTP, &ignore, &s->savetstp);

    sigset_t chldmask;
    sigemptyset(&chldmask);
    sigaddset(&chldmask, SIGCHLD);
    sigaddset(&chldmask, SIGWINCH);
    sigaddset(&chldmask, SIGHUP);
    sigprocmask(SIG_BLOCK, &chldmask, &s->savemask);
}

void restore_signals(const saved_state *s)
{
    sigaction(SIGINT, &s->saveint, nullptr);
    sigaction(SIGQUIT, &s->savequit, nullptr);
    sigaction(SIGTTIN, &s->savettin, nullptr);
    sigaction(SIGTTOU, &s->savettou, nullptr);
    sigaction(SIGHUP, &s->savehup, nullptr);
    sigaction(SIGTSTP, &s->savetstp, nullptr);
    sigprocmask(SIG_SETMASK, &s->savemask, nullptr);
}

void restore(const saved_state *s)
{
    if (s->stdin_flags != -1)
        fcntl(0, F_SETFL, s->stdin_flags);
    if (s->stdout_flags != -1)
        fcntl(1, F_SETFL, s->stdout_flags);
    if (s->stdout_rc == 0)
        tcsetattr(1, TCSANOW, &s->stdout_termios);
    if (s->stderr_rc == 0)
        tcsetattr(2, TCSANOW, &s->stderr_termios);
    restore_signals(s);
}

// What the child reads, and the pipe end on which it reports a failed execve.
struct spawn_args {
    const saved_state *s;
    const char *path;
    char *const *argv;
    int report_fd;
};

// The child shares our memory until execve replaces it: it writes nothing but
// its own stack (no heap, no stdio, no lock), so the message about a failed
// execve is printed by the parent from the errno the child sends.
int run_child(void *arg)
{
    const spawn_args *a = static_cast<const spawn_args *>(arg);
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    restore_signals(a->s);
    for (int tries = 0; execve(a->path, a->argv, environ) != 0; tries++) {
        if ((errno != EAGAIN && errno != ETXTBSY) || tries == max_retries)
            break;
        pause_briefly();
    }
    const int save_errno = errno;
    (void)!write(a->report_fd, &save_errno, sizeof save_errno);
    _exit(127);
}

bool stopped_by_terminal(int sig)
{
    return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// A child stopped from the terminal stops us too (we ignore those signals,
// so SIGSTOP), so that the shell sees its job stopped and gets the terminal
// back; once continued we continue the child. The wait reports its continuation.
void follow_stop(pid_t pid, int sig, const char *me, const saved_state *s)
{
    speak();
    fprintf(stderr, "%s: %s stoped by signal %d (%s).\n", me, me, sig, strsignal(sig));
    if (!stopped_by_terminal(sig))
        return;
    kill(getpid(), SIGSTOP);
    clear_tostops(s);
    kill(pid, SIGCONT);
}

// The value for the jump back from a wait that ended otherwise than by a stop or continuation.
int outcome(pid_t pid, pid_t rc, int status, int save_errno, const char *me)
{
    if (rc == pid && WIFEXITED(status))
        return WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : (int)RELOCATE_ZERO;
    speak();
    if (rc == pid && WIFSIGNALED(status)) {
        fprintf(stderr, "%s: %s terminated with signal %d (%s).\n", me, me, WTERMSIG(status),
                strsignal(WTERMSIG(status)));
        return 128 + WTERMSIG(status);
    }
    if (rc == pid)
        fprintf(stderr, "%s: %s terminated in an unknown way... rc %d status %x\n", me, me, (int)rc,
                (unsigned)status);
    else if (save_errno == ECHILD)
        fprintf(stderr, "%s: %s terminated in an unknown way (ECHILD... rc %d errno %d\n", me, me,
                -1, ECHILD);
    else
        fprintf(stderr, "%s: %s terminated in an unknown way... rc %d errno %d\n", me, me, (int)rc,
                save_errno);
    return rc;
}

int wait_child(pid_t pid, const char *me, const saved_state *s, int *save_errno)
{
    for (;;) {
        int status = 0;
        const pid_t rc = waitpid(pid, &status, WUNTRACED | WCONTINUED);
        *save_errno = errno;
        if (rc == pid && WIFSTOPPED(status)) {
            follow_stop(pid, WSTOPSIG(status), me, s);
            continue;
        }
        // The wait status of a continued child names no signal; SIGCONT is what continues it.
        if (rc == pid && WIFCONTINUED(status)) {
            speak();
            fprintf(stderr, "%s: %s continued by signal %d (%s).\n", me, me, SIGCONT,
                    strsignal(SIGCONT));
            continue;
        }
        if (rc == -1 && *save_errno == EINTR)
            continue;
        return outcome(pid, rc, status, *save_errno, me);
    }
}

// The errno a child sent before it ended, or 0 once its execve closed the pipe.
int execve_errno(int fd)
{
    int child_errno = 0;
    ssize_t n;
    while ((n = read(fd, &child_errno, sizeof child_errno)) < 0 && errno == EINTR)
        continue;
    return n == (ssize_t)sizeof child_errno ? child_errno : 0;
}

// clone with CLONE_VM | CLONE_VFORK: no copy of our memory to make and throw
// away at execve, and we go on only once the child has left our memory.
// Never inlined: the child's stack is given back on return, and the waiting
// that follows reuses the pages the child touched instead of faulting in
// fresh ones below them.
__attribute__((noinline)) pid_t clone_child(spawn_args *args)
{
    // The child's stack lies in our own stack, where tools that watch stacks expect it.
    alignas(16) unsigned char stack[child_stack_size];
    const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
    pid_t pid;
    for (int tries = 0; (pid = clone(run_child, stack + sizeof stack, flags, args)) < 0; tries++) {
        if (errno != EAGAIN || tries == max_retries)
            break;
        pause_briefly();
    }
    return pid;
}

pid_t start_child(const saved_state *s, const char *opath, char *const *argv, const char *me)
{
    fflush(stderr);
    fflush(stdout);
    int report[2];
    // Without the pipe a failed execve still ends the child with 127, unexplained.
    if (pipe2(report, O_CLOEXEC) != 0)
        report[0] = report[1] = -1;
    spawn_args args = {s, opath, argv, report[1]};
    const pid_t pid = clone_child(&args);
    const int save_errno = errno;
    if (report[1] != -1)
        close(report[1]);
    const int child_errno = pid > 0 && report[0] != -1 ? execve_errno(report[0]) : 0;
    if (report[0] != -1)
        close(report[0]);
    if (child_errno != 0) {
        speak();
        fprintf(stderr, "%s: execve(%s) failed:  rc %d  errno %d %s\n", me, me, -1, child_errno,
                strerror(child_errno));
    }
    if (pid < 0) {
        speak();
        fprintf(stderr, "%s: fork(%s) failed: rc %d  errno %d %s\n", me, me, -1, save_errno,
                strerror(save_errno));
        errno = save_errno;
    }
    return pid;
}

// The name messages give the program: argv[0]'s last component, copied into
// name (PATH_MAX bytes). Null (ENAMETOOLONG) when argv[0] is longer than a path.
const char *program_name(const int argc, const char **argv, char *name)
{
    if (strlcpy(name, argc > 0 && argv[0] != nullptr ? argv[0] : "", PATH_MAX) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return basename(name);
}

} // namespace

int relocate_supervise(const int argc, const char **argv, const char *opath)
{
    char name[PATH_MAX];
    const char *me = program_name(argc, argv, name);
    if (me == nullptr)
        return -1;
    saved_state s;
    prepare(&s);
    const pid_t pid = start_child(&s, opath, const_cast<char *const *>(argv), me);
    if (pid < 0) {
        const int save_errno = errno;
        restore(&s);
        errno = save_errno;
        return -1;
    }
    int save_errno = 0;
    const int status = wait_child(pid, me, &s, &save_errno);
    restore(&s);
    fflush(stderr);
    errno = save_errno;
    siglongjmp(jmp_relocate, status);
}
