// One record walk over the input as a file. FUZZ_PREFIXES lists the name
// prefixes the target chooses from by the input's first byte (a target for
// one record layout lists one); the second byte chooses the walk, the
// record length and format (fuzz::take_mode); the rest is the file.
#include "fuzz_common.h"

static const char *const prefixes[] = {FUZZ_PREFIXES};
static constexpr size_t count = sizeof prefixes / sizeof prefixes[0];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t which = 0;
    if (count > 1 && size > 0) {
        which = data[0] % count;
        data++;
        size--;
    }
    fuzz::mode m = fuzz::take_mode(data, size);
    std::string name = std::string(prefixes[which]) + fuzz::scratch().fill(data, size);
    fuzz::open_and_walk(name.c_str(), m, size);
    return 0;
}
