#include "library_error.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include "copiers.h"

void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
{
    uint32_t errnum = (uint32_t)err;
    const char *text = api->vfs_strerror ? api->vfs_strerror(fh, errnum, &errnum, &lookup) : 0;
    fprintf(stderr, fmt, (int)errnum, text ? text : "");
    errno = err;
}
