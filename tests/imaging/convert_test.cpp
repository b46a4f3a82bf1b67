#include <gtest/gtest.h>

#include <set>

#include "imaging/imaging.hpp"
#include "pillow_oracle.hpp"

namespace img_util {
namespace {

using test::pillow;

struct ConvertCase {
  Mode from, to;
};

class ConvertMatchesPillow : public testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto [from, to] = GetParam();
  Image in = test::random_image(from, 13, 7, 42);
  if (from == Mode::P) in.info.transparency = 3;
  Image ours = imaging::convert(in, to);
  Image theirs = pillow(std::string("out = ins[0].convert('") + mode_name(to) + "')", {&in});
  ASSERT_EQ(ours.mode(), theirs.mode());
  EXPECT_EQ(test::max_difference(ours, theirs), 0) << "ours:\n"
                                                   << test::hex_grid(ours) << "Pillow:\n"
                                                   << test::hex_grid(theirs);
}

std::vector<ConvertCase> all_pairs() {
  std::vector<ConvertCase> v;
  for (Mode from : {Mode::L, Mode::LA, Mode::RGB, Mode::RGBA, Mode::P})
    for (Mode to : {Mode::L, Mode::LA, Mode::RGB, Mode::RGBA})
      if (from != to) v.push_back({from, to});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Pairs, ConvertMatchesPillow, testing::ValuesIn(all_pairs()),
                         [](const testing::TestParamInfo<ConvertCase>& p) {
                           return std::string(mode_name(p.param.from)) + "_to_" +
                                  mode_name(p.param.to);
                         });

TEST(Convert, LumaRoundsLikePillow) {
  Image in(Mode::RGB, 3, 1);
  const uint8_t px[] = {255, 0, 0, 0, 255, 0, 10, 20, 30};
  std::copy(std::begin(px), std::end(px), in.pixels().begin());
  Image l = imaging::convert(in, Mode::L);
  // (r*19595 + g*38470 + b*7471 + 0x8000) >> 16
  EXPECT_EQ(l.row(0)[0], 76);
  EXPECT_EQ(l.row(0)[1], 150);
  EXPECT_EQ(l.row(0)[2], 18);
}

TEST(Convert, PaletteTransparencyIndexBecomesAlphaZero) {
  Image p(Mode::P, 2, 1);
  p.palette = {Rgba{1, 2, 3, 255}, Rgba{4, 5, 6, 255}};
  p.pixels() = {0, 1};
  p.info.transparency = 1;
  Image rgba = imaging::convert(p, Mode::RGBA);
  EXPECT_EQ(std::vector<uint8_t>(rgba.pixels().begin(), rgba.pixels().end()),
            (std::vector<uint8_t>{1, 2, 3, 255, 4, 5, 6, 0}));
  EXPECT_FALSE(rgba.info.transparency);
}

TEST(Convert, IndicesBeyondAShortPaletteMatchPillow) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  Image p(Mode::P, 3, 1);
  p.palette = {Rgba{10, 20, 30, 255}, Rgba{40, 50, 60, 255}};
  p.pixels() = {0, 5, 200};
  for (Mode to : {Mode::L, Mode::RGBA}) {
    Image theirs = pillow(std::string("out = ins[0].convert('") + mode_name(to) + "')", {&p});
    EXPECT_EQ(test::max_difference(imaging::convert(p, to), theirs), 0) << mode_name(to);
  }
}

TEST(Convert, SameModeIsAPlainCopy) {
  Image in = test::random_image(Mode::RGB, 5, 5, 3);
  in.info.adoption =
      Adoption{std::make_shared<const std::string>("jpeg bytes"), "JPEG", std::nullopt};
  Image out = imaging::convert(in, Mode::RGB);
  EXPECT_EQ(out.pixels(), in.pixels());
  ASSERT_TRUE(out.info.adoption);
  EXPECT_TRUE(out.info.adoption->bytes);
}

TEST(Convert, NewPixelsDropTheAdoptedEncoding) {
  Image in = test::random_image(Mode::RGBA, 5, 5, 3);
  in.info.adoption =
      Adoption{std::make_shared<const std::string>("png bytes"), "PNG", std::nullopt};
  in.info.exif = "Exif";
  for (Mode to : {Mode::RGB, Mode::P}) {
    Image out = imaging::convert(in, to);
    EXPECT_FALSE(out.info.adoption) << mode_name(to);
    EXPECT_EQ(out.info.exif, "Exif") << mode_name(to);
  }
}

TEST(Convert, RejectsBadColourCounts) {
  Image in(Mode::RGB, 2, 2);
  EXPECT_THROW(imaging::convert(in, Mode::P, 0), ValueError);
  EXPECT_THROW(imaging::convert(in, Mode::P, 257), ValueError);
}

}  // namespace
}  // namespace img_util
