// BMP: pixel data cut short decodes as far as it goes, unless what is left is too little of a
// large canvas.
#include <gtest/gtest.h>

#include <string>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"

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

}  // namespace
}  // namespace img_util::test
