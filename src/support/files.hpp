// Whole-file and path helpers shared by the codecs, the GIF operations and the driver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/fd.hpp"

namespace img_util {

// Size of the file at `path` in bytes, following links. Throws OSError naming the file.
int64_t file_size(const std::string& path);

// A file kept open: read whole once, or piece by piece at any offset (pread) by a decoder
// that reads as it goes, so that a large photo need not be held whole.
class OpenFile {
 public:
  // Throws OSError naming `path` when it cannot be opened or is a directory.
  explicit OpenFile(const std::string& path);
  int fd() const { return fd_.get(); }
  // The size of a regular file; 0 for anything else (which read_all still reads to its end).
  uint64_t size() const { return size_; }
  // The whole content, read from the start; once, before any other read(2) of the descriptor.
  // Throws OSError naming the file.
  std::string read_all();

 private:
  Fd fd_;
  std::string path_;
  uint64_t size_ = 0;
};

// The whole content of the file at `path`. Throws OSError (EISDIR for a directory).
std::string read_whole_file(const std::string& path);

// Creates or truncates the file at `path` and writes `bytes` to it whole; a plain write, for
// files whose loss half-way costs nothing (use AtomicFile for anything else). Throws OSError
// naming the file, also when the close reports a failed write.
void write_whole_file(const std::string& path, std::string_view bytes);

// Flushes the directory `dir` itself to disk, so that names created, renamed or removed in it
// survive a power cut. Throws OSError naming `dir`.
void fsync_directory(const std::string& dir);

// POSIX join: a "/" between the parts unless `left` is empty or ends in "/"; a `right` that
// begins with "/" replaces `left`.
inline std::string path_join(std::string_view left, std::string_view right) {
  if (!right.empty() && right.front() == '/') return std::string(right);
  std::string out(left);
  if (!out.empty() && out.back() != '/') out += '/';
  out += right;
  return out;
}

}  // namespace img_util
