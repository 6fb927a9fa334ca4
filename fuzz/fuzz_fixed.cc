// Fixed records: record sequential, queued sequential unblocked and blocked.
#include "fuzz_common.h"

static const char *const prefixes[] = {"umb,recfm=f,lrecl=8:", "umb,recfm=f:",
                                       "dox,recfm=f,lrecl=8:", "dox,recfm=fb,lrecl=8,blksize=32:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
