// What both fuzz targets share: one operand copied by the program's own
// per-file step (concat_file), as one run of tandro with its options copies it.
#ifndef FUZZ_COPY_H
#define FUZZ_COPY_H

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include "copiers.h"
#include "libports.h"

// The program itself, main renamed: its run-wide state and the values a run
// starts from (init_state) are the ones copied here.
#define main tandro_main
#include "tandro.cc"
#undef main

namespace fuzz
{

// Descriptor 1 for the next copy: /dev/null, where the copiers take their
// zero-copy paths, or an emptied appending file, into which the kernel
// refuses them, so that the copiers walk the library's records and cache.
// The file is "out" in the working directory of the first call.
inline void point_output(bool to_null)
{
    static const int null_fd = open("/dev/null", O_WRONLY);
    static const int append_fd = open("out", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    int fd = to_null ? null_fd : append_fd;
    if (fd < 0 || dup2(fd, 1) < 0 || (!to_null && ftruncate(1, 0) != 0))
        abort();
}

// Copies name with the -l and -r that bits 0-4 of mode pick; bit 5 picks
// the output (set: /dev/null).
inline void copy_operand(const char *name, uint8_t mode)
{
    static constexpr uint64_t lengths[8] = {VFS_ERROR, 0, 1, 8, 80, 255, 4096, 3};
    static constexpr vfs_recformat formats[4] = {vfs_rec_unk, vfs_rec_fixed, vfs_rec_variable,
                                                 vfs_rec_unk};
    point_output((mode & 32) != 0);
    static run_state rs;
    init_state(&rs);
    rs.file_info.datlen = lengths[mode & 7];
    rs.file_info.recfm = formats[(mode >> 3) & 3];
    strlcpy(rs.filename, name, sizeof rs.filename);
    concat_file(rs.filename, &rs.file_info);
}

} // namespace fuzz

#endif
