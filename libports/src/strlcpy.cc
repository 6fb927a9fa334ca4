#include "strlcpy.h"

#include <string.h>

/*
 * Copies src into dst of size bytes, always terminating when size > 0.
 * Returns strlen(src), so a result >= size tells the caller the text was cut.
 */
size_t strlcpy(char *dst, const char *src, size_t size)
{
    size_t len = strlen(src);

    if (size == 0)
        return len;
    size_t n = len < size ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    return len;
}
