// Private to the driver layer: the pieces of the folder walk, shared by the run and the count
// of what it will see.
#pragma once

#include <string>
#include <vector>

#include "img_util/value.hpp"

namespace img_util {

// Names of a directory's entries in the order the OS gives them, without "." and "..".
// `is_dir` (optional) receives for each name whether it is a directory, links to directories
// included. Returns 0, or the errno of a directory that cannot be listed.
int list_dir(const std::string& dir, std::vector<std::string>& names, std::vector<bool>* is_dir);

bool is_link(const std::string& path);

// Whether `path` names nothing only because it is longer than the system takes (PATH_MAX).
bool path_too_long(const std::string& path);

// Whether `path` is another writer's file half-way to its rename, never an image of the site.
bool half_written(const std::string& path);

// The folders a run writes into itself: the plugin directory (backups, lock, run log, the
// frames' scratch folder), the output tree and the trial scratch folder. When one of them lies
// below the folder being walked, its files are this run's own (or an earlier run's) work, never
// site images: entering it would watermark outputs again and nest out/out/out.
class OwnFolders {
 public:
  explicit OwnFolders(const Value& cfg);

  // Compared by identity, not by name, so another spelling of the same folder (a trailing "/",
  // "..", a link) is recognised too. Looked up each time: the output tree may appear mid-run.
  bool contains(const std::string& dir) const;

 private:
  std::vector<std::string> paths_;
};

}  // namespace img_util
