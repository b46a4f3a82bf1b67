// ASCII-only case folding, for names the system compares as the host does: file extensions,
// colour names, format names. Bytes outside A-Z (UTF-8 included) are left as they are.
#pragma once

#include <string>
#include <string_view>

namespace img_util {

inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Whether `path` ends with `suffix` ("<dot>ext" in lower case), in any letter case.
inline bool ends_with_ascii_ci(std::string_view path, std::string_view suffix) {
  return path.size() >= suffix.size() &&
         ascii_lower(path.substr(path.size() - suffix.size())) == suffix;
}

}  // namespace img_util
