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

/* A count with two decimals and a binary prefix (Ki ... Ei). */
char *vfs_util_u64tosi(const uint64_t uvalue);
/* The same for a double; negative values and NaN are never scaled. */
char *vfs_util_dtosi(const double value);
/*
 * The timing report: elapsed, user and system seconds, then, with bytes, the
 * bytes moved and their rate over the elapsed time. Missing end readings are
 * taken now; the tms readings are not used. Cut at 99 characters.
 */
char *vfs_util_elapsed(const clock_t *sclk, const struct tms *stms, const struct rusage *sru,
                       const clock_t *eclk, const struct tms *etms, const struct rusage *eru,
                       const uint64_t *bytes);
/* name.pid.YYYYmmdd.HHMMSS.usec+hhmm with the standard-time zone offset
 * (seconds west, as in timezone); without a name the text starts at the pid. */
char *vfs_util_timestamp(char *name);

#ifdef __cplusplus
}
#endif

#endif
