// Adaptive palette reduction, used by convert() for the P mode. Two methods, as the host's
// library has them: median cut (quantize.cpp) for every mode without alpha, and an octree over
// r, g, b and a (quantize_octree.cpp) for RGBA, which keeps alpha in the palette.
#pragma once

#include "img_util/image.hpp"

namespace img_util::imaging {

// Maps an L, LA, RGB or RGBA image (alpha ignored) to a P image whose palette of at most
// `colors` (1..256) entries is chosen by median cut over the image's colours, each pixel
// taking its nearest entry (no dithering). An image with no more than `colors` distinct
// colours keeps them exactly. The palette entries are opaque. A P image is read through its
// palette, giving what its RGB expansion would. convert() uses it for every mode but RGBA.
Image quantize_median_cut(const Image& im, int colors);

// Maps an RGBA image to a P image with a palette of exactly `colors` RGBA entries by the
// fast octree with alpha that Pillow uses for RGBA sources: all used cells of a coarse
// 4x4x4x4 cube plus the most used cells of a fine 8x16x8x8 cube, each entry the truncated
// mean of its cell (unused entries are transparent black). Fully transparent pixels all take
// the first transparent pixel's colour. convert() uses it for RGBA.
Image quantize_octree(const Image& im, int colors);

}  // namespace img_util::imaging
