/*
 * The fuzz targets' harness: the input becomes a file that the program's
 * own engines resolve, open and copy (concat_vfs and the copier it picks),
 * so every walk over the library's records and cache is the real one. A
 * walk that does not end shows as a timeout, a record taken from memory the
 * cache does not hold as an AddressSanitizer report. Standard output is an
 * appending file, emptied after each input: the kernel refuses zero-copy
 * into it, so the block copier walks the cache.
 */
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "tandro.h"

namespace fuzz
{

/* A file of this process under FUZZ_SCRATCH (default /dev/shm). */
inline std::string scratch(const char *what)
{
    const char *dir = getenv("FUZZ_SCRATCH");
    return std::string(dir ? dir : "/dev/shm") + "/tandro-fuzz-" + what + std::to_string(getpid());
}

inline std::string input_file(const uint8_t *data, size_t size)
{
    static const std::string path = scratch("in");
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    return path;
}

/* Copies name as tandro does, with the record length and format (-l, -r)
 * that the bits of mode pick. */
inline void copy(const char *name, uint8_t mode)
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

} // namespace fuzz

#endif
