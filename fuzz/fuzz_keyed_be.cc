// Keyed records, lengths and header fields big-endian.
#include "fuzz_common.h"

static const char *const prefixes[] = {"yar,order=be:", "yar,order=be,keypos=1,keylen=3:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
