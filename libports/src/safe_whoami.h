/* The canonical absolute path of the running executable. */
#ifndef SAFE_WHOAMI_H
#define SAFE_WHOAMI_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The file the running program was loaded from, named by argv0 (or PATH) when
 * that is the same file, else by the kernel's record; static; empty text when
 * the file cannot be named.
 */
char *safe_whoami(const char *argv0);
/* A bare file name looked up in PATH, else the current directory; static; empty if it names
 * nothing. */
char *safe_whoami_name(const char *name);

#ifdef __cplusplus
}
#endif

#endif
