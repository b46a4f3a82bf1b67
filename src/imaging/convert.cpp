// Mode conversion between L, LA, RGB, RGBA and P with Pillow's arithmetic.
#include <array>
#include <cstring>
#include <string>

#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"
#include "imaging/quantize.hpp"

namespace img_util::imaging {
namespace {

using detail::luma;

// One pixel of `from` (at `in`) written as `to` (at `out`). Modes without alpha gain an
// opaque one; alpha is dropped without blending, as Pillow does.
template <Mode From, Mode To>
inline void convert_pixel(const uint8_t* in, uint8_t* out) {
  uint8_t r, g, b, a = 255;
  if constexpr (From == Mode::L || From == Mode::LA) {
    r = g = b = in[0];
    if constexpr (From == Mode::LA) a = in[1];
  } else {
    r = in[0], g = in[1], b = in[2];
    if constexpr (From == Mode::RGBA) a = in[3];
  }
  if constexpr (To == Mode::L || To == Mode::LA) {
    // Grey sources keep their value; luma of equal channels is the value itself.
    out[0] = (From == Mode::L || From == Mode::LA) ? r : luma(r, g, b);
    if constexpr (To == Mode::LA) out[1] = a;
  } else {
    out[0] = r, out[1] = g, out[2] = b;
    if constexpr (To == Mode::RGBA) out[3] = a;
  }
}

template <Mode From, Mode To>
void convert_rows(const Image& in, Image& out) {
  const int fb = mode_bands(From), tb = mode_bands(To);
  for (int y = 0; y < in.height(); ++y) {
    const uint8_t* s = in.row(y);
    uint8_t* d = out.row(y);
    for (int x = 0; x < in.width(); ++x, s += fb, d += tb) convert_pixel<From, To>(s, d);
  }
}

template <Mode From>
void convert_from(const Image& in, Image& out) {
  switch (out.mode()) {
    case Mode::L: return convert_rows<From, Mode::L>(in, out);
    case Mode::LA: return convert_rows<From, Mode::LA>(in, out);
    case Mode::RGB: return convert_rows<From, Mode::RGB>(in, out);
    case Mode::RGBA: return convert_rows<From, Mode::RGBA>(in, out);
    case Mode::P: break;
  }
}

// The band count is a constant here, so that each pixel's copy is a few moves rather than a
// call.
template <int Bands>
void expand_rows(const Image& in, Image& out,
                 const std::array<std::array<uint8_t, 4>, 256>& table) {
  for (int y = 0; y < in.height(); ++y) {
    const uint8_t* s = in.row(y);
    uint8_t* d = out.row(y);
    for (int x = 0; x < in.width(); ++x, d += Bands) std::memcpy(d, table[s[x]].data(), Bands);
  }
}

// A palette image expanded through a 256-entry table of target pixels. Indices beyond the
// palette read as the grey of their own value (Pillow's palettes start as a grey ramp and
// a short palette only overwrites its beginning); the transparency index reads as alpha 0.
void expand_palette(const Image& in, Image& out) {
  const int tb = out.bands();
  std::array<std::array<uint8_t, 4>, 256> table{};
  for (int i = 0; i < 256; ++i) {
    const uint8_t grey = static_cast<uint8_t>(i);
    Rgba c = i < static_cast<int>(in.palette.size()) ? in.palette[i] : Rgba{grey, grey, grey, 255};
    if (in.info.transparency && *in.info.transparency == i) c[3] = 0;
    uint8_t* t = table[i].data();
    switch (out.mode()) {
      case Mode::L: t[0] = luma(c[0], c[1], c[2]); break;
      case Mode::LA: t[0] = luma(c[0], c[1], c[2]), t[1] = c[3]; break;
      case Mode::RGB: t[0] = c[0], t[1] = c[1], t[2] = c[2]; break;
      case Mode::RGBA: t[0] = c[0], t[1] = c[1], t[2] = c[2], t[3] = c[3]; break;
      case Mode::P: break;
    }
  }
  switch (tb) {
    case 1: return expand_rows<1>(in, out, table);
    case 2: return expand_rows<2>(in, out, table);
    case 3: return expand_rows<3>(in, out, table);
    default: return expand_rows<4>(in, out, table);
  }
}

// A palette image made from `src`: its info, less the transparency its palette has not got.
Image with_info_of(Image out, const Image& src) {
  out.info = detail::derived_info(src.info);
  out.info.transparency.reset();
  return out;
}

}  // namespace

Image convert_to_p_via_rgb(const Image& im, int colors) {
  if (colors < 1 || colors > 256)
    throw ValueError("bad number of colors: " + std::to_string(colors));
  return with_info_of(quantize_median_cut(im, colors), im);
}

bool has_transparency(const Image& im) {
  switch (im.mode()) {
    case Mode::LA:
    case Mode::RGBA: {
      const int bands = im.bands();
      const std::vector<uint8_t>& px = im.pixels();
      for (size_t i = static_cast<size_t>(bands) - 1; i < px.size(); i += bands)
        if (px[i] != 255) return true;
      return false;
    }
    case Mode::P: return has_transparency(convert(im, Mode::RGBA));
    default: return false;
  }
}

Image convert(const Image& im, Mode to, int colors) {
  if (colors < 1 || colors > 256)
    throw ValueError("bad number of colors: " + std::to_string(colors));
  // Same mode: a plain copy, which still describes the same encoded bytes.
  if (im.mode() == to) return im;
  if (to == Mode::P) {
    // Pillow quantises RGBA by its octree, keeping alpha in the palette; everything else by
    // median cut on the colours.
    if (im.mode() != Mode::RGBA) return convert_to_p_via_rgb(im, colors);
    return with_info_of(quantize_octree(im, colors), im);
  }
  Image out = detail::derived_image(im, to, im.width(), im.height());
  switch (im.mode()) {
    case Mode::L: convert_from<Mode::L>(im, out); break;
    case Mode::LA: convert_from<Mode::LA>(im, out); break;
    case Mode::RGB: convert_from<Mode::RGB>(im, out); break;
    case Mode::RGBA: convert_from<Mode::RGBA>(im, out); break;
    case Mode::P: expand_palette(im, out); break;
  }
  return out;
}

}  // namespace img_util::imaging
