/* Streams tuned for bulk transfer: non-blocking descriptor, big pipes, 1 MiB buffer. */
#ifndef FAST_STREAM_H
#define FAST_STREAM_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_BUFFER 1048576
#define MAX_PIPE 1048576

/* Returns the stream's new buffer, owned by the caller (free after fclose); null if none. */
void *fast_stream(FILE *stream);
/* Puts back the status flags fast_stream changed on descriptors 0-2 (also
 * run at exit); errno is kept. */
void restore_streams(void);
/* Flushes and syncs the stream; errno is kept. Always null. */
void *close_stream(const FILE *stream, const void *buffer);
FILE *dup_stream(FILE *stream);

#ifdef __cplusplus
}
#endif

#endif
