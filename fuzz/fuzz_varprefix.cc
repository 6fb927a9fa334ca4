// Variable records behind each of the four length prefixes.
#include "fuzz_common.h"

static const char *const prefixes[] = {
    "umb,varfmt=0:", "umb,varfmt=1:", "umb,varfmt=2:", "umb,varfmt=3:"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz::file_target(prefixes, data, size);
}
