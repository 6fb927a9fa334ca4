/* The canonical absolute path of the running executable. */
#ifndef SAFE_WHOAMI_H
#define SAFE_WHOAMI_H

#ifdef __cplusplus
extern "C" {
#endif

/* Static result; empty text when unresolvable; null when no candidate was formed. */
char *safe_whoami(const char *argv0);
/* The same answer for a bare file name: the directory of PATH holding it, else the current one. */
char *safe_whoami_name(const char *name);

#ifdef __cplusplus
}
#endif

#endif
