/* Start-up relocation: extend the search paths and re-run as a supervised child. */
#ifndef SELF_RELOCATE_H
#define SELF_RELOCATE_H

#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

extern sigjmp_buf jmp_relocate;

/* Stands for exit status 0 on the way back through jmp_relocate. */
#define RELOCATE_ZERO 0xdeadbeef

/*
 * Sets the return point unless the marker starts with "2"; returns from the
 * calling function with the child's status when control comes back.
 */
#define PREP_RELOCATE()                                                                            \
    do {                                                                                           \
        const char *marker_ = getenv("self_relocate");                                             \
        if (marker_ == NULL || marker_[0] != '2') {                                                \
            int rc_ = sigsetjmp(jmp_relocate, 1);                                                  \
            if (rc_ != 0)                                                                          \
                return rc_ == (int)RELOCATE_ZERO ? 0 : rc_;                                        \
        }                                                                                          \
    } while (0)

char *self_relocate(const int argc, const char **argv);

/*
 * Installation layout of the canonical executable path exe: the product
 * directory into path and the installation root into root_path (both
 * PATH_MAX bytes, both ending in '/'), and the two layout flags.
 * 0, or -1 (EINVAL) when exe is not absolute or sits directly in "/".
 */
int relocate_layout(const char *exe, char *path, char *root_path, int_fast32_t *installed,
                    int_fast32_t *is_rte);

/*
 * Puts the tree's entries in front of PATH, LD_LIBRARY_PATH, NLSPATH,
 * MANPATH and ETCPATH. altpath (may be null) adds the alternate tree. Only
 * directories that pass path_trusted are listed, and a tree only once.
 */
void relocate_paths(const char *path, const char *root_path, int_fast32_t installed,
                    const char *altpath);

/*
 * Runs opath as a supervised child with argv (ended by a null pointer, as
 * main's is) and the current environment.
 * Once the child exists it never returns: it jumps to jmp_relocate with the
 * child's status. -1 with errno when no child could be started (also
 * ENAMETOOLONG for an argv[0] longer than a path).
 */
int relocate_supervise(const int argc, const char **argv, const char *opath);

#ifdef __cplusplus
}
#endif

#endif
