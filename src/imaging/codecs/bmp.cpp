// BMP, our own small adapter: uncompressed 1/4/8-bit palette, 16/24/32-bit colour (with
// bit-field masks) on reading; 8-bit palette, 24-bit and 32-bit with alpha on writing.
#include <algorithm>
#include <cstring>
#include <string>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {
namespace {

constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;

uint32_t u16(std::string_view d, size_t at) {
  return static_cast<uint8_t>(d[at]) | static_cast<uint8_t>(d[at + 1]) << 8;
}
uint32_t u32(std::string_view d, size_t at) { return u16(d, at) | u16(d, at + 2) << 16; }

struct Layout {
  int64_t width = 0, height = 0;
  bool top_down = false;
  int bits = 0;
  uint32_t compression = kRgb;
  uint32_t masks[4] = {};  // r, g, b, a
  size_t pixel_offset = 0;
  std::vector<Rgba> palette;
  Mode mode = Mode::RGB;
  size_t stride = 0;
};

[[noreturn]] void bad(const std::string& what, const std::string& name) {
  throw ImageError(what + " in " + quoted(name), name);
}

// The file and info headers: where the pixels are, the size, the bit depth, the compression.
// Returns the info header's size.
uint32_t read_headers(std::string_view d, Layout& l, const std::string& name) {
  if (d.size() < 26) bad("truncated BMP header", name);
  l.pixel_offset = u32(d, 10);
  const uint32_t hsize = u32(d, 14);
  if (hsize == 12) {  // OS/2 core header
    l.width = u16(d, 18);
    l.height = u16(d, 20);
    l.bits = static_cast<int>(u16(d, 24));
  } else if (hsize >= 40 && d.size() >= 14 + size_t{40}) {
    l.width = static_cast<int32_t>(u32(d, 18));
    l.height = static_cast<int32_t>(u32(d, 22));
    l.bits = static_cast<int>(u16(d, 28));
    l.compression = u32(d, 30);
  } else {
    bad("unsupported BMP header", name);
  }
  if (l.height < 0) {
    l.top_down = true;
    l.height = -l.height;
  }
  return hsize;
}

// Where each channel of a 16 or 32-bit pixel is: given, or the format's default.
void read_masks(std::string_view d, uint32_t hsize, Layout& l, const std::string& name) {
  if (l.compression == kBitfields || l.compression == kAlphaBitfields) {
    if (l.bits != 16 && l.bits != 32) bad("unsupported BMP bit fields", name);
    // Masks follow a 40-byte header, or sit inside the longer ones.
    size_t at = 14 + 40;
    if (d.size() < at + 12) bad("truncated BMP header", name);
    for (int i = 0; i < 3; ++i) l.masks[i] = u32(d, at + 4 * i);
    if ((hsize >= 56 || l.compression == kAlphaBitfields) && d.size() >= at + 16)
      l.masks[3] = u32(d, at + 12);
  } else if (l.compression == kRle8 || l.compression == kRle4) {
    if (l.bits != (l.compression == kRle8 ? 8 : 4))
      bad("BMP run-length data of another depth", name);
  } else if (l.compression != kRgb) {
    bad("BMP compression " + std::to_string(l.compression) + " is not supported", name);
  } else if (l.bits == 16) {
    l.masks[0] = 0x7C00, l.masks[1] = 0x03E0, l.masks[2] = 0x001F;
  } else if (l.bits == 32) {
    l.masks[0] = 0xFF0000, l.masks[1] = 0xFF00, l.masks[2] = 0xFF;  // the fourth byte is padding
  }
}

// The colour table of a 1, 4 or 8-bit file; a table of the 256 greys makes an L image.
void read_palette(std::string_view d, uint32_t hsize, Layout& l, const std::string& name) {
  const bool core = hsize == 12;
  uint32_t colors = core ? 0 : u32(d, 46);
  if (colors == 0 || colors > (1u << l.bits)) colors = 1u << l.bits;
  const size_t entry = core ? 3 : 4;
  const size_t at = 14 + hsize;
  for (uint32_t i = 0; i < colors && at + (i + 1) * entry <= d.size(); ++i) {
    const size_t e = at + i * entry;
    l.palette.push_back({uint8_t(d[e + 2]), uint8_t(d[e + 1]), uint8_t(d[e]), 255});
  }
  if (l.palette.empty()) bad("BMP palette missing", name);
  bool grey = l.palette.size() == 256;
  for (size_t i = 0; grey && i < 256; ++i)
    grey = l.palette[i] == Rgba{uint8_t(i), uint8_t(i), uint8_t(i), 255};
  l.mode = grey ? Mode::L : Mode::P;
  if (grey) l.palette.clear();
}

Layout parse(std::string_view d, const std::string& name) {
  Layout l;
  const uint32_t hsize = read_headers(d, l, name);
  check_size(l.width, l.height, name);
  read_masks(d, hsize, l, name);
  switch (l.bits) {
    case 1:
    case 4:
    case 8: read_palette(d, hsize, l, name); break;
    case 16:
    case 24: l.mode = Mode::RGB; break;
    case 32: l.mode = l.masks[3] ? Mode::RGBA : Mode::RGB; break;
    default: bad("unsupported BMP bit depth " + std::to_string(l.bits), name);
  }
  l.stride = static_cast<size_t>((l.width * l.bits + 31) / 32) * 4;
  return l;
}

// Reads a channel under `mask` and scales it to 8 bits.
struct Field {
  int shift = 0;
  uint32_t max = 0;
  explicit Field(uint32_t mask) {
    if (!mask) return;
    while (!(mask >> shift & 1)) ++shift;
    max = mask >> shift;
  }
  uint8_t operator()(uint32_t v, uint32_t mask) const {
    if (!max) return 255;
    uint32_t x = (v & mask) >> shift;
    return static_cast<uint8_t>(max == 255 ? x : (x * 255 + max / 2) / max);
  }
};

}  // namespace

