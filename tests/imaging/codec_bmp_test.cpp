// BMP: pixel data cut short decodes as far as it goes, unless what is left is too little of a
// large canvas.
#include <gtest/gtest.h>

#include <string>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"
#include "pillow_oracle.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

std::string le16(uint32_t v) { return {char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }

// A 24-bit bottom-up BMP of `width` x `height` holding only its first `rows` rows (the bottom
// ones), each a grey ramp.
std::string cut_bmp(int width, int height, int rows) {
  const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) / 4 * 4;
  std::string f = "BM" + le32(54 + stride * height) + le32(0) + le32(54);
  f += le32(40) + le32(width) + le32(height) + le16(1) + le16(24) + le32(0) +
       le32(stride * height) + le32(2835) + le32(2835) + le32(0) + le32(0);
  std::string row(stride, '\0');
  for (int x = 0; x < width; ++x) row.replace(3 * x, 3, 3, char(x % 251 + 1));
  for (int y = 0; y < rows; ++y) f += row;
  return f;
}

struct CutCase {
  const char* what;
  int width, height, rows;
  bool refused;
};

TEST(Bmp, PixelDataCutShortDecodesUnlessTooLittleOfALargeCanvasIsLeft) {
  const CutCase cases[] = {
      // 230 KB claiming 320 x 524,528 pixels: half a gigabyte to fill with nothing.
      {"245 rows of 524,528", 320, 524528, 245, true},
      {"one row of 524,528", 320, 524528, 1, true},
      {"an eighth of a large canvas", 4096, 1600, 200, false},
      {"a little short of an eighth", 4096, 1600, 199, true},
      {"one row of a small canvas", 256, 192, 1, false},
      {"nothing but the header of a small canvas", 256, 192, 0, false},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto im = Image::open_bytes(cut_bmp(c.width, c.height, c.rows), "cut.bmp");
    EXPECT_EQ(im->height(), c.height);  // the header alone opens
    try {
      im->load();
      EXPECT_FALSE(c.refused) << "decoded";
      if (c.rows > 0) {
        EXPECT_EQ(im->row(c.height - 1)[3 * 7], 8);
      }
      EXPECT_EQ(im->row(0)[3 * 7], 0);
    } catch (const ImageError& e) {
      EXPECT_TRUE(c.refused) << e.what();
      EXPECT_EQ(std::string(e.what()), "BMP pixel data ends after " + std::to_string(c.rows) +
                                           " of " + std::to_string(c.height) +
                                           " rows; too little of the image to decode in "
                                           "'cut.bmp'");
    }
  }
}

// A BMP with a 40-byte info header (or a 108-byte one with its masks inside) around `pixels`.
std::string bmp_file(int w, int h, int bits, uint32_t compression, const std::string& pixels,
                     const std::string& palette = "", const std::string& masks = "",
                     bool v4 = false) {
  const uint32_t hsize = v4 ? 108 : 40;
  std::string info = le32(hsize) + le32(w) + le32(static_cast<uint32_t>(h)) + le16(1) + le16(bits) +
                     le32(compression) + le32(pixels.size()) + le32(2835) + le32(2835) +
                     le32(static_cast<uint32_t>(palette.size() / 4)) + le32(0);
  if (v4) {
    info += masks;
    info.resize(hsize, '\0');
  } else {
    info += masks;
  }
  const uint32_t offset = static_cast<uint32_t>(14 + info.size() + palette.size());
  return "BM" + le32(offset + pixels.size()) + le32(0) + le32(offset) + info + palette + pixels;
}

std::string palette16() {
  std::string p;
  for (int i = 0; i < 16; ++i) p += std::string{char(i * 16), char(255 - i * 16), char(i * 7), 0};
  return p;
}

struct VariantCase {
  const char* what;
  std::string file;
};

// Run-length and bit-field variants read as Pillow reads them, pixel for pixel.
TEST(Bmp, VariantsReadAsPillowReadsThem) {
  if (!pillow_available()) GTEST_SKIP() << "Pillow is not available";
  const std::string pal = palette16();
  // 8-bit runs: a run and an absolute stretch (odd, padded), every row ended, then the end.
  const std::string rle8 = std::string("\x03\x01\x00\x03\x02\x05\x07\x00\x00\x00", 10) +
                           std::string("\x02\x09\x01\x04\x00\x00", 6) +
                           std::string("\x0C\x03\x00\x00", 4) +
                           std::string("\x00\x04\x0A\x0B\x0C\x0D\x00\x00\x00\x01", 10);
  // 4-bit runs: alternating nibbles, an absolute stretch of 4 nibbles. (Pillow 9.4 drops the
  // last nibble of an odd stretch; we read it.)
  const std::string rle4 = std::string("\x05\x12\x00\x04\x34\x56\x00\x00", 8) +
                           std::string("\x0A\xAB\x00\x00", 4) +
                           std::string("\x04\xCD\x06\xEF\x00\x00\x00\x01", 8);
  std::string abgr;  // 32-bit pixels whose masks put red in the low byte and alpha on top
  for (int i = 0; i < 6 * 3; ++i)
    abgr += le32(0x80000000u | (i * 40) << 16 | (i * 9) << 8 | i * 13);
  const std::string abgr_masks =
      le32(0x000000FF) + le32(0x0000FF00) + le32(0x00FF0000) + le32(0xFF000000);
  const VariantCase cases[] = {
      {"rle8", bmp_file(12, 4, 8, 1, rle8, pal)},
      {"rle4", bmp_file(10, 3, 4, 2, rle4, pal)},
      {"rle8 top-down", bmp_file(12, -4, 8, 1, rle8, pal)},
      {"32-bit abgr bit fields", bmp_file(6, 3, 32, 3, abgr, "", abgr_masks, true)},
  };
  TempDir dir;
  for (const VariantCase& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir / "v.bmp", c.file);
    ImagePtr ours = Image::open(dir / "v.bmp");
    ours->load();
    const std::string as = mode_has_alpha(ours->mode()) ? "RGBA" : "RGB";
    const Image theirs =
        pillow("out = Image.open('" + (dir / "v.bmp") + "').convert('" + as + "')", {});
    EXPECT_EQ(max_difference(imaging::convert(*ours, theirs.mode()), theirs), 0)
        << hex_grid(imaging::convert(*ours, theirs.mode())) << "\n"
        << hex_grid(theirs);
  }
}

// Jumps and an early end, as the format describes them: what is skipped keeps index 0.
// (Pillow 9.4 reads two bytes too many after a jump, and refuses data that ends early.)
TEST(Bmp, RunLengthJumpsAndAnEarlyEnd) {
  const std::string rle8 = std::string("\x02\x01\x00\x02\x01\x01\x01\x02\x00\x01", 10);
  ImagePtr im = Image::open_bytes(bmp_file(4, 3, 8, 1, rle8, palette16()), "j.bmp");
  im->load();
  std::string indices;
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) indices += static_cast<char>('0' + im->row(y)[x]);
  // Bottom row: 1 1 at 0-1; the jump goes one right and one up, to x 3 of the middle row.
  EXPECT_EQ(indices,
            "0000"
            "0002"
            "1100");
}

}  // namespace
}  // namespace img_util::test
