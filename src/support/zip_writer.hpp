// A zip archive written as a stream: each added file is read once, in chunks, into a deflated
// entry. Held in cfg under "zfile" for the length of a run.
//
// Every entry is on disk when add_file returns: the archive is written without blocking (each
// byte goes to write(2) as libarchive produces it) and synced after the entry's data descriptor,
// so a source may be replaced as soon as its entry is in. The central directory comes at the
// end; an archive whose run never got there is repaired by the next run (zip_repair.hpp).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "img_util/value.hpp"
#include "support/fd.hpp"

struct archive;

namespace img_util {

class ZipWriter : public Handle {
 public:
  // Creates a new archive at `path`. An existing file is never truncated: when `path` is taken,
  // "<stem>-1.zip", "<stem>-2.zip", ... are tried. path() tells the name chosen.
  // Throws OSError naming the archive.
  explicit ZipWriter(const std::string& path);
  // Completes the archive if close() was not called; never throws, says on standard error when
  // the archive could not be completed.
  ~ZipWriter() override;
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Adds the file at `source` under `entry_name` (raw bytes), with its modification time and
  // permission bits, and syncs the archive. Throws OSError naming the source or the archive.
  // When the archive fails part-way through the entry (disk full, a source that cannot be read
  // to its end), the archive is first completed without that entry and closed; an archive left
  // without any entry is removed.
  void add_file(const std::string& source, const std::string& entry_name);
  // Writes the central directory, syncs and closes the file. Throws OSError on failure; a second
  // call does nothing.
  void close() override;
  std::string type_name() const override { return "ZipFile"; }
  const std::string& path() const { return path_; }
  bool closed() const { return !archive_; }
  // Whether a failed entry closed the archive (see add_file), rather than close().
  bool ended_by_error() const { return ended_by_error_; }

  // Whether the file `st` describes is an archive this process is still writing (a host may
  // hold one from a run that raised): it lacks its central directory, yet is no wreck to repair.
  static bool writing(const struct stat& st);

 private:
  struct ArchiveFree {
    void operator()(struct archive* a) const noexcept;
  };
  static ssize_t write_out(struct archive*, void* self, const void* buf, size_t n);
  // Throws for a failed write, or for a libarchive status below ARCHIVE_WARN.
  void check(int rc);
  [[noreturn]] void fail(const std::string& filename);
  void salvage(uint64_t keep) noexcept;
  void forget() noexcept;

  std::string path_;
  Fd fd_;
  uint64_t written_ = 0;         // bytes handed to the file so far
  bool discard_writes_ = false;  // set once libarchive's view of the file no longer counts
  bool ended_by_error_ = false;
  int write_errno_ = 0;  // of the write that failed
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  std::unique_ptr<struct archive, ArchiveFree> archive_;
};

}  // namespace img_util
