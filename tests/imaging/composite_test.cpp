#include <gtest/gtest.h>

#include "imaging/imaging.hpp"
#include "pillow_oracle.hpp"
#include "support/literal_ops.hpp"

namespace img_util {
namespace {

using test::pillow;

// Random RGBA with the alpha extremes well represented (0 and 255 take separate paths).
Image rgba_with_extremes(int w, int h, unsigned seed) {
  Image im = test::random_image(Mode::RGBA, w, h, seed);
  for (size_t i = 3; i < im.pixels().size(); i += 4) {
    if (i % 20 == 3) im.pixels()[i] = 0;
    if (i % 20 == 7) im.pixels()[i] = 255;
  }
  return im;
}

TEST(AlphaComposite, MatchesPillow) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  Image under = rgba_with_extremes(31, 17, 1), over = rgba_with_extremes(31, 17, 2);
  Image ours = imaging::alpha_composite(under, over);
  Image theirs = pillow("out = Image.alpha_composite(ins[0], ins[1])", {&under, &over});
  EXPECT_EQ(test::max_difference(ours, theirs), 0);
}

TEST(AlphaComposite, NeedsTwoRgbaImagesOfOneSize) {
  Image a(Mode::RGBA, 3, 3), b(Mode::RGBA, 3, 4), c(Mode::RGB, 3, 3);
  EXPECT_THROW(imaging::alpha_composite(a, b), ValueError);
  EXPECT_THROW(imaging::alpha_composite(a, c), ValueError);
}

struct CompositeCase {
  Mode a, b, mask;
};

class CompositeMatchesPillow : public testing::TestWithParam<CompositeCase> {};

TEST_P(CompositeMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto& c = GetParam();
  Image a = test::random_image(c.a, 19, 13, 3), b = test::random_image(c.b, 19, 13, 4);
  Image mask =
      c.mask == Mode::RGBA ? rgba_with_extremes(19, 13, 5) : test::random_image(c.mask, 19, 13, 5);
  Image ours = imaging::composite(a, b, mask);
  Image theirs = pillow("out = Image.composite(ins[0], ins[1], ins[2])", {&a, &b, &mask});
  EXPECT_EQ(test::max_difference(ours, theirs), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, CompositeMatchesPillow,
                         testing::Values(CompositeCase{Mode::RGBA, Mode::RGBA, Mode::RGBA},
                                         CompositeCase{Mode::RGBA, Mode::RGBA, Mode::L},
                                         CompositeCase{Mode::RGB, Mode::RGB, Mode::L},
                                         CompositeCase{Mode::L, Mode::L, Mode::RGBA},
                                         CompositeCase{Mode::RGBA, Mode::RGB, Mode::RGBA}));

TEST(Composite, RefusesMasksWithoutAnAlphaOrGreyBand) {
  Image a(Mode::RGBA, 2, 2), b(Mode::RGBA, 2, 2), rgb(Mode::RGB, 2, 2), small(Mode::L, 1, 2);
  EXPECT_THROW(imaging::composite(a, b, rgb), ValueError);
  EXPECT_THROW(imaging::composite(a, b, small), ValueError);
}

class PutalphaMatchesPillow : public testing::TestWithParam<Mode> {};

TEST_P(PutalphaMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  Image im = test::random_image(GetParam(), 11, 6, 8);
  Image alpha = test::random_image(Mode::L, 11, 6, 9);
  Image ours = imaging::putalpha(im, alpha);
  // Pillow keeps a palette image as palette + alpha ("PA"), a mode we do not have; its RGBA
  // form is what we give.
  Image theirs = pillow(
      "out = ins[0].copy(); out.putalpha(ins[1])\n"
      "if out.mode == 'PA': out = out.convert('RGBA')",
      {&im, &alpha});
  ASSERT_EQ(ours.mode(), theirs.mode());
  EXPECT_EQ(test::max_difference(ours, theirs), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, PutalphaMatchesPillow,
                         testing::Values(Mode::L, Mode::LA, Mode::RGB, Mode::RGBA, Mode::P),
                         [](const testing::TestParamInfo<Mode>& p) {
                           return std::string(mode_name(p.param));
                         });

TEST(Putalpha, NeedsAGreyBandOfTheSameSize) {
  Image im(Mode::RGB, 3, 3);
  EXPECT_THROW(imaging::putalpha(im, Image(Mode::RGB, 3, 3)), ValueError);
  EXPECT_THROW(imaging::putalpha(im, Image(Mode::L, 2, 3)), ValueError);
}

class ScaleBandMatchesBrightness : public testing::TestWithParam<double> {};

// The picture watermark's opacity: brightness enhancement of the alpha band alone.
TEST_P(ScaleBandMatchesBrightness, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  Image im = test::random_image(Mode::RGBA, 16, 16, 10);
  for (int i = 0; i < 256; ++i) im.pixels()[size_t(i) * 4 + 3] = uint8_t(i);
  Image ours = imaging::scale_band(im, 3, GetParam());
  Image theirs = pillow(
      "from PIL import ImageEnhance\n"
      "r, g, b, a = ins[0].split()\n"
      "out = ins[0].copy()\n"
      "out.putalpha(ImageEnhance.Brightness(a).enhance(" +
          std::to_string(GetParam()) + "))",
      {&im});
  EXPECT_EQ(test::max_difference(ours, theirs), 0);
}

INSTANTIATE_TEST_SUITE_P(Factors, ScaleBandMatchesBrightness,
                         testing::Values(0.0, 0.3, 0.5, 0.77, 0.98, 1.0, 1.5));

}  // namespace
}  // namespace img_util
