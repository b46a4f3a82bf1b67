// Adaptive palette reduction (median cut), used by convert() for the P mode.
#pragma once

#include "img_util/image.hpp"

namespace img_util::imaging {

// Maps an L, LA, RGB or RGBA image (alpha ignored) to a P image whose palette of at most
// `colors` (1..256) entries is chosen by median cut over the image's colours, each pixel
// taking its nearest entry (no dithering). An image with no more than `colors` distinct
// colours keeps them exactly. The palette entries are opaque.
Image quantize_median_cut(const Image& im, int colors);

}  // namespace img_util::imaging
