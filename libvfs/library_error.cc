#include "library_error.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "copiers.h"
#include "strlcpy.h"

namespace
{

/* The last failure the library named: what the closing line repeats. */
struct named_failure {
    int err = 0;    /* as the caller had it */
    int number = 0; /* as the library gave it */
    char text[256] = "";
} last;

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
    last.err = err;
    last.number = (int)errnum;
    strlcpy(last.text, text ? text : "", sizeof last.text);
    errno = err;
}

void report_concatenate_failed(int err)
{
    bool named = last.err == err && err != 0;
    fprintf(stderr, "Eh? Concatenate failed %d:%s\n", named ? last.number : err,
            named ? last.text : strerror(err));
    errno = err;
}
