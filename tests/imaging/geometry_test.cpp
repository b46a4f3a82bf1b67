#include "imaging/geometry.hpp"

#include <gtest/gtest.h>

#include <cstdio>

#include "imaging/imaging.hpp"
#include "pillow_oracle.hpp"
#include "support/literal_ops.hpp"

namespace img_util {
namespace {

using test::pillow;

std::string num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

struct RotateCase {
  Mode mode;
  int w, h;
  double degrees;
};

class RotateMatchesPillow : public testing::TestWithParam<RotateCase> {};

TEST_P(RotateMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto& c = GetParam();
  Image in = test::random_image(c.mode, c.w, c.h, 11);
  Image ours = imaging::rotate(in, c.degrees);
  Image theirs = pillow("out = ins[0].rotate(" + num(c.degrees) + ")", {&in});
  ASSERT_EQ(ours.width(), theirs.width());
  ASSERT_EQ(ours.height(), theirs.height());
  EXPECT_EQ(test::max_difference(ours, theirs), 0) << "ours:\n"
                                                   << test::hex_grid(ours) << "Pillow:\n"
                                                   << test::hex_grid(theirs);
  if (c.mode == Mode::P) {
    EXPECT_EQ(ours.palette, in.palette);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Angles, RotateMatchesPillow,
    testing::Values(RotateCase{Mode::RGBA, 17, 11, 45}, RotateCase{Mode::RGBA, 17, 11, -45},
                    RotateCase{Mode::L, 16, 16, 30.5}, RotateCase{Mode::RGB, 9, 14, 90},
                    RotateCase{Mode::RGB, 14, 14, 90}, RotateCase{Mode::LA, 14, 14, 270},
                    RotateCase{Mode::RGBA, 13, 8, 180}, RotateCase{Mode::RGBA, 13, 8, 0},
                    RotateCase{Mode::RGBA, 13, 8, 372}, RotateCase{Mode::P, 12, 7, 10},
                    RotateCase{Mode::RGBA, 13, 8, 1e-14}, RotateCase{Mode::RGBA, 300, 180, 45},
                    RotateCase{Mode::L, 40000, 2, 45}));

TEST(RotationMap, GivesTheSourcePixelThatRotateShows) {
  // Every output pixel of a rotated image of distinct values shows the pixel the map names.
  const int w = 23, h = 17;
  Image in(Mode::RGB, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = in.row(y) + x * 3;
      p[0] = uint8_t(x + 1), p[1] = uint8_t(y + 1), p[2] = 7;
    }
  for (double deg : {45.0, -45.0, 33.3, 100.0}) {
    const auto map = imaging::RotationMap::make(deg, w, h);
    EXPECT_TRUE(map.fixed);
    Image out = imaging::rotate(in, deg);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = out.row(y) + x * 3;
        const int sx = map.src_x(x, y), sy = map.src_y(x, y);
        if (sx >= 0 && sx < w && sy >= 0 && sy < h) {
          ASSERT_EQ(p[0], sx + 1) << deg << " at " << x << "," << y;
          ASSERT_EQ(p[1], sy + 1) << deg << " at " << x << "," << y;
        } else {
          ASSERT_EQ(p[2], 0) << deg << " at " << x << "," << y;
        }
      }
  }
}

TEST(Rotate, QuarterTurnsOfNonSquareImagesKeepTheSize) {
  Image in = test::random_image(Mode::RGB, 6, 4, 2);
  Image out = imaging::rotate(in, 90);
  EXPECT_EQ(out.width(), 6);
  EXPECT_EQ(out.height(), 4);
  Image turned = imaging::rotate_quarter(in, 1);
  EXPECT_EQ(turned.width(), 4);
  EXPECT_EQ(turned.height(), 6);
  // Counter-clockwise: the top-right corner comes to the top-left.
  EXPECT_TRUE(std::equal(turned.row(0), turned.row(0) + 3, in.row(0) + 5 * 3));
}

struct CropCase {
  int l, t, r, b;
};

class CropMatchesPillow : public testing::TestWithParam<CropCase> {};

TEST_P(CropMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto [l, t, r, b] = GetParam();
  Image in = test::random_image(Mode::RGBA, 10, 8, 5);
  Image ours = imaging::crop(in, l, t, r, b);
  Image theirs = pillow("out = ins[0].crop((" + std::to_string(l) + "," + std::to_string(t) + "," +
                            std::to_string(r) + "," + std::to_string(b) + "))",
                        {&in});
  EXPECT_EQ(test::max_difference(ours, theirs), 0);
}

INSTANTIATE_TEST_SUITE_P(Boxes, CropMatchesPillow,
                         testing::Values(CropCase{2, 1, 7, 6}, CropCase{-3, -2, 4, 5},
                                         CropCase{5, 4, 14, 12}, CropCase{-5, -5, 15, 13},
                                         CropCase{12, 0, 15, 3}, CropCase{3, 3, 3, 5}));

TEST(Crop, RejectsInvertedBoxes) {
  Image in(Mode::L, 4, 4);
  EXPECT_THROW(imaging::crop(in, 3, 0, 2, 4), ValueError);
  EXPECT_THROW(imaging::crop(in, 0, 3, 4, 2), ValueError);
}

struct PasteCase {
  Mode dst, src;
  int x, y;
};

class PasteMatchesPillow : public testing::TestWithParam<PasteCase> {};

TEST_P(PasteMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto& c = GetParam();
  Image dst = test::random_image(c.dst, 12, 9, 1);
  Image src = test::random_image(c.src, 5, 4, 2);
  if (c.src == Mode::P) src.info.transparency = 2;
  Image ours = dst;
  imaging::paste(ours, src, c.x, c.y);
  Image theirs = pillow("out = ins[0].copy(); out.paste(ins[1], (" + std::to_string(c.x) + ", " +
                            std::to_string(c.y) + "))",
                        {&dst, &src});
  EXPECT_EQ(test::max_difference(ours, theirs), 0) << "ours:\n"
                                                   << test::hex_grid(ours) << "Pillow:\n"
                                                   << test::hex_grid(theirs);
}

INSTANTIATE_TEST_SUITE_P(
    Places, PasteMatchesPillow,
    testing::Values(PasteCase{Mode::RGBA, Mode::RGBA, 3, 2},
                    PasteCase{Mode::RGBA, Mode::RGBA, -2, -3},
                    PasteCase{Mode::RGBA, Mode::RGB, 9, 7}, PasteCase{Mode::RGBA, Mode::L, 20, 1},
                    PasteCase{Mode::RGBA, Mode::P, 4, 4}, PasteCase{Mode::RGB, Mode::RGBA, 1, 1},
                    PasteCase{Mode::RGB, Mode::LA, -1, 6}, PasteCase{Mode::L, Mode::RGB, 2, 2}));

}  // namespace
}  // namespace img_util
