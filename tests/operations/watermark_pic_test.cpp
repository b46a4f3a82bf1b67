// The picture watermark's steps: scaling rule, placement, alpha scaling and blending.
#include "operations/watermark_pic.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "imaging/imaging.hpp"
#include "imaging/text.hpp"
#include "img_util/errors.hpp"
#include "support/fixtures.hpp"
#include "support/literal_ops.hpp"

namespace img_util::watermark {
namespace {

struct PlaceCase {
  const char* markpos;
  int mark_x, mark_y;
  int64_t margin_x, margin_y;
  Placement expected;
};

class PlaceTest : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(PlaceTest, OnAn800x600Image) {
  const PlaceCase& c = GetParam();
  EXPECT_EQ(place(c.markpos, 800, 600, c.mark_x, c.mark_y, c.margin_x, c.margin_y), c.expected)
      << c.markpos;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, PlaceTest,
    ::testing::Values(PlaceCase{"", 300, 150, 0, 0, {500, 450}},  // the scaled logo, default place
                      PlaceCase{"rightbottom", 300, 150, 5, 7, {495, 443}},
                      PlaceCase{"lefttop", 300, 150, 10, 20, {10, 20}},
                      PlaceCase{"center", 300, 150, 0, 0, {250, 225}},
                      PlaceCase{
                          "center", 301, 151, 0, 0, {249, 224}},  // odd slack: half a pixel up-left
                      PlaceCase{"center", 300, 150, 10, 20, {240, 205}},
                      PlaceCase{"", 100, 50, 0, 0, {700, 550}},  // not scaled
                      PlaceCase{"leftbottom", 100, 50, 3, 4, {3, 546}},
                      PlaceCase{"righttop", 100, 50, 3, 4, {697, 4}},
                      PlaceCase{"", 1000, 700, 0, 0, {-200, -100}},  // larger than the image
                      PlaceCase{"center", 1001, 701, 0, 0, {-101, -51}}));

TEST(Place, UnknownOrWrongCaseNamesFail) {
  for (const char* bad : {"Center", "RIGHTBOTTOM", "middle", "left top", " center"}) {
    try {
      place(bad, 800, 600, 10, 10, 0, 0);
      ADD_FAILURE() << bad;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
  }
}

TEST(ScaledSize, FollowsTheLargerFactor) {
  EXPECT_EQ(scaled_size(800, 600, 100, 50, 4), (std::pair<int, int>{300, 150}));  // 3.0 beats 2.0
  EXPECT_EQ(scaled_size(800, 600, 100, 100, 4), (std::pair<int, int>{200, 200}));
  EXPECT_EQ(scaled_size(1000, 10, 7, 3, 2.5), (std::pair<int, int>{400, 171}));  // truncated
  EXPECT_EQ(scaled_size(800, 600, 100, 50, -4), std::nullopt);
  EXPECT_THROW(scaled_size(10, 10, 1000, 1000, 1e9), ValueError);
}

TEST(ScaleAlpha, MultipliesAndTruncates) {
  Image mark(Mode::RGBA, 4, 1);
  const uint8_t alphas[4] = {255, 200, 1, 0};
  for (int x = 0; x < 4; ++x) mark.row(0)[x * 4 + 3] = alphas[x], mark.row(0)[x * 4] = 77;
  Image half = scale_alpha(mark, 0.5, "logo.png");
  const uint8_t expected[4] = {127, 100, 0, 0};
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(half.row(0)[x * 4 + 3], expected[x]);
    EXPECT_EQ(half.row(0)[x * 4], 77);
  }
  try {
    scale_alpha(Image(Mode::RGB, 2, 2), 0.5, "logo.jpg");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("logo.jpg"), std::string::npos);
  }
}

TEST(BlendPicture, OnlyTheOverlapChangesAndNegativePositionsClip) {
  Image im = test::make_photo(20, 10, Mode::RGBA);
  Image mark(Mode::RGBA, 8, 6, {255, 0, 0, 255});
  Image out = blend_picture(im, mark, {-3, -2});
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 20; ++x) {
      const uint8_t* p = out.row(y) + x * 4;
      if (x < 5 && y < 4) {
        EXPECT_EQ(p[0], 255);
        EXPECT_EQ(p[1], 0);
        EXPECT_EQ(p[3], 255);
      } else {
        EXPECT_EQ(std::memcmp(p, im.row(y) + x * 4, 4), 0) << x << "," << y;
      }
    }
  // Entirely outside: nothing changes.
  EXPECT_TRUE(blend_picture(im, mark, {20, 0}).pixels() == im.pixels());
  EXPECT_TRUE(blend_picture(im, mark, {-8, -6}).pixels() == im.pixels());
}

