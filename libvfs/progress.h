/*
 * The -T progress line: while the run is in its terminal's foreground and
 * standard error is that terminal but standard output is not, one line with
 * the operand being copied, the input bytes consumed, the rate and, where
 * the size is known, the percentage. It is redrawn as bytes move, at most
 * four times a second, and erased before any other message of the run.
 */
#ifndef PROGRESS_H
#define PROGRESS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Decides once, before the first operand, whether the line may be shown
 * (timeit: -T was given); then messages on stderr erase it first. */
void progress_setup(int timeit);

/* A new operand, its name as typed (kept, not copied); its size is not
 * known until progress_total. */
void progress_begin(const char *name);

/* The bytes the current operand's input holds, where a copier knows it. */
void progress_total(uint64_t bytes);

/* The same for a regular file read through its descriptor fd from its start. */
void progress_input(int fd);

/* Input bytes consumed since the last call; redraws the line when it is
 * time. The copiers call it once per chunk. */
void progress_moved(uint64_t bytes);

/* The most one zero-copy call may move: limit itself, or while the line may
 * be shown no more than the line's rate allows between two redraws (64 MiB
 * at most). */
int64_t progress_chunk(int64_t limit);

/* Erases the line, where it is shown. */
void progress_erase(void);

#ifdef __cplusplus
}
#endif

#endif
