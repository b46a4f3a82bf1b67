#include "imaging/resample.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "imaging/imaging.hpp"
#include "pillow_oracle.hpp"

namespace img_util {
namespace {

using imaging::resample::compute_coeffs;
using imaging::resample::kPrecisionBits;
using imaging::resample::lanczos;
using imaging::resample::to_fixed;
using test::pillow;

TEST(Lanczos, IsOneAtZeroAndVanishesAtIntegersAndOutsideTheSupport) {
  EXPECT_DOUBLE_EQ(lanczos(0.0), 1.0);
  for (double x : {-2.0, -1.0, 1.0, 2.0}) EXPECT_NEAR(lanczos(x), 0.0, 1e-15) << x;
  EXPECT_EQ(lanczos(3.0), 0.0);
  EXPECT_EQ(lanczos(-3.5), 0.0);
  EXPECT_GT(lanczos(0.5), 0.5);
  EXPECT_LT(lanczos(1.5), 0.0);  // the negative lobe
}

struct AxisCase {
  int in, out;
};

class Coefficients : public testing::TestWithParam<AxisCase> {};

// Each fixed-point row is the rounded double row, whose weights sum to 1: the integer sum is
// 1 << 22 up to half a unit per weight.
TEST_P(Coefficients, RowsSumToOneInFixedPointAndStayInsideTheInput) {
  const auto [in, out] = GetParam();
  const auto c = compute_coeffs(in, 0.0, double(in), out);
  const auto f = to_fixed(c);
  ASSERT_EQ(f.first.size(), size_t(out));
  for (int i = 0; i < out; ++i) {
    double sum = 0;
    int64_t fixed_sum = 0;
    for (int k = 0; k < c.ksize; ++k) {
      sum += c.weights[size_t(i) * c.ksize + k];
      fixed_sum += f.k[size_t(i) * c.ksize + k];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12) << "row " << i;
    EXPECT_LE(std::llabs(fixed_sum - (int64_t(1) << kPrecisionBits)), c.count[i] / 2 + 1)
        << "row " << i;
    EXPECT_GE(c.first[i], 0);
    EXPECT_GT(c.count[i], 0);
    EXPECT_LE(c.first[i] + c.count[i], in);
    EXPECT_LE(c.count[i], c.ksize);
  }
}

INSTANTIATE_TEST_SUITE_P(Axes, Coefficients,
                         testing::Values(AxisCase{100, 10}, AxisCase{1600, 800}, AxisCase{37, 11},
                                         AxisCase{10, 37}, AxisCase{5, 1}, AxisCase{1, 7},
                                         AxisCase{3000, 7}));

TEST(Coefficients, SupportWidensWithTheReduction) {
  EXPECT_EQ(compute_coeffs(100, 0, 100, 50).ksize, 2 * 6 + 1);
  EXPECT_EQ(compute_coeffs(100, 0, 100, 200).ksize, 2 * 3 + 1);
  EXPECT_EQ(compute_coeffs(300, 0, 300, 100).ksize, 2 * 9 + 1);
}

// Nine rows: the vector kernel takes four at a time, then the rest one by one.
TEST(HorizontalPass, VectorAndPortableKernelsAgree) {
  using imaging::resample::horizontal_pass;
  using imaging::resample::horizontal_pass_portable;
  for (int bands : {1, 2, 3, 4})
    for (auto [in_w, out_w] : {std::pair{1, 1}, {2, 5}, {7, 3}, {37, 11}, {300, 299}, {1000, 97}}) {
      Image src = test::random_image(bands == 3   ? Mode::RGB
                                     : bands == 4 ? Mode::RGBA
                                     : bands == 2 ? Mode::LA
                                                  : Mode::L,
                                     in_w, 9, unsigned(in_w * 31 + bands));
      const auto c = to_fixed(compute_coeffs(in_w, 0.0, double(in_w), out_w));
      const size_t stride = size_t(out_w) * bands;
      std::vector<uint8_t> fast(stride * 9), slow(stride * 9);
      horizontal_pass(src.pixels().data(), src.stride(), bands, 0, 9, c, fast.data(), stride);
      horizontal_pass_portable(src.pixels().data(), src.stride(), bands, 0, 9, c, slow.data(),
                               stride);
      EXPECT_EQ(fast, slow) << bands << " bands, " << in_w << " -> " << out_w;
    }
}

// The vector kernel keeps its sums in 32-bit lanes that may wrap on the way: odd and even tap
// counts, rows that end inside a vector, strong reductions with many taps, and enlargements.
TEST(VerticalRow, VectorAndPortableKernelsAgree) {
  using imaging::resample::vertical_row;
  using imaging::resample::vertical_row_portable;
  for (auto [in_h, out_h] : {std::pair{7, 3}, {61, 40}, {40, 97}, {300, 7}, {6000, 1}})
    for (size_t n : {size_t{1}, size_t{31}, size_t{32}, size_t{100}}) {
      Image src = test::random_image(Mode::L, int(n), in_h, unsigned(in_h * 13 + n));
      const auto c = to_fixed(compute_coeffs(in_h, 0.0, double(in_h), out_h),
                              imaging::resample::Pass::vertical);
      std::vector<uint8_t> fast(n), slow(n);
      std::vector<int32_t> acc(n);
      for (int yy = 0; yy < out_h; ++yy) {
        std::vector<const uint8_t*> rows;
        for (int t = 0; t < c.count[yy]; ++t) rows.push_back(src.row(c.first[yy] + t));
        const int32_t* k = &c.k[size_t(yy) * c.ksize];
        vertical_row(rows.data(), c.count[yy], k, n, fast.data(), acc.data());
        vertical_row_portable(rows.data(), c.count[yy], k, n, slow.data(), acc.data());
        ASSERT_EQ(fast, slow) << in_h << " -> " << out_h << ", row " << yy << ", " << n << " bytes";
      }
    }
}

// Rows pushed one at a time through the streaming resizer give the whole-image resize's bytes:
// shrinking, enlarging, one axis only, and filters taller than the image.
TEST(RowResizer, GivesTheBytesOfTheWholeImageResize) {
  struct Shape {
    int w, h, to_w, to_h;
  };
  for (Mode mode : {Mode::L, Mode::RGB})
    for (auto [w, h, to_w, to_h] : {Shape{97, 61, 40, 25},
                                    {97, 61, 97, 20},
                                    {97, 61, 30, 61},
                                    {40, 30, 97, 61},
                                    {300, 7, 11, 3},
                                    {5, 200, 5, 1},
                                    {640, 480, 199, 149}}) {
      SCOPED_TRACE(std::string(mode_name(mode)) + " " + std::to_string(w) + "x" +
                   std::to_string(h) + " -> " + std::to_string(to_w) + "x" + std::to_string(to_h));
      Image src = test::random_image(mode, w, h, unsigned(w * 7 + h));
      const Image whole = imaging::resize(src, to_w, to_h);
      // One row at a time, then in bands as a decoder hands them over (sizes that do not
      // divide the rows the resizer resamples together).
      for (int band : {1, 3, 16}) {
        imaging::resample::RowResizer resizer(w, h, mode, to_w, to_h);
        for (int y = 0; y < h; y += band)
          resizer.push_rows(src.row(y), src.stride(), std::min(band, h - y));
        EXPECT_TRUE(resizer.finished());
        const Image got = std::move(resizer).take();
        EXPECT_EQ(got.pixels(), whole.pixels()) << "bands of " << band;
      }
    }
}

// A decoder that stops early leaves the rows it never gave black, at the full size.
TEST(RowResizer, RowsNeverMadeAreBlack) {
  Image src = test::random_image(Mode::RGB, 60, 40, 5u);
  imaging::resample::RowResizer resizer(60, 40, Mode::RGB, 30, 20);
  resizer.push_rows(src.row(0), src.stride(), 20);
  EXPECT_FALSE(resizer.finished());
  const Image got = std::move(resizer).take();
  ASSERT_EQ(got.width(), 30);
  ASSERT_EQ(got.height(), 20);
  EXPECT_NE(got.row(0)[0] | got.row(0)[1] | got.row(0)[2], 0);
  EXPECT_EQ(std::count(got.row(19), got.row(19) + got.stride(), 0), 90);
}

struct ResizeCase {
  Mode mode;
  int w, h, to_w, to_h;
};

std::string Name(const testing::TestParamInfo<ResizeCase>& p) {
  const auto& c = p.param;
  return std::string(mode_name(c.mode)) + "_" + std::to_string(c.w) + "x" + std::to_string(c.h) +
         "_to_" + std::to_string(c.to_w) + "x" + std::to_string(c.to_h);
}

class ResizeMatchesPillow : public testing::TestWithParam<ResizeCase> {};

// Pillow's Image.resize with its Lanczos filter is the reference; the arithmetic is the
// same, so the bytes must be identical.
TEST_P(ResizeMatchesPillow, ByteForByte) {
  if (!test::pillow_available()) GTEST_SKIP() << "python3-pil is not installed";
  const auto& c = GetParam();
  Image in = test::random_image(c.mode, c.w, c.h, 7u + unsigned(c.w));
  // Smooth areas next to noise: exercises both the lobes and the clamping.
  for (int y = 0; y < c.h / 2; ++y)
    for (size_t i = 0; i < in.stride() / 2; ++i) in.row(y)[i] = uint8_t(i * 4 + y);
  Image ours = imaging::resize(in, c.to_w, c.to_h);
  Image theirs = pillow("out = ins[0].resize((" + std::to_string(c.to_w) + ", " +
                            std::to_string(c.to_h) + "), Image.LANCZOS)",
                        {&in});
  ASSERT_EQ(ours.mode(), theirs.mode());
  EXPECT_EQ(test::max_difference(ours, theirs), 0)
      << "psnr " << test::psnr(ours, theirs) << "\nours:\n"
      << test::hex_grid(ours) << "Pillow:\n"
      << test::hex_grid(theirs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResizeMatchesPillow,
    testing::Values(ResizeCase{Mode::L, 37, 23, 11, 7}, ResizeCase{Mode::RGB, 37, 23, 11, 7},
                    ResizeCase{Mode::RGBA, 37, 23, 11, 7}, ResizeCase{Mode::LA, 37, 23, 11, 7},
                    ResizeCase{Mode::RGB, 20, 20, 41, 13}, ResizeCase{Mode::RGBA, 16, 9, 40, 30},
                    ResizeCase{Mode::RGB, 64, 48, 64, 20}, ResizeCase{Mode::RGB, 50, 30, 17, 30},
                    ResizeCase{Mode::P, 33, 21, 10, 9}, ResizeCase{Mode::P, 5, 4, 12, 11},
                    ResizeCase{Mode::RGB, 1, 1, 3, 2}, ResizeCase{Mode::L, 9, 1, 1, 1},
                    // Large enough to be split across threads.
                    ResizeCase{Mode::RGB, 900, 700, 301, 203},
                    ResizeCase{Mode::RGBA, 700, 900, 350, 451}),
    Name);

TEST(Resize, SameSizeIsACopyThatKeepsTheAdoptedEncoding) {
  Image in = test::random_image(Mode::RGB, 4, 3, 1);
  in.info.adoption = Adoption{std::make_shared<const std::string>("x"), "JPEG", std::nullopt};
  Image out = imaging::resize(in, 4, 3);
  EXPECT_EQ(out.pixels(), in.pixels());
  ASSERT_TRUE(out.info.adoption);
  EXPECT_TRUE(out.info.adoption->bytes);
}

TEST(Resize, NewPixelsDropTheAdoptedEncodingButKeepMetadata) {
  Image in = test::random_image(Mode::RGB, 8, 8, 1);
  in.info.format = "JPEG";
  in.info.exif = "Exif";
  in.info.icc = "icc";
  in.info.adoption = Adoption{std::make_shared<const std::string>("x"), "JPEG", 70};
  Image out = imaging::resize(in, 4, 4);
  EXPECT_EQ(out.info.exif, "Exif");
  EXPECT_EQ(out.info.icc, "icc");
  EXPECT_FALSE(out.info.adoption);
}

TEST(Resize, RejectsEmptyTargets) {
  Image in(Mode::RGB, 4, 4);
  EXPECT_THROW(imaging::resize(in, 0, 4), ValueError);
  EXPECT_THROW(imaging::resize(in, 4, -1), ValueError);
}

TEST(Resize, FullyTransparentPixelsDoNotBleedColour) {
  // Premultiplied resampling: a transparent red neighbour must not tint opaque blue.
  Image in(Mode::RGBA, 8, 1);
  for (int x = 0; x < 8; ++x) {
    uint8_t* p = in.row(0) + x * 4;
    if (x < 4)
      p[0] = 255, p[3] = 0;
    else
      p[2] = 255, p[3] = 255;
  }
  Image out = imaging::resize(in, 2, 1);
  EXPECT_EQ(out.row(0)[4 + 0], 0);
  EXPECT_EQ(out.row(0)[4 + 2], 255);
}

}  // namespace
}  // namespace img_util
