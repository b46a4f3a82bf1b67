// Completing a zip archive whose writer never wrote its central directory (the run was killed,
// or the disk filled). The entries are found by their local headers; a streamed entry's end is
// found by inflating it, and its CRC and sizes are checked against its data descriptor. The
// first entry that is not whole ends the scan: it and everything after it are dropped.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace img_util {

// One entry as its local header and data describe it.
struct ZipEntryRecord {
  uint64_t offset = 0;  // of the local header
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = 8;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  std::string name;   // raw bytes
  std::string extra;  // local extra fields without the Zip64 one
};

// What a repair did.
struct ZipRepairResult {
  size_t entries_kept = 0;
  uint64_t bytes_dropped = 0;  // past the end of the last whole entry
  bool emptied = false;        // no whole entry at all: the file was truncated to 0 bytes
};

// Whether the archive on `fd` ends in an end-of-central-directory record that follows its
// central directory (or a Zip64 locator). Throws OSError naming `path`.
bool zip_is_complete(int fd, const std::string& path);

// Keeps the whole entries from the start of the archive on `fd`, writes the central directory
// after the last of them, cuts the file there and syncs it. Without any whole entry the file is
// cut to 0 bytes (emptied), for the caller to remove. Throws OSError naming `path`.
ZipRepairResult rebuild_central_directory(int fd, const std::string& path);

// The central directory of `entries` followed by its end records, to be placed at `offset`.
// Zip64 fields and records are used where a size, an offset or the count passes the classic
// limits. Entries are marked as Unix regular files of mode 0644: local headers carry no
// permission bits.
std::string central_directory(const std::vector<ZipEntryRecord>& entries, uint64_t offset);

// Names the backup archives are given: 14 digits, an optional "-N", ".zip".
bool is_backup_archive_name(std::string_view name);

// One archive of the backup folder that needed repair, and what became of it.
struct ArchiveRepair {
  std::string path;
  ZipRepairResult result;
  bool removed = false;  // held no whole entry and was removed
  std::string error;     // non-empty: the repair failed and the archive is as it was found
};

// Repairs every archive of the backup name form in `dir` that lacks its central directory.
// Files that are not zip archives, and those `in_use` says are still being written, are left
// alone. A missing `dir` has nothing to repair.
std::vector<ArchiveRepair> repair_backup_archives(
    const std::string& dir, const std::function<bool(const struct stat&)>& in_use = nullptr);

// The line that tells the user what one repair did, for standard error.
std::string describe_repair(const ArchiveRepair& repair);

}  // namespace img_util
