// The record files fuzz target: a file that the program's own per-file step
// resolves, opens and copies (concat_file and the copier it picks), so every
// walk over the library's records and cache is the real one.
//
// The input's first byte picks a name prefix from the table below, the next
// the -l, -r and output (fuzz_copy.h); the rest is the file, "in" in the
// working directory. The seeds in
// corpus/files are files vfsmake made behind those two bytes; a "-cut" seed
// lacks its last byte.
#include <stdio.h>

#include <string>

#include "fuzz_copy.h"

namespace
{

const char *const prefixes[] = {
    // 0-5: our header decides, or the prefix without options
    "", "umb:", "tev:", "dox:", "yar:", "oka:",
    // 6-9: fixed records
    "umb,recfm=f,lrecl=8:", "umb,recfm=f:", "dox,recfm=f,lrecl=8:",
    "dox,recfm=fb,lrecl=8,blksize=32:",
    // 10-16: variable records behind each kind of prefix and descriptor word
    "umb,varfmt=0:", "umb,varfmt=1:", "umb,varfmt=2:", "umb,varfmt=3:", "dox,recfm=v:",
    "dox,recfm=vb:", "dox,recfm=vb,blksize=64:",
    // 17-20: keyed files in both byte orders, whole-record and partial keys
    "yar,order=le:", "yar,order=le,keypos=1,keylen=3:", "yar,order=be:",
    "yar,order=be,keypos=1,keylen=3:"};
constexpr size_t prefix_count = sizeof prefixes / sizeof prefixes[0];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    FILE *f = fopen("in", "wb");
    if (f == nullptr || fwrite(data + 2, 1, size - 2, f) != size - 2 || fclose(f) != 0)
        abort();
    std::string name = std::string(prefixes[data[0] % prefix_count]) + "in";
    fuzz::copy_operand(name.c_str(), data[1]);
    return 0;
}
