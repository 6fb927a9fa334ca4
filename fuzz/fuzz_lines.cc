// Line records, by prefix and by header.
#include "fuzz_common.h"

static const char *const prefixes[] = {"tev:", ""};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
