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
#include <sys/resource.h>
#include <sys/stat.h>
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

// The signals the supervisor passes on to the child, unless the caller had
// them ignored, and the job-control signals it ignores itself.
constexpr int passed_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int shielded_signals[] = {SIGTTIN, SIGTTOU, SIGTSTP};
constexpr int n_passed = sizeof passed_signals / sizeof passed_signals[0];
constexpr int n_shielded = sizeof shielded_signals / sizeof shielded_signals[0];

struct saved_state {
    // Whether we cleared TOSTOP on the terminal of descriptor 1 or 2: all we
    // change there, and all we undo.
    bool tostop_cleared[2];
    struct sigaction passed[n_passed], shielded[n_shielded];
    sigset_t savemask;
};

// The child the passed signals go to; 0 before it exists and once it is reaped.
volatile sig_atomic_t child_pid;

void pass_on(int sig)
{
    const int save_errno = errno;
    if (child_pid > 0)
        kill(child_pid, sig);
    errno = save_errno;
}

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

bool in_background(int fd)
{
    const pid_t group = tcgetpgrp(fd);
    return group != -1 && group != getpgrp();
}

bool is_pipe(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

// TOSTOP stops only a background job. In the foreground the bit is left alone
// when a pipe joins us to another program: that program (a pager) may be
// changing the terminal's modes at this very moment, and our read and write
// of the settings would put back the modes it had just replaced. A stopped
// job is asked again once continued, since bg puts it in the background.
bool tostop_in_our_way(int fd)
{
    return in_background(fd) || (!is_pipe(STDIN_FILENO) && !is_pipe(STDOUT_FILENO));
}

// Background output to the terminal must not stop the child. The bit is
// changed on the settings the terminal has now: another program of the
// pipeline (a pager) may own the rest of them. True when it was cleared.
// Most terminals have it off, so that is asked first.
bool clear_tostop(int fd)
{
    struct termios now;
    if (tcgetattr(fd, &now) != 0 || !(now.c_lflag & TOSTOP) || !tostop_in_our_way(fd))
        return false;
    now.c_lflag &= ~(tcflag_t)TOSTOP;
    return tcsetattr(fd, TCSANOW, &now) == 0;
}

void clear_tostops(saved_state *s)
{
    for (int fd = 1; fd <= 2; fd++) {
        if (clear_tostop(fd))
            s->tostop_cleared[fd - 1] = true;
    }
}

// Undoes our own change only, and only where nobody set the bit again.
void restore_tostops(const saved_state *s)
{
    for (int fd = 1; fd <= 2; fd++) {
        struct termios now;
        if (!s->tostop_cleared[fd - 1] || tcgetattr(fd, &now) != 0 || (now.c_lflag & TOSTOP))
            continue;
        now.c_lflag |= TOSTOP;
        tcsetattr(fd, TCSANOW, &now);
    }
}

bool ignored(const struct sigaction &action)
{
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}

void passed_set(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : passed_signals)
        sigaddset(set, sig);
}

// The passed signals stay blocked until the child exists: one that comes
// earlier waits and then reaches it.
void prepare(saved_state *s)
{
    sigset_t block;
    passed_set(&block);
    sigprocmask(SIG_BLOCK, &block, &s->savemask);

    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    for (int i = 0; i < n_shielded; i++)
        sigaction(shielded_signals[i], &action, &s->shielded[i]);
    action.sa_handler = pass_on;
    action.sa_mask = block;
    for (int i = 0; i < n_passed; i++) {
        sigaction(passed_signals[i], nullptr, &s->passed[i]);
        // A signal the caller ignores (nohup, a background job's SIGINT) stays ignored.
        if (!ignored(s->passed[i]))
            sigaction(passed_signals[i], &action, nullptr);
    }
    s->tostop_cleared[0] = s->tostop_cleared[1] = false;
    clear_tostops(s);
}

void restore_signals(const saved_state *s)
{
    for (int i = 0; i < n_passed; i++)
        sigaction(passed_signals[i], &s->passed[i], nullptr);
    for (int i = 0; i < n_shielded; i++)
        sigaction(shielded_signals[i], &s->shielded[i], nullptr);
    sigprocmask(SIG_SETMASK, &s->savemask, nullptr);
}

