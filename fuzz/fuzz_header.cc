// Our header, with each driver's prefix and with none: the header decides.
#include "fuzz_common.h"

static const char *const prefixes[] = {"", "umb:", "tev:", "dox:", "yar:", "oka:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
