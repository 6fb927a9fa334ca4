// The fuzz target: a file that the program's own engines resolve, open and
// copy (concat_vfs and the copier it picks), so every walk over the
// library's records and cache is the real one. Standard output is an
// appending file, emptied after each input: the kernel refuses zero-copy
// into it, so the block copier walks the cache.
//
// The input's first byte picks a name prefix from the table below or, past
// its end, makes the first line of the rest the prefix; the next byte picks
// -l and -r; the rest is the file. The seeds in corpus/files are files
// vfsmake made behind those two bytes; a "-cut" seed lacks its last byte.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "copiers.h"

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

// A file of this process under FUZZ_SCRATCH (default /dev/shm).
std::string scratch(const char *what)
{
    const char *dir = getenv("FUZZ_SCRATCH");
    return std::string(dir ? dir : "/dev/shm") + "/tandro-fuzz-" + what + std::to_string(getpid());
}

std::string input_file(const uint8_t *data, size_t size)
{
    static const std::string path = scratch("in");
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    return path;
}

// Copies name as tandro does, with the -l and -r that the bits of mode pick.
void copy(const char *name, uint8_t mode)
{
    static constexpr uint64_t lengths[8] = {VFS_ERROR, 0, 1, 8, 80, 255, 4096, 3};
    static constexpr vfs_recformat formats[4] = {vfs_rec_unk, vfs_rec_fixed, vfs_rec_variable,
                                                 vfs_rec_unk};
    // The program learns what its output is once, so it is set up once.
    static const int out =
        open(scratch("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (out < 0 || dup2(out, 1) < 0)
        abort();
    static char filename[1024];
    char *real = nullptr;
    errno = 0;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfs_cli", name, &real);
    bool usable = api != nullptr && errno != EBADF && memcmp(api->vfs_eye, "vfs_oka", 8) != 0;
    snprintf(filename, sizeof filename, "%s", real != nullptr ? real : name);
    free(real);
    if (!usable)
        return;
    static vfs_shlock shlock;
    vfs_file_info info{};
    info.min_datlen = VFS_ERROR;
    info.datlen = lengths[mode & 7];
    info.recfm = formats[(mode >> 3) & 3];
    info.fhandle = "vfs_cli";
    info.fname = filename;
    info.shlock = &shlock;
    info.phy_org = info.log_org = vfs_org_sequential;
    info.access = vfs_acc_sequential;
    concat_vfs(api, name, &info);
    if (ftruncate(1, 0) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto take = [&]() -> uint8_t { return size > 0 ? (size--, *data++) : 0; };
    size_t which = take();
    uint8_t mode = take();
    std::string name = which < prefix_count ? prefixes[which] : "";
    if (which >= prefix_count) {
        const void *nl = memchr(data, '\n', size);
        size_t text =
            nl != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(nl) - data) : size;
        if (text > 1100 || memchr(data, '\0', text) != nullptr)
            return 0;
        name.assign(reinterpret_cast<const char *>(data), text).append(":");
        data += nl != nullptr ? text + 1 : text;
        size -= nl != nullptr ? text + 1 : text;
    }
    name += input_file(data, size);
    copy(name.c_str(), mode);
    return 0;
}