// The passed signals are held while the child's status is collected, so that
// none is sent to a process id that may already belong to another process;
// released, the mask is the caller's.
void hold_passed(const saved_state *s, bool hold)
{
    sigset_t set;
    passed_set(&set);
    sigprocmask(hold ? SIG_BLOCK : SIG_SETMASK, hold ? &set : &s->savemask, nullptr);
}

// What the child reads, and the pipe end on which it reports a failed execve.
struct spawn_args {
    const saved_state *s;
    pid_t parent;
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
    // Whatever ends the supervisor (kill -9, under nohup too) ends the copy.
    // A parent gone before the request was made never sends it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != a->parent)
        _exit(127);
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
void follow_stop(pid_t pid, int sig, const char *me, saved_state *s)
{
    speak();
    fprintf(stderr, "%s: %s stoped by signal %d (%s).\n", me, me, sig, strsignal(sig));
    if (!stopped_by_terminal(sig))
        return;
    kill(getpid(), SIGSTOP);
    clear_tostops(s);
    kill(pid, SIGCONT);
}

// A child ended by these is left to the shell, which says nothing of them either.
bool quiet_signal(int sig)
{
    return sig == SIGPIPE || sig == SIGINT;
}

// The value for the jump back from a wait that ended otherwise than by a stop or continuation.
int outcome(pid_t pid, pid_t rc, int status, int save_errno, const char *me)
{
    if (rc == pid && WIFEXITED(status))
        return WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : (int)RELOCATE_ZERO;
    if (rc == pid && WIFSIGNALED(status) && quiet_signal(WTERMSIG(status)))
        return 128 + WTERMSIG(status);
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

// The next change of the child's state, collected with the passed signals
// held; until one is there the wait lets them through to pass_on. Where
// waitid cannot leave the status in place, waitpid collects it at once.
pid_t next_status(pid_t pid, int *status, const saved_state *s)
{
    for (;;) {
        siginfo_t info;
        info.si_pid = 0;
        const int waited =
            waitid(P_PID, (id_t)pid, &info, WEXITED | WSTOPPED | WCONTINUED | WNOWAIT);
        if (waited != 0 && errno == EINTR)
            continue;
        hold_passed(s, true);
        const pid_t rc = waitpid(pid, status, WUNTRACED | WCONTINUED | (waited == 0 ? WNOHANG : 0));
        if (rc != 0)
            return rc;
        hold_passed(s, false);
    }
}

// The child's end as the jump value, with the passed signals held;
// *killed_by is the signal that killed it, or 0.
int wait_child(pid_t pid, const char *me, saved_state *s, int *save_errno, int *killed_by)
{
    for (;;) {
        int status = 0;
        const pid_t rc = next_status(pid, &status, s);
        *save_errno = errno;
        if (rc == pid && WIFSTOPPED(status))
            follow_stop(pid, WSTOPSIG(status), me, s);
        // The wait status of a continued child names no signal; SIGCONT is what continues it.
        else if (rc == pid && WIFCONTINUED(status)) {
            speak();
            fprintf(stderr, "%s: %s continued by signal %d (%s).\n", me, me, SIGCONT,
                    strsignal(SIGCONT));
        } else if (rc != -1 || *save_errno != EINTR) {
            child_pid = 0;
            *killed_by = rc == pid && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return outcome(pid, rc, status, *save_errno, me);
        }
        hold_passed(s, false);
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
    spawn_args args = {s, getpid(), opath, argv, report[1]};
    const pid_t pid = clone_child(&args);
    const int save_errno = errno;
    child_pid = pid > 0 ? pid : 0;
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

// Dies of the signal that killed the child, as the caller would have seen
// the child die without us. The child has dumped any core already: one from
// us too, or from an emulator running us, would be a second.
void die_of(int sig)
{
    struct rlimit core;
    if (getrlimit(RLIMIT_CORE, &core) == 0) {
        core.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &core);
    }
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
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
        restore_tostops(&s);
        restore_signals(&s);
        errno = save_errno;
        return -1;
    }
    hold_passed(&s, false);
    int save_errno = 0, killed_by = 0;
    const int status = wait_child(pid, me, &s, &save_errno, &killed_by);
    restore_tostops(&s);
    restore_signals(&s);
    fflush(stderr);
    if (killed_by != 0)
        die_of(killed_by);
    errno = save_errno;
    siglongjmp(jmp_relocate, status);
}
