// The five bytes appended to every image the system writes, telling later runs that the file
// was already processed and by which kind of run. Every writer of a finished image (save, the
// GIF pipeline, the gifsicle pass) takes its marker from here; check reads it back.
#pragma once

#include <string>
#include <string_view>

#include "img_util/value.hpp"

namespace img_util {

inline constexpr std::string_view kMarkerCompressed = "Amask";   // written by compression-only runs
inline constexpr std::string_view kMarkerWatermarked = "Bmask";  // written by every other run
inline constexpr size_t kMarkerSize = 5;

// The marker a run writes: "Amask" when `maskmode` equals 1 (numerically), else "Bmask".
// Throws KeyError('maskmode') when the key is missing.
std::string_view marker_for(const Value& cfg);

// The last five bytes of the file at `path` (the whole content when it is shorter), read
// without loading the rest. Throws OSError.
std::string read_marker(const std::string& path);

}  // namespace img_util
