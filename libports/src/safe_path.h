/* Colon-separated path lists: search, membership, and adding entries to a variable. */
#ifndef SAFE_PATH_H
#define SAFE_PATH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Directory of list environ (the text) holding program, with a trailing '/'; static; or null. */
char *path_seek(const char *program, const char *environ, int_fast32_t perms);
/* 0 when dir is an entry of the variable named environ, else -1. */
int path_match(const char *dir, const char *environ);
/* Put prefix+value in front of (behind) the variable name. 0, or -1 with errno
 * (EINVAL, the variable untouched, for an entry holding a colon). */
int path_prepend(const char *name, const char *prefix, const char *value);
int path_append(const char *name, const char *prefix, const char *value);
/* 0 when only root and the effective user can change directory dir (see safe_path.cc), else -1. */
int path_trusted(const char *dir);
/* 0 when tree's directory part (up to its last '/') may lead to trusted directories, else -1. */
int path_tree_trusted(const char *tree);
/* path_trusted(tree + sub) after path_tree_trusted(tree) passed, checking only what lies below. */
int path_trusted_below(const char *tree, const char *sub);

#ifdef __cplusplus
}
#endif

#endif
