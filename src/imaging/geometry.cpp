// Nearest-neighbour geometry: the rotation matrix as Pillow's Image.rotate makes it (angles
// rounded to 15 decimals, 16.16 fixed point where it fits), exact quarter turns, and
// nearest-neighbour scaling, so every pixel lands where the host's did.
#include "imaging/geometry.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"

namespace img_util::imaging {

using detail::coord;
using detail::copy_pixel;
using detail::mod360;

namespace {

// Python's round(v, 15): correctly rounded to 15 decimals, then back to the nearest double.
double round15(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15f", v);
  return std::strtod(buf, nullptr);
}

inline int floor_int(double v) {
  return v < 0.0 ? static_cast<int>(std::floor(v)) : static_cast<int>(v);
}
inline int fix16(double v) { return floor_int(v * 65536.0 + 0.5); }

bool fits_fixed(const std::array<double, 6>& a, int x, int y) {
  return std::fabs(x * a[0] + y * a[1] + a[2]) < 32768.0 &&
         std::fabs(x * a[3] + y * a[4] + a[5]) < 32768.0;
}

}  // namespace

RotationMap RotationMap::make(double degrees, int width, int height) {
  RotationMap m;
  const double angle = -(mod360(degrees) * (M_PI / 180.0));
  const double cx = width / 2.0, cy = height / 2.0;
  auto& a = m.a;
  a = {round15(std::cos(angle)),  round15(std::sin(angle)), 0.0,
       round15(-std::sin(angle)), round15(std::cos(angle)), 0.0};
  const double tx = a[0] * -cx + a[1] * -cy + a[2];
  const double ty = a[3] * -cx + a[4] * -cy + a[5];
  a[2] = tx + cx;
  a[5] = ty + cy;
  m.fixed = fits_fixed(a, 0, 0) && fits_fixed(a, width, height) && fits_fixed(a, 0, height) &&
            fits_fixed(a, width, 0);
  if (m.fixed) {
    m.f0 = fix16(a[0]), m.f1 = fix16(a[1]), m.f3 = fix16(a[3]), m.f4 = fix16(a[4]);
    m.f2 = fix16(a[2] + a[0] * 0.5 + a[1] * 0.5);
    m.f5 = fix16(a[5] + a[3] * 0.5 + a[4] * 0.5);
  }
  return m;
}

int RotationMap::src_x(int x, int y) const {
  if (fixed) return static_cast<int>((int64_t{f2} + int64_t{y} * f1 + int64_t{x} * f0) >> 16);
  return coord(a[2] + a[1] * 0.5 + a[0] * 0.5 + y * a[1] + x * a[0]);
}

int RotationMap::src_y(int x, int y) const {
  if (fixed) return static_cast<int>((int64_t{f5} + int64_t{y} * f4 + int64_t{x} * f3) >> 16);
  return coord(a[5] + a[4] * 0.5 + a[3] * 0.5 + y * a[4] + x * a[3]);
}

Image rotate_quarter(const Image& im, int quarter_turns) {
  const int q = ((quarter_turns % 4) + 4) % 4;
  const int w = im.width(), h = im.height(), bands = im.bands();
  if (q == 0) return im;
  const bool swap = q != 2;
  Image out = detail::derived_image(im, im.mode(), swap ? h : w, swap ? w : h);
  uint8_t* obase = out.pixels().data();
  const size_t ostride = out.stride();
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = im.row(y);
    for (int x = 0; x < w; ++x) {
      int ox = 0, oy = 0;
      if (q == 1)
        ox = y, oy = w - 1 - x;  // counter-clockwise
      else if (q == 2)
        ox = w - 1 - x, oy = h - 1 - y;
      else
        ox = h - 1 - y, oy = x;  // clockwise
      copy_pixel(obase + ostride * static_cast<size_t>(oy) + static_cast<size_t>(ox) * bands,
                 src + static_cast<size_t>(x) * bands, bands);
    }
  }
  return out;
}

Image resize_nearest(const Image& im, int width, int height) {
  if (width < 1 || height < 1) throw ValueError("height and width must be > 0");
  const int bands = im.bands();
  Image out = detail::derived_image(im, im.mode(), width, height);
  const double sx = double(im.width()) / width, sy = double(im.height()) / height;
  std::vector<int> xs(static_cast<size_t>(width));
  double xo = sx * 0.5, yo = sy * 0.5;
  for (int x = 0; x < width; ++x, xo += sx) xs[x] = coord(xo);
  for (int y = 0; y < height; ++y, yo += sy) {
    const int yi = coord(yo);
    if (yi < 0 || yi >= im.height()) continue;
    uint8_t* dst = out.row(y);
    const uint8_t* src = im.row(yi);
    for (int x = 0; x < width; ++x)
      if (xs[x] >= 0 && xs[x] < im.width())
        copy_pixel(dst + size_t(x) * bands, src + size_t(xs[x]) * bands, bands);
  }
  return out;
}

}  // namespace img_util::imaging
