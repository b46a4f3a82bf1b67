// A zip archive written as a stream: each added file is read once, in chunks, into a deflated
// entry. Held in cfg under "zfile" for the length of a run.
#pragma once

#include <memory>
#include <string>

#include "img_util/value.hpp"

struct archive;

namespace img_util {

class ZipWriter : public Handle {
 public:
  // Creates a new archive at `path`. An existing file is never truncated: when `path` is taken,
  // "<stem>-1.zip", "<stem>-2.zip", ... are tried. path() tells the name chosen.
  // Throws OSError naming the archive.
  explicit ZipWriter(const std::string& path);
  // Completes the archive if close() was not called; never throws.
  ~ZipWriter() override;
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Adds the file at `source` under `entry_name` (raw bytes), with its modification time and
  // permission bits. Throws OSError naming the source or the archive.
  void add_file(const std::string& source, const std::string& entry_name);
  // Writes the central directory and closes the file. Throws OSError on failure; a second
  // call does nothing.
  void close() override;
  std::string type_name() const override { return "ZipFile"; }
  const std::string& path() const { return path_; }
  bool closed() const { return !archive_; }

 private:
  struct ArchiveFree {
    void operator()(struct archive* a) const noexcept;
  };
  [[noreturn]] void fail(const std::string& filename);
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<struct archive, ArchiveFree> archive_;
};

}  // namespace img_util
