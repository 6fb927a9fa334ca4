/* Bounded copy: never writes past size bytes, always terminates when size > 0. */
#ifndef STRLCPY_H
#define STRLCPY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns strlen(src); a result >= size means the text was cut. */
size_t strlcpy(char *dst, const char *src, size_t size);

#ifdef __cplusplus
}
#endif

#endif
