/* Statistics texts: scaled numbers, the timing report, time-stamped names. */
#ifndef VFS_UTILS_H
#define VFS_UTILS_H

#include <stdint.h>
#include <sys/resource.h>
#include <sys/times.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Each returns its own static area, valid until the same function runs again. */
char *vfs_util_u64tosi(const uint64_t uvalue);
char *vfs_util_dtosi(const double value);
char *vfs_util_elapsed(const clock_t *sclk, const struct tms *stms, const struct rusage *sru,
                       const clock_t *eclk, const struct tms *etms, const struct rusage *eru,
                       const uint64_t *bytes);
char *vfs_util_timestamp(char *name);

#ifdef __cplusplus
}
#endif

#endif
