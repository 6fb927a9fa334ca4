/* The library's failure texts in the program's messages. */
#ifndef LIBRARY_ERROR_H
#define LIBRARY_ERROR_H

#include "vfs_api.h"

/* Prints fmt with the library's number and text for err (the library may
 * replace the number); errno is kept. */
void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
    __attribute__((format(printf, 1, 0)));

#endif