Header bmp_header(std::string_view data, const std::string& name) {
  Layout l = parse(data, name);
  Header h;
  h.mode = l.mode;
  h.width = static_cast<int>(l.width);
  h.height = static_cast<int>(l.height);
  h.palette = std::move(l.palette);
  h.info.format = "BMP";
  return h;
}

namespace {

// Rows the file does not hold stay zero, unless they are too many (see too_little_to_decode).
void check_rows_present(const Layout& l, size_t data_size, const std::string& name) {
  const uint64_t rows = static_cast<uint64_t>(l.height);
  const uint64_t present = data_size > l.pixel_offset ? (data_size - l.pixel_offset) / l.stride : 0;
  const uint64_t canvas = static_cast<uint64_t>(l.width) * rows * mode_bands(l.mode);
  if (present >= rows || !too_little_to_decode(canvas, present, rows)) return;
  bad("BMP pixel data ends after " + std::to_string(present) + " of " + std::to_string(rows) +
          " rows; too little of the image to decode",
      name);
}

}  // namespace

namespace {

// Decodes the stored row `s` into the `w` pixels of `o`, `bands` bytes each; `fields` read the
// channels of a 16 or 32-bit pixel.
void read_row(const Layout& l, const Field (&fields)[4], const uint8_t* s, uint8_t* o, int w,
              int bands) {
  switch (l.bits) {
    case 1:
    case 4:
      for (int x = 0; x < w; ++x) {
        int per = 8 / l.bits, bit = (per - 1 - x % per) * l.bits;
        o[x] = static_cast<uint8_t>((s[x / per] >> bit) & ((1 << l.bits) - 1));
      }
      break;
    case 8: std::memcpy(o, s, static_cast<size_t>(w)); break;
    case 24:
      for (int x = 0; x < w; ++x, s += 3, o += 3) o[0] = s[2], o[1] = s[1], o[2] = s[0];
      break;
    default: {
      const int bpp = l.bits / 8;
      for (int x = 0; x < w; ++x, s += bpp, o += bands) {
        uint32_t v =
            bpp == 2 ? s[0] | s[1] << 8 : s[0] | s[1] << 8 | s[2] << 16 | uint32_t(s[3]) << 24;
        for (int c = 0; c < bands; ++c) o[c] = fields[c](v, l.masks[c]);
      }
    }
  }
}

}  // namespace

