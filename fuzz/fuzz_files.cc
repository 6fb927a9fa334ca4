// Record files of every layout: the input's first byte picks the name
// prefix, the next the -l and -r the program is given, the rest is the file.
#include "fuzz_common.h"

static const char *const prefixes[] = {
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto take = [&]() -> uint8_t { return size > 0 ? (size--, *data++) : 0; };
    const char *prefix = prefixes[take() % (sizeof prefixes / sizeof prefixes[0])];
    uint8_t mode = take();
    std::string name = prefix + fuzz::input_file(data, size);
    fuzz::copy(name.c_str(), mode);
    return 0;
}
