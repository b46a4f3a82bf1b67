// Rotation, cropping and pasting. Rotation follows Pillow's Image.rotate with nearest
// sampling: the same affine matrix (angles rounded to 15 decimals), the same exact fast paths
// for quarter turns, and the same 16.16 fixed-point stepping, so every pixel lands where the
// host's did.
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
namespace {

// Python's round(v, 15): correctly rounded to 15 decimals, then back to the nearest double.
double round15(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15f", v);
  return std::strtod(buf, nullptr);
}

// Truncation toward zero, except that everything left of the image maps to -1.
inline int coord(double v) { return v < 0.0 ? -1 : static_cast<int>(v); }
inline int floor_int(double v) { return v < 0.0 ? static_cast<int>(std::floor(v)) : static_cast<int>(v); }
inline int fix16(double v) { return floor_int(v * 65536.0 + 0.5); }

bool fits_fixed(const std::array<double, 6>& a, int x, int y) {
  return std::fabs(x * a[0] + y * a[1] + a[2]) < 32768.0 && std::fabs(x * a[3] + y * a[4] + a[5]) < 32768.0;
}

inline void copy_pixel(uint8_t* dst, const uint8_t* src, int bands) {
  for (int b = 0; b < bands; ++b) dst[b] = src[b];
}

// Python's float modulo by 360: the result has the divisor's sign.
double mod360(double degrees) {
  double r = std::fmod(degrees, 360.0);
  if (r != 0.0 && r < 0.0) r += 360.0;
  if (r == 0.0) r = 0.0;
  return r;
}

}  // namespace

// 16.16 fixed-point stepping: one add per coordinate and pixel, as the host steps.
template <int B>
static void rotate_fixed(const RotationMap& m, const uint8_t* src, size_t stride, int w, int h, Image& out) {
  int row_x = m.f2, row_y = m.f5;
  for (int y = 0; y < h; ++y, row_x += m.f1, row_y += m.f4) {
    uint8_t* dst = out.row(y);
    int xx = row_x, yy = row_y;
    for (int x = 0; x < w; ++x, xx += m.f0, yy += m.f3) {
      const int xin = xx >> 16, yin = yy >> 16;
      if (xin >= 0 && xin < w && yin >= 0 && yin < h)
        std::memcpy(dst + size_t(x) * B, src + stride * size_t(yin) + size_t(xin) * B, B);
    }
  }
}

RotationMap RotationMap::make(double degrees, int width, int height) {
  RotationMap m;
  const double angle = -(mod360(degrees) * (M_PI / 180.0));
  const double cx = width / 2.0, cy = height / 2.0;
  auto& a = m.a;
  a = {round15(std::cos(angle)), round15(std::sin(angle)), 0.0,
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
      if (q == 1) ox = y, oy = w - 1 - x;           // counter-clockwise
      else if (q == 2) ox = w - 1 - x, oy = h - 1 - y;
      else ox = h - 1 - y, oy = x;                  // clockwise
      copy_pixel(obase + ostride * static_cast<size_t>(oy) + static_cast<size_t>(ox) * bands,
                 src + static_cast<size_t>(x) * bands, bands);
    }
  }
  return out;
}

Image rotate(const Image& im, double degrees) {
  const double angle = mod360(degrees);
  const int w = im.width(), h = im.height(), bands = im.bands();
  if (angle == 0) return im;
  if (angle == 180) return rotate_quarter(im, 2);
  if ((angle == 90 || angle == 270) && w == h) return rotate_quarter(im, angle == 90 ? 1 : 3);

  const RotationMap m = RotationMap::make(angle, w, h);
  Image out = detail::derived_image(im, im.mode(), w, h);
  const uint8_t* src = im.pixels().data();
  const size_t stride = im.stride();
  const auto& a = m.a;
  if (a[1] == 0 && a[3] == 0) {
    // A pure scale: Pillow steps through precomputed source columns.
    std::vector<int> xs(static_cast<size_t>(w));
    double xo = a[2] + a[0] * 0.5, yo = a[5] + a[4] * 0.5;
    for (int x = 0; x < w; ++x, xo += a[0]) xs[x] = coord(xo);
    for (int y = 0; y < h; ++y, yo += a[4]) {
      const int yi = coord(yo);
      if (yi < 0 || yi >= h) continue;
      uint8_t* dst = out.row(y);
      const uint8_t* line = src + stride * size_t(yi);
      for (int x = 0; x < w; ++x)
        if (xs[x] >= 0 && xs[x] < w) copy_pixel(dst + size_t(x) * bands, line + size_t(xs[x]) * bands, bands);
    }
    return out;
  }
  if (m.fixed) {
    switch (bands) {
      case 1: rotate_fixed<1>(m, src, stride, w, h, out); break;
      case 2: rotate_fixed<2>(m, src, stride, w, h, out); break;
      case 3: rotate_fixed<3>(m, src, stride, w, h, out); break;
      default: rotate_fixed<4>(m, src, stride, w, h, out); break;
    }
    return out;
  }
  double xo = a[2] + a[1] * 0.5 + a[0] * 0.5, yo = a[5] + a[4] * 0.5 + a[3] * 0.5;
  for (int y = 0; y < h; ++y, xo += a[1], yo += a[4]) {
    uint8_t* dst = out.row(y);
    double xx = xo, yy = yo;
    for (int x = 0; x < w; ++x, xx += a[0], yy += a[3]) {
      const int xin = coord(xx), yin = coord(yy);
      if (xin >= 0 && xin < w && yin >= 0 && yin < h)
        copy_pixel(dst + size_t(x) * bands, src + stride * size_t(yin) + size_t(xin) * bands, bands);
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
      if (xs[x] >= 0 && xs[x] < im.width()) copy_pixel(dst + size_t(x) * bands, src + size_t(xs[x]) * bands, bands);
  }
  return out;
}

Image crop(const Image& im, int left, int top, int right, int bottom) {
  if (right < left) throw ValueError("Coordinate 'right' is less than 'left'");
  if (bottom < top) throw ValueError("Coordinate 'lower' is less than 'upper'");
  Image out = detail::derived_image(im, im.mode(), right - left, bottom - top);
  const int x0 = std::max(left, 0), x1 = std::min(right, im.width());
  const int y0 = std::max(top, 0), y1 = std::min(bottom, im.height());
  if (x1 <= x0 || y1 <= y0) return out;
  const size_t bands = static_cast<size_t>(im.bands());
  for (int y = y0; y < y1; ++y)
    std::memcpy(out.row(y - top) + (x0 - left) * bands, im.row(y) + x0 * bands, (x1 - x0) * bands);
  return out;
}

void paste(Image& dst, const Image& src, int x, int y) {
  if (src.mode() != dst.mode()) return paste(dst, convert(src, dst.mode()), x, y);
  const int x0 = std::max(x, 0), x1 = std::min(x + src.width(), dst.width());
  const int y0 = std::max(y, 0), y1 = std::min(y + src.height(), dst.height());
  if (x1 <= x0 || y1 <= y0) return;
  const size_t bands = static_cast<size_t>(dst.bands());
  for (int yy = y0; yy < y1; ++yy)
    std::memcpy(dst.row(yy) + x0 * bands, src.row(yy - y) + (x0 - x) * bands, (x1 - x0) * bands);
  // The pixels changed, so an adopted encoding no longer describes them.
  dst.info.adoption.reset();
}

}  // namespace img_util::imaging
