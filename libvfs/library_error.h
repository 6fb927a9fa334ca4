/* The library's failure texts in the program's messages. */
#ifndef LIBRARY_ERROR_H
#define LIBRARY_ERROR_H

#include "vfs_api.h"

/* Prints fmt with the library's number and text for err (the library may
 * replace the number); errno is kept. The run's closing line gives the same
 * number and text when err is what ended the copy. */
void report_library(const char *fmt, const struct vfs_api *api, struct vfs_file *fh, int err)
    __attribute__((format(printf, 1, 0)));

/*
 * The operand being copied, as typed: a failure is named by it once, in the
 * form "PROGRAM: NAME: TEXT" before the closing line, or in the first
 * message that gives a byte offset of damage.
 */
void failing_operand(const char *name);

/* A message of the operand named it ("Eh? NAME: input file is output file"). */
void operand_named(void);

/* "PROGRAM: NAME: text" for the operand, unless a message already named it. */
void name_operand(const char *text);

/* Prints the run's closing line, "Eh? Concatenate failed N:TEXT", for err:
 * the number and text last reported for it, else the system's; the line
 * naming the operand comes first. */
void report_concatenate_failed(int err);

#endif
