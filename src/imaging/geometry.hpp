// Nearest-neighbour geometry: the inverse mapping of a rotation from an output pixel to the
// source pixel it shows, with Pillow's rounding (the text watermark's turn), quarter turns
// (EXIF orientation) and nearest-neighbour scaling (palette images).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "img_util/image.hpp"

namespace img_util::imaging {

// The inverse affine map of a rotation by `degrees` (counter-clockwise) about the centre of a
// width x height image, output size kept: source = (a0*x + a1*y + a2, a3*x + a4*y + a5) for
// the output pixel's corner (x, y), sampled at the pixel's centre.
struct RotationMap {
  std::array<double, 6> a{};
  // Whether the 16.16 fixed-point form is used (every corner maps inside +-32768), and its
  // coefficients, already shifted to sample pixel centres.
  bool fixed = false;
  int f0 = 0, f1 = 0, f2 = 0, f3 = 0, f4 = 0, f5 = 0;

  static RotationMap make(double degrees, int width, int height);

  // Source column/row shown at output (x, y); may lie outside the source (shows zero).
  // Exact for the fixed-point form; for the floating form (images over 32768 pixels across)
  // the closed form may differ from running sums in the last bit.
  int src_x(int x, int y) const;
  int src_y(int x, int y) const;
};

namespace detail {

// Truncation toward zero, except that everything left of the image maps to -1.
inline int coord(double v) { return v < 0.0 ? -1 : static_cast<int>(v); }

inline void copy_pixel(uint8_t* dst, const uint8_t* src, int bands) {
  for (int b = 0; b < bands; ++b) dst[b] = src[b];
}

// Python's float modulo by 360: the result has the divisor's sign.
inline double mod360(double degrees) {
  double r = std::fmod(degrees, 360.0);
  if (r != 0.0 && r < 0.0) r += 360.0;
  if (r == 0.0) r = 0.0;
  return r;
}

}  // namespace detail

// Quarter turns and half turn, exact (Pillow's transpose): 90 and 270 counter-clockwise
// swap width and height.
Image rotate_quarter(const Image& im, int quarter_turns);

// Nearest-neighbour scaling to width x height, as Pillow resizes palette images.
Image resize_nearest(const Image& im, int width, int height);

}  // namespace img_util::imaging
