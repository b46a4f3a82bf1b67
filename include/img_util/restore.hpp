// Putting the originals back from the backup archives: each entry at the path it was backed up
// from (or below another folder), byte for byte, with its modification time and permission bits.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace img_util {

class ZipReader;
struct ZipEntryInfo;

struct RestoreOptions {
  // Only these files, and the files below these folders (absolute paths, as backed up);
  // everything when empty.
  std::vector<std::string> only;
  std::string to;        // restore below this folder instead of "/"; empty: "/"
  bool dry_run = false;  // read everything and check every target, write nothing
};

// What became of one entry.
struct RestoredEntry {
  enum class Outcome {
    Restored,  // or would be, in a dry run
    Skipped,   // not asked for, a folder, or restored already from an earlier entry
    Refused,   // would land outside its target, or is not a file
    Failed,    // could not be written, or its data is damaged
  };
  Outcome outcome = Outcome::Restored;
  std::string name;    // as the archive stores it
  std::string path;    // the file it names ("/" + name) or, restored, the file written
  std::string reason;  // why it was skipped, refused or failed
  int64_t bytes = 0;   // restored
};

class Restorer {
 public:
  using Report = std::function<void(const RestoredEntry&)>;
  Restorer(RestoreOptions opts, Report report);

  // How reading one archive went.
  struct ArchiveRead {
    // False for an archive whose run was cut short before its central directory: its entries
    // are read by their local headers, as far as they are whole, without permission bits.
    bool complete = true;
    // Why the archive could not be read, or not to its end (the entries before were dealt
    // with).
    std::optional<std::string> error;
  };

  // Every entry of the archive at `path` in its order, each handed to the report. A path held
  // by an earlier entry (of this archive or one before) is not restored again.
  ArchiveRead archive(const std::string& path);

  // The `only` paths that no entry matched so far.
  std::vector<std::string> unmatched_only() const;

 private:
  void entry(ZipReader& zip, const ZipEntryInfo& e);
  void write(ZipReader& zip, const ZipEntryInfo& e, const std::vector<std::string>& parts,
             RestoredEntry& out);
  bool selected(const std::string& original);

  RestoreOptions opts_;
  Report report_;
  std::string root_;
  std::vector<bool> only_used_;
  std::map<std::string, std::string> done_;  // path written -> the archive it came from
};

}  // namespace img_util
