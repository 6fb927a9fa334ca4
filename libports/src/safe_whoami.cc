#include "safe_whoami.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "safe_path.h"
#include "strlcat.h"
#include "strlcpy.h"

static char whoami[PATH_MAX];

// dir + '/' (unless dir ends in one) + name into result; false (ENAMETOOLONG) when it does not fit.
static bool join(char *result, const char *dir, const char *name)
{
    if (strlcpy(result, dir, PATH_MAX) >= PATH_MAX ||
        (result[0] != '\0' && result[strlen(result) - 1] != '/' &&
         strlcat(result, "/", PATH_MAX) >= PATH_MAX) ||
        strlcat(result, name, PATH_MAX) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// The candidate for a bare name: the directory of PATH that holds it, or else
// the current directory, read from /proc because getcwd may refuse long paths.
static bool bare_candidate(const char *name, char *result)
{
    char bare[PATH_MAX];
    if (strlcpy(bare, name, sizeof bare) >= sizeof bare) {
        errno = ENAMETOOLONG;
        return false;
    }
    const char *dir = path_seek(bare, getenv("PATH"), F_OK);
    if (dir != nullptr)
        return join(result, dir, bare);
    char cwd[PATH_MAX];
    const ssize_t n = readlink("/proc/self/cwd", cwd, sizeof cwd - 1);
    if (n <= 0)
        return strlcpy(result, bare, PATH_MAX) < PATH_MAX;
    cwd[n] = '\0';
    return join(result, cwd, bare);
}

// The canonical form of the candidate in whoami, in place; false when it names nothing.
static bool resolve_candidate()
{
    char resolved[PATH_MAX];
    if (whoami[0] == '\0' || realpath(whoami, resolved) == nullptr)
        return false;
    strlcpy(whoami, resolved, sizeof whoami);
    return true;
}

char *safe_whoami_name(const char *name)
{
    whoami[0] = '\0';
    if (name == nullptr || name[0] == '\0')
        return nullptr;
    if (!bare_candidate(name, whoami) || !resolve_candidate())
        whoami[0] = '\0';
    return whoami;
}

// The digit value of c in base 16 or 10, or -1.
static int digit(char c, unsigned base)
{
    const unsigned d = c >= '0' && c <= '9'                     ? unsigned(c - '0')
                       : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? unsigned((c | 0x20) - 'a' + 10)
                                                                : base;
    return d < base ? int(d) : -1;
}

// The number in base at the start of at, which must be followed by end; the
// text after end, or null when the field is malformed. By hand, like the rest
// of the line: the library's parsers cost every run pages of code and tables.
static const char *field(const char *at, unsigned base, char end, unsigned long long *value)
{
    const char *start = at;
    *value = 0;
    for (int d; (d = digit(*at, base)) >= 0; at++) {
        if (*value > (~0ULL - unsigned(d)) / base)
            return nullptr;
        *value = *value * base + unsigned(d);
    }
    return at != start && *at == end ? at + 1 : nullptr;
}

// A line of /proc/self/maps ("low-high perms offset major:minor inode   path")
// whose range holds here: its device, inode and path into id and path.
// 1 found, 0 another line, -1 a path too long.
static int mapping_at(const char *line, uintptr_t here, struct stat *id, char *path)
{
    unsigned long long low, high, offset, major, minor, inode;
    const char *at = field(line, 16, '-', &low);
    at = at ? field(at, 16, ' ', &high) : nullptr;
    at = at ? strchr(at, ' ') : nullptr; // past the permissions
    at = at ? field(at + 1, 16, ' ', &offset) : nullptr;
    at = at ? field(at, 16, ':', &major) : nullptr;
    at = at ? field(at, 16, ' ', &minor) : nullptr;
    at = at ? field(at, 10, ' ', &inode) : nullptr;
    if (at == nullptr || here < low || here >= high)
        return 0;
    while (*at == ' ')
        at++;
    id->st_dev = makedev((unsigned)major, (unsigned)minor);
    id->st_ino = (ino_t)inode;
    return strlcpy(path, at, PATH_MAX) < PATH_MAX ? 1 : -1;
}

// The file our code was loaded from, as the kernel recorded its mapping in
// /proc/self/maps: device, inode and path. Unlike /proc/self/exe it names our
// program under a user-mode emulator and when started through the dynamic
// loader (there /proc/self/exe names the emulator or the loader). Read with
// plain reads into the stack: a stream would cost allocations in every run.
static int code_file(struct stat *id, char *path)
{
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const uintptr_t here = reinterpret_cast<uintptr_t>(&code_file);
    char buf[PATH_MAX + 256];
    size_t have = 0;
    int found = 0;
    ssize_t n;
    // A line longer than the buffer holds a path longer than any we accept.
    while (found == 0 && have < sizeof buf - 1 &&
           (n = read(fd, buf + have, sizeof buf - 1 - have)) > 0) {
        have += (size_t)n;
        buf[have] = '\0';
        char *line = buf;
        for (char *end; found == 0 && (end = strchr(line, '\n')) != nullptr; line = end + 1) {
            *end = '\0';
            found = mapping_at(line, here, id, path);
        }
        have -= (size_t)(line - buf);
        memmove(buf, line, have);
    }
    close(fd);
    return found == 1 ? 0 : -1;
}

static bool same_file(const char *path, const struct stat *id)
{
    struct stat st;
    return stat(path, &st) == 0 && st.st_dev == id->st_dev && st.st_ino == id->st_ino;
}

// argv[0] when it holds a '/', else the path the program was executed by, else a search of PATH.
static bool candidate(const char *argv0)
{
    if (argv0 != nullptr && strchr(argv0, '/') != nullptr)
        return strlcpy(whoami, argv0, sizeof whoami) < sizeof whoami;
    const char *execfn = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    if (execfn == nullptr || execfn[0] == '\0')
        return argv0 != nullptr && bare_candidate(argv0, whoami);
    if (strchr(execfn, '/') == nullptr)
        return bare_candidate(execfn, whoami);
    return strlcpy(whoami, execfn, sizeof whoami) < sizeof whoami;
}

char *safe_whoami(const char *argv0)
{
    struct stat running;
    char recorded[PATH_MAX];
    if (code_file(&running, recorded) != 0) {
        whoami[0] = '\0';
        return whoami;
    }
    if (candidate(argv0) && resolve_candidate() && same_file(whoami, &running))
        return whoami;
    // argv[0] and PATH are the caller's to choose; the kernel's record is not.
    if (strlcpy(whoami, recorded, sizeof whoami) >= sizeof whoami || !resolve_candidate() ||
        !same_file(whoami, &running))
        whoami[0] = '\0';
    return whoami;
}
