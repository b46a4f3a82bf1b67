// Whole-image operations as Pillow's rotate, crop, paste, alpha_composite, composite,
// putalpha and band brightness compute them. The product never builds these images (the
// watermarks work on the pixels they need), but tests use them to state the literal algorithm
// that the product's fast paths must equal, pixel for pixel.
#pragma once

#include "img_util/image.hpp"

namespace img_util::imaging {

// Rotation by `degrees` counter-clockwise about the centre, size kept, nearest neighbour,
// outside pixels transparent (zero), pixel for pixel as Pillow's rotate(). The inverse map
// is imaging::RotationMap, which the text watermark uses for the pixels it needs.
Image rotate(const Image& im, double degrees);

// Box (left, top, right, bottom), right/bottom exclusive; outside parts are zero. Throws
// ValueError when right < left or bottom < top.
Image crop(const Image& im, int left, int top, int right, int bottom);

// Copies `src` into `dst` at (x, y), converting to dst's mode, clipped to dst (negative
// positions clip too). No mask. Clears dst's adopted encoding.
void paste(Image& dst, const Image& src, int x, int y);

// Source-over compositing of two RGBA images of equal size: `over` on top of `under`.
// Throws ValueError for other modes or sizes.
Image alpha_composite(const Image& under, const Image& over);

// Per-pixel blend: a where mask is 255, b where 0 (mask's alpha band or L band), every band
// of b's mode (a is converted to it). Throws ValueError for other masks or unequal sizes.
Image composite(const Image& a, const Image& b, const Image& mask);

// Replaces (or adds) the alpha band from an L image of the same size: L and LA give LA,
// RGB, RGBA and P (expanded through its palette) give RGBA. Throws ValueError otherwise.
Image putalpha(const Image& im, const Image& alpha);

// Multiplies band `band` by `factor` (0 <= factor <= 1 truncates, others clamp), as a
// brightness enhancement of that single band would.
Image scale_band(const Image& im, int band, double factor);

}  // namespace img_util::imaging
