#include "library_error.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include "copiers.h"

namespace
{

// The callers' formats are checked where they are written (the header's
// format attribute); here they are passed on as they are.
void print_error(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
}

} // namespace

void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
{
    uint32_t errnum = (uint32_t)err;
    const char *text = api->vfs_strerror ? api->vfs_strerror(fh, errnum, &errnum, &lookup) : 0;
    print_error(fmt, (int)errnum, text ? text : "");
    errno = err;
}
