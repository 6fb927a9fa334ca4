// Blocks behind block descriptor words, records behind record descriptor words.
#include "fuzz_common.h"

static const char *const prefixes[] = {"dox,recfm=vb:", "dox,recfm=vb,blksize=64:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