TEST(BlendPicture, LargeOverlapsGiveTheSameAsThePlainFormula) {
  Image im = test::make_photo(1200, 1000, Mode::RGBA);
  Image mark = test::make_photo(1100, 960, Mode::RGBA);
  for (int y = 0; y < 960; ++y)
    for (int x = 0; x < 1100; x += 7)
      mark.row(y)[x * 4 + 3] = static_cast<uint8_t>((x + y) % 3 == 0 ? 0 : 255);
  Image out = blend_picture(im, mark, {70, 30});
  Image want = im;
  for (int y = 30; y < 990; ++y)
    for (int x = 70; x < 1170; ++x) {
      uint8_t* o = want.row(y) + x * 4;
      const uint8_t* m = mark.row(y - 30) + (x - 70) * 4;
      for (int c = 0; c < 4; ++c) o[c] = imaging::blend255(m[3], o[c], m[c]);
    }
  EXPECT_TRUE(out.pixels() == want.pixels());
}

// Blending and palette scaling as the host library does them.
TEST(BlendPicture, MatchesTheHostLibrary) {
  if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP();
  std::string dir = ::testing::TempDir();
  Image im = test::make_photo(40, 30, Mode::RGBA);
  Image mark = test::make_photo(13, 9, Mode::RGBA);
  for (int y = 0; y < 9; ++y) mark.row(y)[3] = static_cast<uint8_t>(y * 30);
  Image pal(Mode::P, 7, 5);
  for (int k = 0; k < 35; ++k) pal.pixels()[k] = static_cast<uint8_t>(k);

  auto dump = [&](const Image& i, const std::string& name) {
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(i.pixels().data()),
               static_cast<std::streamsize>(i.pixels().size()));
  };
  dump(im, "wp_im.raw");
  dump(mark, "wp_mark.raw");
  dump(pal, "wp_pal.raw");
  std::string script = dir + "/wp.py";
  std::ofstream(script)
      << "from PIL import Image\n"
         "d = '"
      << dir
      << "/'\n"
         "im = Image.frombytes('RGBA', (40, 30), open(d + 'wp_im.raw', 'rb').read())\n"
         "mark = Image.frombytes('RGBA', (13, 9), open(d + 'wp_mark.raw', 'rb').read())\n"
         "out = b''\n"
         "for pos in [(5, 4), (-4, -3), (33, 25)]:\n"
         "    layer = Image.new('RGBA', im.size, (0, 0, 0, 0))\n"
         "    layer.paste(mark, pos)\n"
         "    out += Image.composite(layer, im, layer).tobytes()\n"
         "p = Image.frombytes('P', (7, 5), open(d + 'wp_pal.raw', 'rb').read())\n"
         "out += p.resize((17, 3), Image.LANCZOS).tobytes()\n"
         "from PIL import ImageEnhance\n"
         "for f in (0.37, 0.5, 0.98):\n"
         "    m = mark.copy()\n"
         "    m.putalpha(ImageEnhance.Brightness(m.split()[3]).enhance(f))\n"
         "    out += m.tobytes()\n"
         "open(d + 'wp_out.raw', 'wb').write(out)\n";
  if (std::system(("/usr/bin/python3 " + script + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no python3-pil";
  std::string expected = test::read_file(dir + "/wp_out.raw");
  std::string got;
  for (Placement pos : {Placement{5, 4}, Placement{-4, -3}, Placement{33, 25}}) {
    Image out = blend_picture(im, mark, pos);
    got.append(reinterpret_cast<const char*>(out.pixels().data()), out.pixels().size());
  }
  Image scaled = imaging::resize(pal, 17, 3);  // palette pictures are never filtered
  got.append(reinterpret_cast<const char*>(scaled.pixels().data()), scaled.pixels().size());
  for (double f : {0.37, 0.5, 0.98}) {
    Image faded = scale_alpha(mark, f, "mark");
    got.append(reinterpret_cast<const char*>(faded.pixels().data()), faded.pixels().size());
  }
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace
}  // namespace img_util::watermark
