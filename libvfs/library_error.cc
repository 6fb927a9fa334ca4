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

/* The operand a failure is about, and whether a message named it yet. */
struct operand_state {
    const char *name = "-";
    bool named = false;
} operand;

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

void failing_operand(const char *name)
{
    operand.name = name;
    operand.named = false;
}

void operand_named(void)
{
    operand.named = true;
}

void name_operand(const char *text)
{
    if (!operand.named)
        fprintf(stderr, "%s: %s: %s\n", program_name, operand.name, text);
    operand.named = true;
}

void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
{
    uint32_t errnum = (uint32_t)err;
    const char *text = api->vfs_strerror ? api->vfs_strerror(fh, errnum, &errnum, &lookup) : 0;
    text = text ? text : "";
    // Damage is told by the byte it was found at: its first message names the file too.
    char named[sizeof last.text + 1024];
    if (!operand.named && strstr(text, " at byte ") != nullptr) {
        snprintf(named, sizeof named, "%s: %s", operand.name, text);
        operand.named = true;
        print_error(fmt, (int)errnum, named);
    } else {
        print_error(fmt, (int)errnum, text);
    }
    last.err = err;
    last.number = (int)errnum;
    strlcpy(last.text, text, sizeof last.text);
    errno = err;
}

void report_concatenate_failed(int err)
{
    bool named = last.err == err && err != 0;
    name_operand(named ? last.text : strerror(err));
    fprintf(stderr, "Eh? Concatenate failed %d:%s\n", named ? last.number : err,
            named ? last.text : strerror(err));
    errno = err;
}
