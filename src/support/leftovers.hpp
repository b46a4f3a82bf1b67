// Temporary files of atomic writes (atomic_file.hpp) that a killed run left behind.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace img_util {

// Whether `name` (a file name, not a path) has the form of an atomic write's temporary file:
// ".<name>.tmp-" followed by exactly 10 characters of [0-9a-z].
bool is_atomic_temp_name(std::string_view name);

// A leftover that was removed, or could not be (`error` non-empty).
struct LeftoverRemoval {
  std::string path;
  std::string error;
};

// Removes the regular files named like an atomic write's temporary file in `root` (and, with
// `recursive`, in every directory below it; links to directories are not entered). Directories
// that cannot be listed are passed over.
std::vector<LeftoverRemoval> remove_leftover_temp_files(const std::string& root, bool recursive);

}  // namespace img_util
