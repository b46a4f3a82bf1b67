// Compositing and alpha-band operations with Pillow's integer formulas.
#include <optional>
#include <string>

#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"

namespace img_util::imaging {
namespace {

using detail::blend255;
using detail::over_pixel;

void require_same_size(const Image& a, const Image& b) {
  if (a.width() != b.width() || a.height() != b.height()) throw ValueError("images do not match");
}

}  // namespace

Image alpha_composite(const Image& under, const Image& over) {
  if (under.mode() != Mode::RGBA || over.mode() != Mode::RGBA) throw ValueError("image has wrong mode");
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
      *p = interpolate ? static_cast<uint8_t>(v) : v <= 0.0f ? 0 : v >= 255.0f ? 255 : static_cast<uint8_t>(v);
    }
  }
  return out;
}

}  // namespace img_util::imaging
