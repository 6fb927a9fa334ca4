/* Program-wide state of tandro and the entry points of its copy engines. */
#ifndef COPIERS_H
#define COPIERS_H

#include <stdint.h>

#include "vfs_api.h"
#include "vfs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Copy counters, read by the -T report. */
extern uint64_t file_size;    /* bytes read plus bytes written */
extern uint64_t zero_copies;  /* splice, copy_file_range, sendfile calls */
extern uint64_t tripl_copies; /* user-space chunks, records and blocks from the cache */
extern uint64_t pent_copies;  /* vfs_read calls into a copier's own buffer */

extern unsigned int debug;   /* count of -d */
extern unsigned int verbose; /* count of -v */
extern const char *program_name;

/* Last argument of every vfs_strerror call. */
extern const uint32_t lookup;

/* A record length of 0 or all ones means the file has none. */
static inline int reclen_unset(uint64_t datlen)
{
    return datlen == 0 || datlen == VFS_ERROR;
}

/* The answer of a copy that has printed why the run must end, with status 2. */
#define CONCAT_STOP 2

/* Copy a byte stream (null: standard input) to descriptor 1: 0, CONCAT_STOP,
 * or -1 with errno. */
int concat_stdio(char *filename);
/* The same, with the name the user gave for it (for messages). */
int concat_stream(const char *filename, const char *given);

/* Resolve one named operand and copy it: 0 when copied, CONCAT_STOP when the
 * run must end without a further message, other non-zero with errno. Every
 * operand starts from the command line's settings in file_info. */
int concat_file(char *filename, const struct vfs_file_info *file_info);

/* Open, describe, copy and close one library file; given is the name the user gave. */
int concat_vfs(const struct vfs_api *api, const char *given, const struct vfs_file_info *file_info);

/* The record and block copiers: 0 when copied, CONCAT_STOP, or -1 with errno. */
int read_buffer(const struct vfs_api *api, struct vfs_file *fh,
                const struct vfs_file_info *file_info);
int read_linef(const struct vfs_api *api, struct vfs_file *fh,
               const struct vfs_file_info *file_info);
int read_lines(const struct vfs_api *api, struct vfs_file *fh,
               const struct vfs_file_info *file_info);

#ifdef __cplusplus
}
#endif

#endif
