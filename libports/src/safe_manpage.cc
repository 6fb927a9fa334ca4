#include "safe_manpage.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "strlcat.h"
#include "strlcpy.h"

static const char MAN[] = "man ";

// Characters the shell passes through unchanged in a word.
static bool shell_plain(const char *name)
{
    static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                "0123456789._-+,:@%=";
    return strspn(name, plain) == strlen(name);
}

// A name the shell would split or interpret goes to the viewer as one argument, without a shell.
static int run_viewer(const char *name)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("man", "man", name, (char *)nullptr);
        _exit(127);
    }
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int safe_manpage(const char *argv0, const int *rcode)
{
    const char *slash = strrchr(argv0, '/');
    const char *name = slash != nullptr ? slash + 1 : argv0;
    const size_t size = strlen(name) + sizeof MAN;
    char *command = static_cast<char *>(aligned_alloc(16, (size + 15) & ~(size_t)15));
    if (command == nullptr)
        return -1;
    strlcpy(command, MAN, size);
    strlcat(command, name, size);
    // Whatever the viewer makes of the page is between it and the user.
    const int shown = shell_plain(name) ? system(command) : run_viewer(name);
    (void)shown;
    free(command);
    if (rcode != nullptr)
        exit(*rcode);
    return 0;
}
