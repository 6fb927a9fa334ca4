#include "self_relocate.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string_view>

#include "safe_path.h"
#include "safe_whoami.h"
#include "strlcat.h"
#include "strlcpy.h"

sigjmp_buf jmp_relocate;

static const char reloname[] = "self_relocate";
static const char altname[] = "self_altpath";

// The alternate root outlives self_relocate on purpose: the process either
// becomes the waiting parent or ends, so it is never released. Keeping it
// reachable here stops leak checkers from reporting it.
static char *volatile kept_altpath;

namespace
{

// dir never ends in '/'; an empty dir has no component left.
std::string_view last_component(const char *dir)
{
    const char *slash = strrchr(dir, '/');
    return slash != nullptr ? slash + 1 : dir;
}

bool last_is(const char *dir, std::string_view name)
{
    return dir[0] != '\0' && last_component(dir) == name;
}

void drop_component(char *dir)
{
    char *slash = strrchr(dir, '/');
    if (slash != nullptr)
        *slash = '\0';
    else
        dir[0] = '\0';
}

// /opt/qor/<maker>/<product>/...: the product directory is the prefix and two components.
bool maker_tree(const char *exe, char *path)
{
    if (strncmp(exe, "/opt/qor/", 9) != 0 && strncmp(exe, "/opt/QOR/", 9) != 0)
        return false;
    const char *first = strchr(exe + 9, '/');
    const char *second = first != nullptr ? strchr(first + 1, '/') : nullptr;
    if (second == nullptr)
        return false;
    strlcpy(path, exe, (size_t)(second - exe) + 2);
    return true;
}

bool system_dirs(const char *exe)
{
    return strncmp(exe, "/usr/bin/", 9) == 0 || strncmp(exe, "/usr/sbin/", 10) == 0 ||
           strncmp(exe, "/bin/", 5) == 0 || strncmp(exe, "/sbin/", 6) == 0;
}

// Walks up from the executable past .orig, bin or sbin, and usr.
bool product_dir(const char *exe, char *path)
{
    if (strlcpy(path, exe, PATH_MAX) >= PATH_MAX)
        return false;
    drop_component(path);
    if (last_is(path, ".orig"))
        drop_component(path);
    if (last_is(path, "bin") || last_is(path, "sbin"))
        drop_component(path);
    if (last_is(path, "usr"))
        drop_component(path);
    return strlcat(path, "/", PATH_MAX) < PATH_MAX;
}

// <root>usr/lpp/<product>/ or <root>opt/qor/<maker>/<product>/; -1 when neither.
int tree_root(const char *path, char *root_path, int_fast32_t *is_rte)
{
    char dir[PATH_MAX];
    strlcpy(dir, path, sizeof dir);
    dir[strlen(dir) - 1] = '\0';
    drop_component(dir);
    const bool lpp = last_is(dir, "lpp");
    drop_component(dir);
    if (lpp) {
        if (!last_is(dir, "usr"))
            return -1;
        *is_rte = 1;
    } else {
        if (!last_is(dir, "qor") && !last_is(dir, "QOR"))
            return -1;
        drop_component(dir);
        if (!last_is(dir, "opt"))
            return -1;
    }
    strlcpy(root_path, dir, (size_t)(strrchr(dir, '/') - dir) + 2);
    return 0;
}

char *alternate_root(const char *root_path)
{
    const char *alt = getenv(altname);
    if (alt == nullptr)
        return nullptr;
    const size_t size = strlen(root_path) + strlen(alt) + 1;
    char *altpath = static_cast<char *>(aligned_alloc(16, (size + 15) & ~(size_t)15));
    if (altpath == nullptr)
        return nullptr;
    strlcpy(altpath, root_path, size);
    strlcat(altpath, alt, size);
    kept_altpath = altpath;
    return altpath;
}

} // namespace

