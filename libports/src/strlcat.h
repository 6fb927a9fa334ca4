/* Bounded concatenation onto a terminated text in a buffer of size bytes. */
#ifndef STRLCAT_H
#define STRLCAT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the length the combined text would have had with unlimited room. */
size_t strlcat(char *dst, const char *src, size_t size);

#ifdef __cplusplus
}
#endif

#endif
