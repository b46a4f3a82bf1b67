#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "imaging/imaging.hpp"
#include "pillow_oracle.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::pillow;

// A photo-like gradient with noise: far more than 65536 colours once large enough, so the
// histogram has to drop low bits.
Image photo(int w, int h, Mode mode = Mode::RGB) {
  Image im(mode, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = im.row(y) + size_t(x) * im.bands();
      const unsigned n = (unsigned(x) * 2654435761u) ^ (unsigned(y) * 40503u);
      const uint8_t v[3] = {uint8_t(x * 255 / std::max(1, w - 1) ^ (n & 7)),
                            uint8_t(y * 255 / std::max(1, h - 1)),
                            uint8_t((x + y) * 3 + (n >> 5 & 15))};
      for (int c = 0; c < im.bands(); ++c) p[c] = v[c % 3];
    }
  return im;
}

struct QuantCase {
  const char* name;
  Mode mode;
  int w, h, colors;
};

class QuantizeMatchesPillow : public testing::TestWithParam<QuantCase> {};

// The median cut makes the same choices as Pillow's ADAPTIVE palette, so palette and indices
// agree exactly; the PSNR check states the quality bar should an exact match ever be lost.
TEST_P(QuantizeMatchesPillow, SamePaletteAndIndices) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto& c = GetParam();
  Image in = photo(c.w, c.h, c.mode);
  if (c.mode == Mode::RGBA) {
    // Transparent pixels of different colours: all count as the first one's colour.
    for (int x = 0; x < c.w; x += 3) in.row(c.h / 2)[x * 4 + 3] = 0;
  }
  Image ours = imaging::convert(in, Mode::P, c.colors);
  Image theirs = pillow(
      "out = ins[0].convert('P', palette=Image.ADAPTIVE, colors=" + std::to_string(c.colors) + ")",
      {&in});
  ASSERT_EQ(ours.mode(), Mode::P);
  ASSERT_LE(ours.palette.size(), size_t(c.colors));
  ASSERT_GE(theirs.palette.size(), ours.palette.size());
  for (size_t i = 0; i < ours.palette.size(); ++i)
    EXPECT_EQ(ours.palette[i], theirs.palette[i]) << "entry " << i;
  EXPECT_EQ(ours.pixels(), theirs.pixels());
  Image ours_rgb = imaging::convert(ours, Mode::RGB),
        theirs_rgb = imaging::convert(theirs, Mode::RGB);
  Image in_rgb = imaging::convert(in, Mode::RGB);
  EXPECT_GE(test::psnr(ours_rgb, theirs_rgb), 45.0);
  EXPECT_GE(test::psnr(ours_rgb, in_rgb), test::psnr(theirs_rgb, in_rgb) - 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantizeMatchesPillow,
    testing::Values(QuantCase{"small_exact_histogram", Mode::RGB, 40, 30, 256},
                    QuantCase{"coarse_histogram", Mode::RGB, 400, 300, 256},
                    QuantCase{"few_colours", Mode::RGB, 64, 64, 16},
                    QuantCase{"rgba_octree_with_alpha", Mode::RGBA, 50, 40, 256},
                    QuantCase{"rgba_octree_few_colours", Mode::RGBA, 90, 60, 32},
                    QuantCase{"grey", Mode::L, 90, 70, 64}),
    [](const testing::TestParamInfo<QuantCase>& p) { return std::string(p.param.name); });

TEST(Quantize, ImagesWithFewColoursKeepThemExactly) {
  Image in(Mode::RGB, 20, 10);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 20; ++x) {
      uint8_t* p = in.row(y) + x * 3;
      const int k = y * 20 + x;  // 200 distinct colours
      p[0] = uint8_t(k), p[1] = uint8_t(255 - k), p[2] = uint8_t(k * 7);
    }
  Image p = imaging::convert(in, Mode::P);
  EXPECT_EQ(p.palette.size(), 200u);
  EXPECT_EQ(imaging::convert(p, Mode::RGB).pixels(), in.pixels());
}

