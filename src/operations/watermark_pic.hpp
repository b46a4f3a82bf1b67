// The steps of the picture watermark, for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "img_util/image.hpp"

namespace img_util::watermark {

// The picture's size after scaling by `maskscale`: the larger of the two factors that make it
// 1/scale of the image's height or width, sizes truncated; none when that factor is not
// positive. Throws ValueError when the result has no pixels or is too large.
std::optional<std::pair<int, int>> scaled_size(int image_x, int image_y, int mark_x, int mark_y,
                                               double scale);

// Top-left corner of the picture on the image; may be negative or past the image.
struct Placement {
  int64_t x = 0, y = 0;
  bool operator==(const Placement&) const = default;
};

// Where a picture of mark_x x mark_y goes on an image_x x image_y image for a position name
// ("" = "rightbottom", "leftbottom", "lefttop", "righttop", "center"; exact letter case) and
// margins. "center" puts an odd pixel of slack on the right and bottom (the picture sits half
// a pixel up and left of the exact centre). Throws ValueError for any other name.
Placement place(const std::string& markpos, int image_x, int image_y, int mark_x, int mark_y,
                int64_t margin_x, int64_t margin_y);

// The picture's alpha multiplied by `opacity` (0..1), truncated. Throws ValueError naming
// `path` when the picture has no alpha band (only RGBA pictures have one to scale).
Image scale_alpha(Image mark, double opacity, const std::string& path);

// The image with the picture pasted at `pos` on a transparent layer and that layer blended
// over it by its own alpha, every band included. Both images RGBA; `rgba` is changed and
// returned, so pass a temporary to save a copy.
Image blend_picture(Image rgba, const Image& mark_rgba, Placement pos);

}  // namespace img_util::watermark
