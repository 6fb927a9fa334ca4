#include "strlcat.h"

#include <string.h>

/*
 * Appends src to the text in dst, a buffer of size bytes; never looks past
 * dst[size - 1]. Returns the length the whole text would have had, so a
 * result >= size tells the caller the text was cut.
 */
size_t strlcat(char *dst, const char *src, size_t size)
{
    size_t len = strlen(src);
    size_t dlen = strnlen(dst, size);

    /* No terminator within size: the destination is not ours to touch. */
    if (dlen == size)
        return size + len;
    size_t room = size - dlen - 1;
    size_t n = len < room ? len : room;
    memcpy(dst + dlen, src, n);
    dst[dlen + n] = '\0';
    return dlen + len;
}