namespace {

// Run-length coded palette indices (8 or 4 bits): runs, stored stretches, line ends and
// jumps; pixels the data skips or does not reach keep index 0, as Pillow leaves them.
void read_rle(const Layout& l, std::string_view data, Image& out) {
  const auto* d = reinterpret_cast<const uint8_t*>(data.data());
  size_t at = l.pixel_offset;
  const bool four = l.compression == kRle4;
  const int64_t w = l.width, h = l.height;
  int64_t x = 0, y = 0;  // y counts rows in file order
  auto put = [&](uint8_t v) {
    if (x < w && y < h) out.row(static_cast<int>(l.top_down ? y : h - 1 - y))[x] = v;
    ++x;
  };
  while (at + 2 <= data.size() && y < h) {
    const uint8_t count = d[at], value = d[at + 1];
    at += 2;
    if (count > 0) {  // a run; with 4 bits, the two nibbles alternate
      for (int i = 0; i < count; ++i)
        put(four ? static_cast<uint8_t>(i % 2 ? value & 15 : value >> 4) : value);
    } else if (value == 0) {  // end of line
      x = 0, ++y;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2) {  // jump right and on
      if (at + 2 > data.size()) break;
      x += d[at], y += d[at + 1];
      at += 2;
    } else {  // `value` pixels stored as they are, padded to a 16-bit boundary
      const size_t bytes = four ? (value + 1u) / 2 : value;
      for (int i = 0; i < value && at + static_cast<size_t>(four ? i / 2 : i) < data.size(); ++i) {
        const uint8_t b = d[at + static_cast<size_t>(four ? i / 2 : i)];
        put(four ? static_cast<uint8_t>(i % 2 ? b & 15 : b >> 4) : b);
      }
      at += bytes + (bytes & 1);
    }
  }
}

}  // namespace

Image bmp_decode(std::string_view data, const std::string& name, ReduceHint) {
  Layout l = parse(data, name);
  const bool rle = l.compression == kRle8 || l.compression == kRle4;
  if (rle) {
    // A run of two bytes draws at most 255 pixels: less data than that cannot fill the canvas.
    const uint64_t pixels = static_cast<uint64_t>(l.width) * static_cast<uint64_t>(l.height);
    const uint64_t bytes = data.size() > l.pixel_offset ? data.size() - l.pixel_offset : 0;
    if (too_little_to_decode(pixels, bytes * 128, pixels))
      bad("BMP run-length data of " + std::to_string(bytes) + " bytes cannot fill the picture",
          name);
  } else {
    check_rows_present(l, data.size(), name);
  }
  Image out(l.mode, static_cast<int>(l.width), static_cast<int>(l.height));
  out.palette = l.palette;
  out.info.format = "BMP";
  if (rle) {
    read_rle(l, data, out);
    if (l.mode == Mode::P)
      for (uint8_t& v : out.pixels())
        if (v >= out.palette.size()) v = 0;
    return out;
  }
  const Field fields[4] = {Field(l.masks[0]), Field(l.masks[1]), Field(l.masks[2]),
                           Field(l.masks[3])};
  for (int64_t i = 0; i < l.height; ++i) {
    // Rows the file does not hold (it ends early) stay zero.
    const size_t at = l.pixel_offset + static_cast<size_t>(i) * l.stride;
    if (at > data.size() || data.size() - at < l.stride) break;
    const auto* s = reinterpret_cast<const uint8_t*>(data.data()) + at;
    uint8_t* o = out.row(static_cast<int>(l.top_down ? i : l.height - 1 - i));
    read_row(l, fields, s, o, out.width(), out.bands());
  }
  if (l.mode == Mode::P)
    for (uint8_t& v : out.pixels())
      if (v >= out.palette.size()) v = 0;
  return out;
}

namespace {

void put16(std::string& s, uint32_t v) { s += char(v & 0xFF), s += char((v >> 8) & 0xFF); }
void put32(std::string& s, uint32_t v) { put16(s, v & 0xFFFF), put16(s, v >> 16); }

// The colour table written for an L or P image (none for the others).
std::vector<Rgba> colour_table(const Image& im) {
  std::vector<Rgba> pal;
  if (im.mode() == Mode::L) {
    for (int i = 0; i < 256; ++i) pal.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 255});
  } else if (im.mode() == Mode::P) {
    pal = im.palette.empty() ? std::vector<Rgba>(256, Rgba{0, 0, 0, 255}) : im.palette;
    if (pal.size() > 256) pal.resize(256);
    if (im.palette.empty())
      for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 255};
  }
  return pal;
}

