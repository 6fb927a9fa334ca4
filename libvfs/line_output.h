/* Records printed as lines on descriptor 1, counted as they reach the kernel. */
#ifndef LINE_OUTPUT_H
#define LINE_OUTPUT_H

#include <stddef.h>
#include <string.h>

#include "vfs_internal.h"

/* Writes a record and its line end to descriptor 1, in one writev where the
 * kernel takes it all, and counts it: iosn + 1 (when whole), the bytes
 * moved into dcache.bwrite and file_size. 0, or -1 with errno. */
int write_line(struct vfs_file *fh, const void *rec, size_t len);

/*
 * Lines gathered in a buffer of our own and written to descriptor 1 in large
 * writes: one system call per short record costs far more than copying the
 * record once. Records too long to gain from it are written on their own.
 * Counts as write_line does, when the lines reach the kernel.
 */
class line_batch
{
  public:
    explicit line_batch(struct vfs_file *fh);
    ~line_batch();
    line_batch(const line_batch &) = delete;
    line_batch &operator=(const line_batch &) = delete;

    /* Adds a record and its line end. 0, or -1 with errno of a failed write.
     * Called once per record, so the common case is compiled into the caller. */
    int add(const void *rec, size_t len)
    {
        if (data_ == nullptr || len > record_max || used_ + len + 1 > size)
            return add_slowly(rec, len);
        memcpy(data_ + used_, rec, len);
        data_[used_ + len] = '\n';
        used_ += len + 1;
        lines_ += 1;
        return 0;
    }
    /* Writes what is gathered; errno is kept when there is nothing to write. */
    int flush();
    /* Writes the lines gathered before a failure whose message, if any,
     * comes next: 0 with errno err, or -1 with that of the failed write. */
    int flush_before(int err);
    /* A failure of the copier: the lines gathered before it are written
     * first, and only when that works is fmt printed with the library's
     * text for err. -1, with errno err or that of the failed write. */
    int fail(const char *fmt, const struct vfs_api *api, int err);
    /* The end of the file: writes what is gathered and counts the library's
     * reads (dcache.bread into file_size, dcache.reuses into iosn). 0, or -1
     * with errno. */
    int finish();

  private:
    static constexpr size_t size = 256 * 1024;
    // Longer records gain nothing from the copy: they go out as they are.
    static constexpr size_t record_max = size / 4;

    int add_slowly(const void *rec, size_t len);

    struct vfs_file *fh_;
    unsigned char *data_;
    size_t used_ = 0;
    size_t lines_ = 0;
    uint64_t read_ = 0; /* what the library read, as the progress line has it */
};

#endif
