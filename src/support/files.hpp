// Whole-file helpers shared by the codecs and the GIF operations.
#pragma once

#include <cstdint>
#include <string>

namespace img_util {

// Size of the file at `path` in bytes, following links. Throws OSError naming the file.
int64_t file_size(const std::string& path);

// The whole content of the file at `path`. Throws OSError (EISDIR for a directory).
std::string read_whole_file(const std::string& path);

}  // namespace img_util
