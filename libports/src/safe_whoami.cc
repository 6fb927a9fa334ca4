#include "safe_whoami.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

#include "safe_path.h"
#include "strlcat.h"
#include "strlcpy.h"

static char whoami[PATH_MAX];

// The candidate for a bare name: the directory of PATH that holds it, or else
// the current directory, read from /proc because getcwd may refuse long paths.
static void bare_candidate(const char *name, char *result)
{
    char link[PATH_MAX];
    char bare[PATH_MAX];
    strlcpy(bare, name, sizeof bare);
    const char *dir = path_seek(bare, getenv("PATH"), F_OK);
    if (dir != nullptr) {
        strlcpy(result, dir, PATH_MAX);
        if (result[0] == '\0' || result[strlen(result) - 1] != '/')
            strlcat(result, "/", PATH_MAX);
        strlcat(result, bare, PATH_MAX);
        return;
    }
    snprintf(link, PATH_MAX - 1, "/proc/%lld/cwd", (long long)getpid());
    const ssize_t n = readlink(link, result, PATH_MAX - 1);
    if (n <= 0) {
        strlcpy(result, bare, PATH_MAX);
        return;
    }
    result[n] = '\0';
    if (result[n - 1] != '/')
        strlcat(result, "/", PATH_MAX);
    strlcat(result, bare, PATH_MAX);
}

// Steps shared by both entries: resolve the candidate left in whoami.
static char *resolve_candidate()
{
    char resolved[PATH_MAX];
    if (whoami[0] == '\0')
        return nullptr;
    if (realpath(whoami, resolved) == nullptr) {
        whoami[0] = '\0';
        return whoami;
    }
    strlcpy(whoami, resolved, sizeof whoami);
    return whoami;
}

char *safe_whoami_name(const char *name)
{
    whoami[0] = '\0';
    if (name == nullptr || name[0] == '\0')
        return nullptr;
    bare_candidate(name, whoami);
    return resolve_candidate();
}

char *safe_whoami(const char *argv0)
{
    whoami[0] = '\0';
    if (argv0 != nullptr && strchr(argv0, '/') != nullptr) {
        strlcpy(whoami, argv0, sizeof whoami);
        return resolve_candidate();
    }
    errno = 0;
    const char *execfn = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    // A missing or empty record gives no candidate at all.
    if (execfn == nullptr || execfn[0] == '\0')
        return nullptr;
    strlcpy(whoami, execfn, sizeof whoami);
    if (strchr(whoami, '/') == nullptr)
        bare_candidate(whoami, whoami);
    return resolve_candidate();
}
