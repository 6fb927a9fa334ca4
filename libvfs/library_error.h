/* The library's failure texts in the program's messages. */
#ifndef LIBRARY_ERROR_H
#define LIBRARY_ERROR_H

#include "vfs_api.h"

/* Prints fmt with the library's number and text for err (the library may
 * replace the number); errno is kept. The run's closing line gives the same
 * number and text when err is what ended the copy. */
void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
    __attribute__((format(printf, 1, 0)));

/* Prints the run's closing line, "Eh? Concatenate failed N:TEXT", for err:
 * the number and text last reported for it, else the system's. */
void report_concatenate_failed(int err);

#endif
