// The operand names fuzz target: a name, prefix and options included, through
// the program's resolution and per-file step (concat_file), run in
// corpus/fixtures, where h, t, v, f and k are record files (a header file of
// two kinds, variable, fixed and keyed records) and p is text.
//
// The input's first byte picks -l, -r and the output (fuzz_copy.h); the rest
// is the name. Names with a slash are passed over: they could reach files
// outside the fixtures (a device that never ends, a FIFO that never opens).
#include <string>

#include "fuzz_copy.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::point_output(false); // opens the appending output before leaving for the fixtures
    if (chdir(FUZZ_FIXTURES) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1000)
        return 0;
    std::string name(reinterpret_cast<const char *>(data + 1), size - 1);
    if (name.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return 0;
    fuzz::copy_operand(name.c_str(), data[0]);
    return 0;
}
