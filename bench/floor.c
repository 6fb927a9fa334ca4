/* The floor under tandro's start-up: a dynamic position-independent
 * program that only selects the locale, as every run of tandro does.
 * "floor" is one process; "floor 2" runs itself again the way tandro's
 * supervisor does (a vfork-style spawn, then a wait for the child's status),
 * so the pair costs what two program starts and a spawn cost at least.
 * argv[0] must name the program by a path. */
#define _GNU_SOURCE
#include <locale.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "2") == 0) {
        char *child[] = {argv[0], NULL};
        pid_t pid;
        int status;
        if (posix_spawn(&pid, argv[0], NULL, NULL, child, environ) != 0 ||
            waitpid(pid, &status, 0) != pid) {
            perror("floor");
            return 127;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    setlocale(LC_ALL, "");
    return 0;
}
