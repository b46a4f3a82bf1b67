// Small pieces shared by the pixel operations: Pillow's 8-bit rounding helpers and the
// rule for what a new image inherits from the one it was made from.
#pragma once

#include <cstdint>

#include "img_util/image.hpp"

namespace img_util::imaging::detail {

// (a + 128) / 255 with the shift trick; exact for every a below 255 * 255 + 255.
constexpr uint8_t div255(uint32_t a) {
  a += 128;
  return static_cast<uint8_t>(((a >> 8) + a) >> 8);
}
constexpr uint8_t muldiv255(uint32_t a, uint32_t b) { return div255(a * b); }
// `over` weighted by m / 255 over `under`.
constexpr uint8_t blend255(uint32_t m, uint32_t under, uint32_t over) {
  return div255(under * (255 - m) + over * m);
}
// ITU-R 601-2 luma in 16-bit fixed point, rounded.
constexpr uint8_t luma(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<uint8_t>((r * 19595 + g * 38470 + b * 7471 + 0x8000) >> 16);
}
constexpr uint8_t clip8(int v) { return v <= 0 ? 0 : v < 256 ? static_cast<uint8_t>(v) : 255; }

// The info of an image made from `src` with new pixels: everything but the format (a made
// image has none) and the adopted encoding (it no longer describes these pixels).
inline ImageInfo derived_info(const ImageInfo& src) {
  ImageInfo info = src;
  info.format.clear();
  info.adoption.reset();
  return info;
}

// Gives `out` derived_info(src.info); the palette is copied when both are P.
inline void derive_from(const Image& src, Image& out) {
  out.info = derived_info(src.info);
  if (out.mode() != Mode::P) out.info.transparency.reset();
  if (out.mode() == Mode::P && src.mode() == Mode::P) out.palette = src.palette;
}

// A new image of `mode` and size carrying derived_info(src.info); the palette is copied
// when both are P.
inline Image derived_image(const Image& src, Mode mode, int width, int height) {
  Image out(mode, width, height);
  derive_from(src, out);
  return out;
}

// Source-over of one RGBA pixel onto another, with Pillow's rounding (alpha_composite and
// the text watermark): 7 extra bits of precision in the colour weights.
inline void over_pixel(const uint8_t* dst, const uint8_t* src, uint8_t* out) {
  constexpr uint32_t kBits = 7;
  if (src[3] == 0) {
    out[0] = dst[0], out[1] = dst[1], out[2] = dst[2], out[3] = dst[3];
    return;
  }
  const uint32_t blend = uint32_t(dst[3]) * (255 - src[3]);
  const uint32_t outa255 = uint32_t(src[3]) * 255 + blend;
  const uint32_t coef1 = uint32_t(src[3]) * 255 * 255 * (1u << kBits) / outa255;
  const uint32_t coef2 = 255 * (1u << kBits) - coef1;
  auto shiftdiv255 = [](uint32_t a) { return ((a >> 8) + a) >> 8; };
  for (int c = 0; c < 3; ++c) {
    const uint32_t t = src[c] * coef1 + dst[c] * coef2 + (0x80u << kBits);
    out[c] = static_cast<uint8_t>(shiftdiv255(t) >> kBits);
  }
  out[3] = static_cast<uint8_t>(shiftdiv255(outa255 + 0x80));
}

}  // namespace img_util::imaging::detail
