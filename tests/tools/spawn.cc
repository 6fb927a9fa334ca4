/*
 * spawn [-g] [-t] [-i SIGNAL]... -p FILE [--] command [arg]...
 *
 * Runs the command as a child, with SIGINT, SIGQUIT, SIGHUP and SIGTERM at
 * their defaults except those named by -i (numbers), which it ignores, as
 * nohup or a shell's background job would. Writes the child's process id as
 * the first line of FILE, waits for it, and adds how it ended: "exit N" or
 * "signal N" (a shell's $? cannot tell the two apart). -g puts the child in a
 * process group of its own, for a signal to the group as a terminal sends it;
 * -t starts it from a thread that ends as soon as the child has a child of its
 * own (or has ended), as in a pool of threads.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

namespace
{

struct options {
    bool group = false, thread = false;
    std::set<int> ignored;
    const char *pid_file = nullptr;
    char **argv = nullptr;
};

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "spawn: %s: %s\n", what, strerror(errno));
    exit(125);
}

void usage()
{
    fprintf(stderr, "usage: spawn [-g] [-t] [-i SIGNAL]... -p FILE [--] command [arg]...\n");
    exit(125);
}

options parse(int argc, char **argv)
{
    options o;
    for (int c; (c = getopt(argc, argv, "+gti:p:")) != -1;) {
        if (c == 'g')
            o.group = true;
        else if (c == 't')
            o.thread = true;
        else if (c == 'i')
            o.ignored.insert(atoi(optarg));
        else if (c == 'p')
            o.pid_file = optarg;
        else
            usage();
    }
    if (o.pid_file == nullptr || optind == argc)
        usage();
    o.argv = argv + optind;
    return o;
}

pid_t start(const options &o)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (o.group)
        setpgid(0, 0);
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM})
        signal(sig, o.ignored.count(sig) != 0 ? SIG_IGN : SIG_DFL);
    execvp(o.argv[0], o.argv);
    die(o.argv[0]);
}

bool has_child(pid_t pid)
{
    const std::string id = std::to_string(pid);
    FILE *f = fopen(("/proc/" + id + "/task/" + id + "/children").c_str(), "r");
    if (f == nullptr)
        return true; // ended: nothing more to wait for
    int first = fgetc(f);
    fclose(f);
    return first != EOF;
}

struct thread_start {
    const options *o;
    pid_t pid;
};

void *start_and_end(void *arg)
{
    auto *t = static_cast<thread_start *>(arg);
    t->pid = start(*t->o);
    const struct timespec pause = {0, 10000000};
    for (int i = 0; i < 1000 && !has_child(t->pid); i++)
        nanosleep(&pause, nullptr);
    return nullptr;
}

pid_t start_from_thread(const options &o)
{
    thread_start t = {&o, -1};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, start_and_end, &t) != 0)
        die("pthread_create");
    pthread_join(thread, nullptr);
    return t.pid;
}

} // namespace

int main(int argc, char **argv)
{
    const options o = parse(argc, argv);
    FILE *out = fopen(o.pid_file, "w");
    if (out == nullptr)
        die(o.pid_file);
    // With -t the id is written once the thread has ended; the caller waits for the line.
    const pid_t pid = o.thread ? start_from_thread(o) : start(o);
    if (pid < 0)
        die("fork");
    fprintf(out, "%d\n", (int)pid);
    fflush(out);
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            die("waitpid");
    if (WIFSIGNALED(status))
        fprintf(out, "signal %d\n", WTERMSIG(status));
    else
        fprintf(out, "exit %d\n", WEXITSTATUS(status));
    return fclose(out) == 0 ? 0 : 125;
}
