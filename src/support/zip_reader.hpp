// Reading a zip archive entry by entry, as the originals are put back from the backups.
//
// A complete archive is read through its central directory, which holds each entry's permission
// bits. One whose writer never got to the central directory is read by its local headers, as far
// as its entries are whole; their permission bits are then unknown.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/fd.hpp"

struct archive;

namespace img_util {

// What the archive says about one entry.
struct ZipEntryInfo {
  std::string name;            // as stored, raw bytes
  mode_t type = 0;             // S_IFREG, S_IFDIR, S_IFLNK, ...
  std::optional<mode_t> perm;  // permission bits, when the archive records them
  std::optional<timespec> mtime;
  uid_t uid = 0;  // as recorded; 0 when the archive does not say
  gid_t gid = 0;
  int64_t size = -1;  // uncompressed bytes; -1 when the header does not say
};

class ZipReader {
 public:
  // Opens the archive at `path`. Throws OSError naming it when it cannot be read or is no zip
  // archive.
  explicit ZipReader(const std::string& path);
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Moves on to the next entry (skipping what is left of the current one's data); false after
  // the last. Throws OSError naming the archive when the next header cannot be read; nothing
  // after it can be read then.
  bool next(ZipEntryInfo& entry);
  // The current entry's data, a piece at a time; empty at its end. The view lasts until the
  // next call. Throws OSError naming the archive and the entry when the data is damaged (its
  // checksum or length is wrong, the archive ends within it).
  std::string_view read();

  const std::string& path() const { return path_; }
  // Whether the archive ends in its central directory; without it, no entry has its permission
  // bits.
  bool complete() const { return complete_; }

 private:
  struct ArchiveFree {
    void operator()(struct archive* a) const noexcept;
  };
  [[noreturn]] void fail(const std::string& what);

  std::string path_;
  std::string entry_;  // the current entry's name, for messages
  Fd fd_;              // outlives the reader that reads from it
  bool complete_ = false;
  std::unique_ptr<struct archive, ArchiveFree> archive_;
  std::vector<char> buf_;
};

}  // namespace img_util
