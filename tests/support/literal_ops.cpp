// The literal whole-image operations of literal_ops.hpp, with Pillow's integer formulas.
#include "support/literal_ops.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imaging/geometry.hpp"
#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"
#include "img_util/errors.hpp"

namespace img_util::imaging {

using detail::coord;
using detail::copy_pixel;
using detail::mod360;

namespace {

using detail::blend255;
using detail::over_pixel;

void require_same_size(const Image& a, const Image& b) {
  if (a.width() != b.width() || a.height() != b.height()) throw ValueError("images do not match");
}

}  // namespace

Image alpha_composite(const Image& under, const Image& over) {
  if (under.mode() != Mode::RGBA || over.mode() != Mode::RGBA)
    throw ValueError("image has wrong mode");
  require_same_size(under, over);
  Image out = detail::derived_image(under, Mode::RGBA, under.width(), under.height());
  for (int y = 0; y < under.height(); ++y) {
    const uint8_t* d = under.row(y);
    const uint8_t* s = over.row(y);
    uint8_t* o = out.row(y);
    for (int x = 0; x < under.width(); ++x, d += 4, s += 4, o += 4) over_pixel(d, s, o);
  }
  return out;
}

Image composite(const Image& a, const Image& b, const Image& mask) {
  require_same_size(a, b);
  require_same_size(a, mask);
  int mask_band = 0;
  switch (mask.mode()) {
    case Mode::L: mask_band = 0; break;
    case Mode::LA: mask_band = 1; break;
    case Mode::RGBA: mask_band = 3; break;
    default: throw ValueError("bad transparency mask");
  }
  std::optional<Image> converted;
  if (a.mode() != b.mode()) converted = convert(a, b.mode());
  const Image& top = converted ? *converted : a;
  Image out = detail::derived_image(b, b.mode(), b.width(), b.height());
  const int bands = b.bands(), mb = mask.bands();
  for (int y = 0; y < b.height(); ++y) {
    const uint8_t* under = b.row(y);
    const uint8_t* over = top.row(y);
    const uint8_t* m = mask.row(y) + mask_band;
    uint8_t* o = out.row(y);
    for (int x = 0; x < b.width(); ++x, m += mb)
      for (int c = 0; c < bands; ++c, ++under, ++over, ++o) *o = blend255(*m, *under, *over);
  }
  return out;
}

Image putalpha(const Image& im, const Image& alpha) {
  if (alpha.mode() != Mode::L) throw ValueError("illegal image mode");
  require_same_size(im, alpha);
  Mode to = (im.mode() == Mode::L || im.mode() == Mode::LA) ? Mode::LA : Mode::RGBA;
  auto with_alpha_band = [&]() -> Image {
    if (im.mode() == to) return im;
    // A palette image is expanded through its palette; its transparency index does not
    // matter once the band is replaced.
    Image plain = im;
    plain.info.transparency.reset();
    return convert(plain, to);
  };
  Image out = with_alpha_band();
  out.info = detail::derived_info(im.info);
  out.info.transparency.reset();
  const int bands = out.bands();
  for (int y = 0; y < out.height(); ++y) {
    uint8_t* p = out.row(y) + bands - 1;
    const uint8_t* s = alpha.row(y);
    for (int x = 0; x < out.width(); ++x, p += bands) *p = s[x];
  }
  return out;
}

Image scale_band(const Image& im, int band, double factor) {
  if (band < 0 || band >= im.bands()) throw ValueError("band index out of range");
  Image out = detail::derived_image(im, im.mode(), im.width(), im.height());
  out.pixels() = im.pixels();
  // Pillow blends with a black image in single precision and truncates.
  const float f = static_cast<float>(factor);
  const bool interpolate = f >= 0 && f <= 1.0;
  const int bands = im.bands();
  for (int y = 0; y < out.height(); ++y) {
    uint8_t* p = out.row(y) + band;
    for (int x = 0; x < out.width(); ++x, p += bands) {
      const float v = 0 + f * static_cast<int>(*p);
      *p = interpolate   ? static_cast<uint8_t>(v)
           : v <= 0.0f   ? 0
           : v >= 255.0f ? 255
                         : static_cast<uint8_t>(v);
    }
  }
  return out;
}

// 16.16 fixed-point stepping: one add per coordinate and pixel, as the host steps.
template <int B>
static void rotate_fixed(const RotationMap& m, const uint8_t* src, size_t stride, int w, int h,
                         Image& out) {
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
        if (xs[x] >= 0 && xs[x] < w)
          copy_pixel(dst + size_t(x) * bands, line + size_t(xs[x]) * bands, bands);
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
        copy_pixel(dst + size_t(x) * bands, src + stride * size_t(yin) + size_t(xin) * bands,
                   bands);
    }
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