// How a file is laid out: 8-bit indices, 24-bit BGR or 32-bit BGRA rows of `stride` bytes.
struct FileLayout {
  int bits = 0;
  uint64_t stride = 0;
  uint32_t hsize = 0;   // the info header's size
  uint64_t offset = 0;  // of the pixels
  uint64_t total = 0;   // the file's size
};

FileLayout file_layout(const Image& im, size_t palette_entries) {
  FileLayout f;
  f.bits = im.mode() == Mode::RGBA ? 32 : im.mode() == Mode::RGB ? 24 : 8;
  f.stride = (uint64_t{static_cast<uint32_t>(im.width())} * f.bits + 31) / 32 * 4;
  // 32-bit with alpha needs the V4 header to say where the alpha is; readers take a 40-byte
  // header's fourth byte as padding.
  f.hsize = f.bits == 32 ? 108 : 40;
  f.offset = 14 + f.hsize + palette_entries * 4;
  f.total = f.offset + f.stride * static_cast<uint64_t>(im.height());
  if (f.total > 0xFFFFFFFFull) throw ImageError("image too large for BMP");
  return f;
}

void put_headers(std::string& out, const FileLayout& f, int w, int h, size_t palette_entries) {
  out += "BM";
  put32(out, static_cast<uint32_t>(f.total));
  put32(out, 0);
  put32(out, static_cast<uint32_t>(f.offset));
  put32(out, f.hsize);
  put32(out, static_cast<uint32_t>(w));
  put32(out, static_cast<uint32_t>(h));
  put16(out, 1);
  put16(out, static_cast<uint32_t>(f.bits));
  put32(out, f.bits == 32 ? kBitfields : kRgb);
  put32(out, static_cast<uint32_t>(f.stride * h));
  put32(out, 2835);  // 72 dpi
  put32(out, 2835);
  put32(out, static_cast<uint32_t>(palette_entries));
  put32(out, 0);
  if (f.hsize == 108) {
    put32(out, 0x00FF0000), put32(out, 0x0000FF00), put32(out, 0x000000FF), put32(out, 0xFF000000);
    out += "BGRs";
    out.append(36 + 12, '\0');  // endpoints and gamma, unused for sRGB
  }
}

// The rows, bottom up, each padded to the stride.
void put_rows(std::string& out, const FileLayout& f, const Image& im) {
  const int w = im.width();
  const size_t pad = static_cast<size_t>(f.stride) - static_cast<size_t>(w) * (f.bits / 8);
  for (int y = im.height() - 1; y >= 0; --y) {
    const uint8_t* s = im.row(y);
    if (f.bits == 8) {
      out.append(reinterpret_cast<const char*>(s), static_cast<size_t>(w));
    } else if (f.bits == 24) {
      for (int x = 0; x < w; ++x, s += 3) out += {char(s[2]), char(s[1]), char(s[0])};
    } else {
      for (int x = 0; x < w; ++x, s += 4) out += {char(s[2]), char(s[1]), char(s[0]), char(s[3])};
    }
    out.append(pad, '\0');
  }
}

}  // namespace

std::string bmp_encode(const Image& im, const EncodeOptions&) {
  // LA is written as RGBA, the one mode with alpha a BMP holds.
  const Image* src = &im;
  Image converted(Mode::RGB, 0, 0);
  if (im.mode() == Mode::LA) {
    converted = convert(im, Mode::RGBA);
    src = &converted;
  }
  const std::vector<Rgba> pal = colour_table(*src);
  const FileLayout f = file_layout(*src, pal.size());
  std::string out;
  out.reserve(static_cast<size_t>(f.total));
  put_headers(out, f, src->width(), src->height(), pal.size());
  for (const Rgba& c : pal) out += {char(c[2]), char(c[1]), char(c[0]), '\0'};
  put_rows(out, f, *src);
  return out;
}

}  // namespace img_util::imaging::codec
