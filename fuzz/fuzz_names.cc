// Name prefixes and their options: the input's first line is put in front
// of ":" and the scratch file's path; the rest of the input is the file.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end = static_cast<const uint8_t *>(memchr(data, '\n', size));
    size_t text = end ? static_cast<size_t>(end - data) : size;
    if (memchr(data, '\0', text) != nullptr || text > 1100)
        return 0;
    std::string prefix(reinterpret_cast<const char *>(data), text);
    size_t skip = end ? text + 1 : text;
    std::string name = prefix + ":" + fuzz::input_file(data + skip, size - skip);
    fuzz::copy(name.c_str(), 0);
    return 0;
}
