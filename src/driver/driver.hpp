// Private to the driver layer: the per-entry selection flag.
#pragma once

#include <string>
#include <string_view>

#include "support/files.hpp"

namespace img_util {

// Clears the flag that note_file_selected() raises; the driver calls it before each entry.
void reset_file_selected();
// Whether note_file_selected() was called since the last reset.
bool file_selected();
// The selected source's size, for the file note.
void note_source_size(int64_t bytes);

}  // namespace img_util

#include <functional>

namespace img_util {

class IMAGES;
class Value;

// Test seam: when set, execute hands each entry here instead of to doing / doing_gif, so the
// walk and the error policy can be tested on their own. `gif` tells which pipeline it would be.
using PipelineSeam =
    std::function<void(IMAGES& self, const std::string& fpath, const Value& cfg, bool gif)>;
void set_pipeline_seam(PipelineSeam seam);

}  // namespace img_util
