// vfsmake's regular output: opened by its name before anything else, so that
// the kernel follows links with its own rules (links in sticky directories),
// then replaced whole or written in place, never left half made.
#ifndef OUTPUT_FILE_H
#define OUTPUT_FILE_H

#include <sys/stat.h>

#include <string>

#include "unique_fd.h"

class output_file
{
  public:
    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    // A run that did not commit: the temporary file goes, the old contents
    // are back, a file the run created is removed.
    ~output_file();

    // Opens (or creates) path for writing; false with errno.
    bool open(const std::string &path);
    // The file opened, as fstat describes it.
    const struct stat &file() const { return st_; }
    // Readies the file the new contents go to; false with errno.
    bool start();
    // Where the new contents are to be written: a temporary file beside the
    // output, or the output itself through its descriptor.
    const std::string &write_path() const { return write_path_; }
    // Makes the new contents the output's; false with errno, the old ones kept.
    bool commit();

  private:
    bool start_beside();
    bool start_in_place();

    std::string path_, write_path_;
    struct stat st_ {
    };
    unique_fd fd_, temp_fd_;
    bool created_ = false, in_place_ = false, committed_ = false;
};

#endif
