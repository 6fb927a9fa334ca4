// Variable records behind record descriptor words.
#include "fuzz_common.h"

static const char *const prefixes[] = {"dox,recfm=v:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
