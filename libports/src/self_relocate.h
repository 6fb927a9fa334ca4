/* Start-up relocation: extend the search paths and re-run as a supervised child. */
#ifndef SELF_RELOCATE_H
#define SELF_RELOCATE_H

#include <setjmp.h>
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
#define PREP_RELOCATE()                                                                       \
    do {                                                                                      \
        const char *marker_ = getenv("self_relocate");                                        \
        if (marker_ == NULL || marker_[0] != '2') {                                           \
            int rc_ = sigsetjmp(jmp_relocate, 1);                                             \
            if (rc_ != 0)                                                                     \
                return rc_ == (int)RELOCATE_ZERO ? 0 : rc_;                                   \
        }                                                                                     \
    } while (0)

char *self_relocate(const int argc, const char **argv);

#ifdef __cplusplus
}
#endif

#endif
