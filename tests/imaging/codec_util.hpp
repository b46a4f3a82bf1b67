// Helpers shared by the codec tests: small images made in code and byte-level file surgery.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "imaging/imaging.hpp"
#include "img_util/image.hpp"

namespace img_util::test {

// A deterministic pattern in any mode: gradients in the colour bands, a ramp in alpha, and for
// P an index ramp over a `colors`-entry palette.
inline Image pattern(Mode mode, int w, int h, int colors = 16) {
  Image im(mode, w, h);
  if (mode == Mode::P) {
    for (int i = 0; i < colors; ++i)
      im.palette.push_back(
          {uint8_t(i * 255 / std::max(1, colors - 1)), uint8_t(255 - i * 7), uint8_t(i * 13), 255});
  }
  const int b = im.bands();
  for (int y = 0; y < h; ++y) {
    uint8_t* p = im.row(y);
    for (int x = 0; x < w; ++x, p += b) {
      if (mode == Mode::P) {
        p[0] = static_cast<uint8_t>((x / 2 + y) % colors);
        continue;
      }
      uint8_t v[4] = {uint8_t(x * 255 / std::max(1, w - 1)), uint8_t(y * 255 / std::max(1, h - 1)),
                      uint8_t((x + y) * 4), uint8_t(64 + (x * 191) / std::max(1, w - 1))};
      if (mode == Mode::L)
        p[0] = v[0];
      else if (mode == Mode::LA)
        p[0] = v[0], p[1] = v[3];
      else
        for (int c = 0; c < b; ++c) p[c] = v[c];
    }
  }
  return im;
}

// A fresh directory removed with its contents at the end of the scope.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/img_util_codec_XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// The smallest ICC profile libpng accepts for RGB: a header and an empty tag table (padded: libpng
// wants more than the bare minimum).
inline std::string tiny_rgb_icc() {
  std::string p(136, '\0');
  auto put = [&](size_t at, const char* four) { p.replace(at, 4, four, 4); };
  put(0, "\0\0\0\x88");
  put(8, "\x02\x10\0\0");
  put(12, "mntr");
  put(16, "RGB ");
  put(20, "XYZ ");
  put(36, "acsp");
  put(68, "\0\0\xF6\xD6");
  put(72, "\0\x01\0\0");
  put(76, "\0\0\xD3\x2D");
  return p;
}

// Encoder options in one expression (designated initialisers warn about the fields left out).
inline imaging::EncodeOptions with_quality(int q) {
  imaging::EncodeOptions o;
  o.quality = q;
  return o;
}
inline imaging::EncodeOptions optimized(bool on = true) {
  imaging::EncodeOptions o;
  o.optimize = on;
  return o;
}
inline imaging::EncodeOptions without_metadata() {
  imaging::EncodeOptions o;
  o.keep_icc = false;
  return o;
}
inline imaging::EncodeOptions with_exif(std::optional<int> quality = std::nullopt) {
  imaging::EncodeOptions o;
  o.keep_exif = true;
  o.quality = quality;
  return o;
}

// Mean absolute difference per byte of two images of equal mode and size.
inline double mean_abs_diff(const Image& a, const Image& b) {
  const auto& pa = a.pixels();
  const auto& pb = b.pixels();
  if (pa.size() != pb.size() || pa.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < pa.size(); ++i) sum += std::abs(int(pa[i]) - int(pb[i]));
  return sum / pa.size();
}

// Minimal TIFF-structured EXIF block holding only an orientation tag (little endian).
inline std::string exif_with_orientation(int orientation) {
  std::string e("II*\0\x08\0\0\0", 8);
  e += std::string("\x01\0", 2);                    // one entry
  e += std::string("\x12\x01\x03\0\x01\0\0\0", 8);  // tag 0x0112, SHORT, count 1
  e += static_cast<char>(orientation);
  e += std::string("\0\0\0", 3);
  e += std::string("\0\0\0\0", 4);  // no next IFD
  return e;
}

// CRC-32 as PNG chunks use it.
inline uint32_t crc32_of(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char ch : s) {
    c ^= ch;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}

inline std::string be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// One PNG chunk with its length and CRC.
inline std::string png_chunk(const std::string& type, const std::string& data) {
  return be32(static_cast<uint32_t>(data.size())) + type + data + be32(crc32_of(type + data));
}

}  // namespace img_util::test
