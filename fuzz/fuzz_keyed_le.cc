// Keyed records, lengths and header fields little-endian.
#include "fuzz_common.h"

static const char *const prefixes[] = {"yar,order=le:", "yar,order=le,keypos=1,keylen=3:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
