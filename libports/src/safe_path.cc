#include "safe_path.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "strlcat.h"
#include "strlcpy.h"

namespace
{

char found[PATH_MAX];

size_t length_of(const char *s)
{
    return s ? strlen(s) : 0;
}

char *put(char *at, const char *s, size_t len)
{
    if (len > 0)
        memcpy(at, s, len);
    return at + len;
}

/* Entry prefix+value in front of or behind the old value of name. */
int path_add(const char *name, const char *prefix, const char *value, bool in_front)
{
    size_t lp = length_of(prefix), lv = length_of(value);
    /* Nothing to add, or no variable to add it to, is a caller's mistake. An
     * entry with a colon would be split into others, relative ones among them
     * (a directory "/d/a:b/" lists "b/..." of the current directory). */
    if (lp + lv == 0 || name == nullptr || (prefix != nullptr && strchr(prefix, ':') != nullptr) ||
        (value != nullptr && strchr(value, ':') != nullptr)) {
        errno = EINVAL;
        return -1;
    }
    const char *old = getenv(name);
    size_t lo = length_of(old);
    char *buf;
    if (lo > 0) {
        /* aligned_alloc wants a multiple of the alignment; round up to it. */
        size_t need = lp + lv + lo + 2;
        buf = static_cast<char *>(aligned_alloc(16, (need + 15) & ~size_t(15)));
    } else {
        buf = static_cast<char *>(calloc(lp + lv + 1, 1));
    }
    if (buf == nullptr)
        return -1;

    char *at = buf;
    if (lo > 0 && !in_front)
        at = put(put(at, old, lo), ":", 1);
    at = put(put(at, prefix, lp), value, lv);
    if (lo > 0 && in_front)
        at = put(put(at, ":", 1), old, lo);
    *at = '\0';

    int rc = setenv(name, buf, 1);
    int saved = errno;
    free(buf);
    errno = saved;
    return rc;
}

// A directory as lstat found it: owned by root or us, and writable by nobody
// else unless it is only an ancestor and sticky.
bool trusted_stat(const struct stat &st, bool last, uid_t me)
{
    const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != me) ||
        (others_write && (last || !(st.st_mode & S_ISVTX)))) {
        errno = EACCES;
        return false;
    }
    return true;
}

// One directory of a trusted path, left as realpath gave it (a link now is a swap).
bool trusted_component(const char *dir, bool last, uid_t me)
{
    struct stat st;
    return lstat(dir, &st) == 0 && trusted_stat(st, last, me);
}

// Every directory of the canonical path real from "/" on; the last one is held
// to the stricter rule unless it is only the ancestor of what is checked.
bool trusted_walk(char *real, bool last_is_ancestor, uid_t me)
{
    if (real[1] != '\0' && !trusted_component("/", false, me))
        return false;
    for (char *cut = real;;) {
        cut = strchr(cut + 1, '/');
        if (cut != nullptr)
            *cut = '\0';
        const bool trusted = trusted_component(real, cut == nullptr && !last_is_ancestor, me);
        if (cut == nullptr || !trusted)
            return trusted;
        *cut = '/';
    }
}

// The length of tree's directory part: up to and including its last '/'.
size_t tree_dir_length(const char *tree)
{
    const char *slash = strrchr(tree, '/');
    return slash != nullptr ? size_t(slash - tree) + 1 : 0;
}

} // namespace

/*
 * 0 when dir is an existing directory that only root and the effective user
 * can change: after symbolic links are resolved every component is owned by
 * one of them and writable by neither group nor others, except that an
 * ancestor may be a sticky directory such as /tmp. Else -1 with errno.
 */
int path_trusted(const char *dir)
{
    char real[PATH_MAX];
    if (dir == nullptr || realpath(dir, real) == nullptr)
        return -1;
    return trusted_walk(real, false, geteuid()) ? 0 : -1;
}

/*
 * 0 when the directory part of tree (up to its last '/') may be the ancestor
 * of a trusted directory: its components pass path_trusted's rule, the last
 * one as an ancestor. Else -1 with errno.
 */
