#include "record_buffer.h"

#include <errno.h>
#include <stddef.h>

#include "copiers.h"

uint64_t first_record_length(uint64_t datlen)
{
    return reclen_unset(datlen) ? 4096 : datlen + 1;
}

bool record_buffer::alloc(uint64_t length)
{
    free(iov.ptr);
    iov.ptr = nullptr;
    iov.length = length;
    // The allocation is rounded up to the alignment, which strict allocators
    // require; the library is told only the length.
    if (length == 0 || length > (uint64_t)PTRDIFF_MAX - 15) {
        errno = ENOMEM;
        return false;
    }
    iov.ptr = aligned_alloc(16, (size_t)((length + 15) & ~UINT64_C(15)));
    return iov.ptr != nullptr;
}