// A box of more than 2^32 / 255 pixels: its colour sums need more than 32 bits (a 32-bit
// sum would wrap and give the box a wrong colour).
TEST(Quantize, HugeBoxesKeepTheirColour) {
  Image in(Mode::RGB, 4200, 4100, Rgba{255, 254, 253, 255});
  in.row(0)[0] = 0;
  Image p = imaging::convert(in, Mode::P);
  ASSERT_EQ(p.palette.size(), 2u);
  EXPECT_EQ(p.palette[p.row(4099)[4199]], (Rgba{255, 254, 253, 255}));
  EXPECT_EQ(p.palette[p.row(0)[0]], (Rgba{0, 254, 253, 255}));
}

TEST(Quantize, SingleColourAndTinyImages) {
  Image one(Mode::RGB, 3, 3, Rgba{9, 8, 7, 255});
  Image p = imaging::convert(one, Mode::P);
  ASSERT_EQ(p.palette.size(), 1u);
  EXPECT_EQ(p.palette[0], (Rgba{9, 8, 7, 255}));
  Image empty(Mode::RGB, 0, 0);
  EXPECT_EQ(imaging::convert(empty, Mode::P).pixels().size(), 0u);
}

// The palette made without the RGB copy is the one the RGB copy gets: alpha plays no part,
// and a palette image counts by the colours its indices show (a short palette's missing
// entries as the grey of their index, a duplicated colour once, the transparency ignored).
TEST(Quantize, ViaRgbMatchesTheRgbCopy) {
  Image rgba = photo(90, 60, Mode::RGBA);
  for (int x = 0; x < 90; x += 2) rgba.row(7)[x * 4 + 3] = uint8_t(x);
  Image short_palette(Mode::P, 40, 30);
  for (size_t i = 0; i < short_palette.pixels().size(); ++i)
    short_palette.pixels()[i] = uint8_t(i * 7);
  short_palette.palette = {{1, 2, 3, 255}, {200, 100, 50, 0}, {1, 2, 3, 255}, {9, 9, 9, 255}};
  short_palette.info.transparency = 3;
  // `many` has so many colours that its histogram is coarse.
  const Image grey = photo(50, 40, Mode::LA), many = photo(400, 300);
  const struct {
    const char* name;
    const Image* in;
    int colors;
  } cases[] = {{"rgba", &rgba, 256},
               {"grey_alpha", &grey, 256},
               {"short_palette", &short_palette, 256},
               {"short_palette_few_colours", &short_palette, 5},
               {"coarse", &many, 256}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Image direct = imaging::convert_to_p_via_rgb(*c.in, c.colors);
    Image via_copy = imaging::convert(imaging::convert(*c.in, Mode::RGB), Mode::P, c.colors);
    EXPECT_EQ(direct.palette, via_copy.palette);
    EXPECT_EQ(direct.pixels(), via_copy.pixels());
    EXPECT_FALSE(direct.info.transparency.has_value());
  }
}

TEST(Quantize, PaletteSizeNeverExceedsTheRequest) {
  Image in = photo(120, 80);
  for (int colors : {1, 2, 3, 255}) {
    Image p = imaging::convert(in, Mode::P, colors);
    EXPECT_LE(p.palette.size(), size_t(colors));
    for (uint8_t v : p.pixels()) ASSERT_LT(v, p.palette.size());
  }
}

}  // namespace
}  // namespace img_util

namespace img_util {
namespace {

TEST(QuantizeOctree, NoiseWithAlphaMatchesPillow) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  Image in = test::random_image(Mode::RGBA, 40, 30, 77);
  for (size_t i = 3; i < in.pixels().size(); i += 28) in.pixels()[i] = 0;
  Image ours = imaging::convert(in, Mode::P, 256);
  Image theirs = test::pillow("out = ins[0].convert('P', palette=Image.ADAPTIVE)", {&in});
  ASSERT_EQ(ours.palette.size(), 256u);
  for (size_t i = 0; i < ours.palette.size(); ++i)
    EXPECT_EQ(ours.palette[i], theirs.palette[i]) << "entry " << i;
  EXPECT_EQ(ours.pixels(), theirs.pixels());
}

}  // namespace
}  // namespace img_util