int path_tree_trusted(const char *tree)
{
    char dir[PATH_MAX], real[PATH_MAX];
    const size_t len = tree != nullptr ? tree_dir_length(tree) : 0;
    if (len == 0 || len >= sizeof dir) {
        errno = len == 0 ? EINVAL : ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, tree, len);
    dir[len] = '\0';
    if (realpath(dir, real) == nullptr)
        return -1;
    return trusted_walk(real, true, geteuid()) ? 0 : -1;
}

/*
 * path_trusted(tree + sub) once path_tree_trusted(tree) passed: only the
 * directories below tree's directory part are examined, one lstat each; a
 * symbolic link among them sends the whole path through path_trusted.
 */
int path_trusted_below(const char *tree, const char *sub)
{
    char full[PATH_MAX];
    if (strlcpy(full, tree, sizeof full) >= sizeof full ||
        strlcat(full, sub, sizeof full) >= sizeof full) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const uid_t me = geteuid();
    for (char *at = full + tree_dir_length(tree); *at != '\0';) {
        char *cut = strchrnul(at, '/');
        const char keep = *cut;
        *cut = '\0';
        struct stat st;
        if (lstat(full, &st) != 0)
            return -1;
        *cut = keep;
        if (S_ISLNK(st.st_mode))
            return path_trusted(full);
        if (!trusted_stat(st, keep == '\0' || cut[1] == '\0', me))
            return -1;
        at = keep != '\0' ? cut + 1 : cut;
    }
    return 0;
}

/*
 * First directory of the colon-separated list in which program passes
 * access(perms), with one trailing '/', in a static area; null if none. Empty
 * entries are skipped; any failure but ENOENT ends the search (errno kept),
 * and so does an entry and name too long for the area (ENAMETOOLONG).
 */
/* found = the len bytes of entry, one '/', program; false (ENAMETOOLONG) when it does not fit. */
static bool join_entry(const char *entry, size_t len, const char *program)
{
    if (len >= sizeof found) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(found, entry, len);
    found[len] = '\0';
    if ((found[len - 1] != '/' && strlcat(found, "/", sizeof found) >= sizeof found) ||
        strlcat(found, program, sizeof found) >= sizeof found) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

char *path_seek(const char *program, const char *list, int_fast32_t perms)
{
    if (program == nullptr || list == nullptr)
        return nullptr;
    for (const char *entry = list;;) {
        const char *colon = strchr(entry, ':');
        size_t len = colon ? size_t(colon - entry) : strlen(entry);
        if (len > 0) {
            if (!join_entry(entry, len, program))
                return nullptr;
            const size_t dir_len = strlen(found) - strlen(program);
            if (access(found, int(perms)) == 0) {
                found[dir_len] = '\0';
                return found;
            }
            if (errno != ENOENT)
                return nullptr;
        }
        if (colon == nullptr)
            return nullptr;
        entry = colon + 1;
    }
}

/* 0 when dir is, byte for byte, an entry of the list in the named variable. */
int path_match(const char *dir, const char *variable)
{
    if (dir == nullptr || variable == nullptr)
        return -1;
    const char *entry = getenv(variable);
    if (entry == nullptr || *entry == '\0')
        return -1;
    while (*entry == ':')
        entry++;
    size_t dir_len = strlen(dir);
    for (;;) {
        const char *colon = strchr(entry, ':');
        size_t len = colon ? size_t(colon - entry) : strlen(entry);
        if (len == dir_len && memcmp(entry, dir, len) == 0)
            return 0;
        if (colon == nullptr)
            return -1;
        entry = colon + 1;
    }
}

/* Put prefix+value in front of variable name's list; 0, or -1 with errno. */
int path_prepend(const char *name, const char *prefix, const char *value)
{
    return path_add(name, prefix, value, true);
}

/* The same, behind the list. */
int path_append(const char *name, const char *prefix, const char *value)
{
    return path_add(name, prefix, value, false);
}
