/* Streams tuned for bulk transfer: big pipes and socket buffers, 1 MiB buffer. */
#ifndef FAST_STREAM_H
#define FAST_STREAM_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_BUFFER 1048576
#define MAX_PIPE 1048576

/*
 * Tunes the descriptor under stream for bulk transfer (a pipe enlarged to
 * MAX_PIPE, socket buffers raised; its file status flags are never changed)
 * and installs a MAX_BUFFER buffer aligned to 4096 on the stream. Returns
 * the buffer, which the caller frees after closing the stream; null when
 * none could be had.
 */
void *fast_stream(FILE *stream);
/*
 * Flushes stream and forces what it wrote to storage under the stream's lock.
 * Failures are not reported and errno is as on entry, so a caller can close
 * on its way out and still report its own error. Always null.
 */
void *close_stream(const FILE *stream, const void *buffer);
/* The stream itself: no duplicate is made. */
FILE *dup_stream(FILE *stream);
/*
 * From now on standard error is a stream (the one fast_stream installs for
 * messages) that calls hook before each write; null: nothing.
 */
void before_messages(void (*hook)(void));

#ifdef __cplusplus
}
#endif

#endif
