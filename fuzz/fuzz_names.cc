// Name prefixes and their options: the input's first line is put in front
// of ":" and the scratch file's path; the rest of the input is the file.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end = static_cast<const uint8_t *>(memchr(data, '\n', size));
    size_t text = end ? end - data : size;
    if (memchr(data, '\0', text) != nullptr || text > 1100)
        return 0;
    std::string prefix(reinterpret_cast<const char *>(data), text);
    data += end ? text + 1 : text;
    size -= end ? text + 1 : text;
    fuzz::mode m{fuzz::mode::dispatch, VFS_ERROR, vfs_rec_unk};
    std::string name = prefix + ":" + fuzz::scratch().fill(data, size);
    fuzz::open_and_walk(name.c_str(), m, size);
    return 0;
}