int relocate_layout(const char *exe, char *path, char *root_path, int_fast32_t *installed,
                    int_fast32_t *is_rte)
{
    *installed = 0;
    *is_rte = 0;
    // Directly in "/" there is no directory to walk up from.
    if (exe[0] != '/' || strrchr(exe, '/') == exe) {
        errno = EINVAL;
        return -1;
    }
    if (strlen(exe) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const bool maker = maker_tree(exe, path);
    if (maker || system_dirs(exe)) {
        if (!maker)
            strlcpy(path, "/", PATH_MAX);
        strlcpy(root_path, "/", PATH_MAX);
        *installed = 1;
        return 0;
    }
    if (!product_dir(exe, path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (tree_root(path, root_path, is_rte) != 0)
        strlcpy(root_path, path, PATH_MAX);
    return 0;
}

namespace
{

// A list, the entries a tree adds to it, and the directory each entry stands for.
struct search_list {
    const char *name;
    const char *entries[2];
    const char *dirs[2];
    bool alternate;
};

const search_list search_lists[] = {
    {"PATH", {"usr/bin/"}, {"usr/bin"}, true},
    {"LD_LIBRARY_PATH", {"usr/lib/"}, {"usr/lib"}, true},
    {"NLSPATH", {"usr/share/locale/%L/%N"}, {"usr/share/locale"}, true},
    {"MANPATH", {"usr/share/man/"}, {"usr/share/man"}, true},
    {"ETCPATH", {"etc", "etc.d"}, {"etc", "etc.d"}, false},
};

// Anyone who can plant a library or a program in a listed directory runs it
// as whoever runs us: an entry goes in only for a directory that is trusted.
// A directory that is missing is left out too: every entry costs the loader
// and the search of every list a dozen failed lookups.
void add_entry(const char *name, const char *tree, const char *entry, const char *dir)
{
    if (path_trusted_below(tree, dir) == 0)
        path_prepend(name, tree, entry);
}

// The same tree twice (an unrecognised layout is its own root) is listed once, in its last place.
bool listed_later(const char *const *trees, int i, int n)
{
    for (int j = i + 1; j < n; j++)
        if (strcmp(trees[i], trees[j]) == 0)
            return true;
    return false;
}

} // namespace

void relocate_paths(const char *path, const char *root_path, int_fast32_t installed,
                    const char *altpath)
{
    const char *trees[3];
    int n = 0;
    if (altpath != nullptr)
        trees[n++] = altpath;
    if (!installed)
        trees[n++] = root_path;
    trees[n++] = path;
    // A tree's own directories are checked once for all its entries.
    bool listed[3];
    for (int i = 0; i < n; i++)
        listed[i] = !listed_later(trees, i, n) && path_tree_trusted(trees[i]) == 0;
    for (const auto &list : search_lists) {
        for (int i = 0; i < n; i++) {
            if (!listed[i] || (trees[i] == altpath && !list.alternate))
                continue;
            for (int e = 0; e < 2 && list.entries[e] != nullptr; e++)
                add_entry(list.name, trees[i], list.entries[e], list.dirs[e]);
        }
    }
}

char *self_relocate(const int argc, const char **argv)
{
    // With SIGCHLD ignored the kernel reaps our children before any wait: the
    // supervisor could not learn the child's status, nor the child (or the
    // one process) that of the manual page viewer.
    signal(SIGCHLD, SIG_DFL);
    char *marker = getenv(reloname);
    if (marker != nullptr && marker[0] != '\0')
        return marker;
    setenv("LIBC_FATAL_STDERR_", "1", 1);

    const char *argv0 = argc > 0 ? argv[0] : nullptr;
    const char *me = safe_whoami(argv0);
    if (me == nullptr || me[0] == '\0') {
        fprintf(stderr, "%s: Can't tell who I am :-(\n", argv0 != nullptr ? argv0 : "");
        return nullptr;
    }
    // me is safe_whoami's own buffer, which nothing below writes: no copy is needed.
    char path[PATH_MAX], root_path[PATH_MAX];
    int_fast32_t installed, is_rte;
    if (relocate_layout(me, path, root_path, &installed, &is_rte) != 0)
        return nullptr;

    relocate_paths(path, root_path, installed, alternate_root(root_path));
    setenv(reloname, is_rte ? path : root_path, 1);
    relocate_supervise(argc, argv, me);
    return nullptr;
}
