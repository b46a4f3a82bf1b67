// The text watermark's visible-tile computation against the literal algorithm: a transparent
// layer of three times the image's size with the text drawn on the full grid, turned by -45
// degrees with nearest-neighbour sampling, composited over a canvas holding the image in its
// middle tile, and cut back to that tile.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "imaging/color.hpp"
#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"
#include "imaging/text.hpp"
#include "img_util/errors.hpp"
#include "operations/watermark_text_layout.hpp"
#include "support/fixtures.hpp"
#include "support/literal_ops.hpp"

namespace img_util::watermark {
namespace {

using imaging::Font;

const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* kWqy = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// ---- the literal algorithm, kept here as the reference ---------------------------------------

// The host library's rotate(-45) of an RGBA image, size kept, nearest neighbour, outside
// transparent: its matrix set-up and its pixel loops, step by step.
Image literal_rotate_minus_45(const Image& src) {
  const int W = src.width(), H = src.height();
  double angle = std::fmod(-45.0, 360.0) + 360.0;  // 315
  angle = -(angle * (M_PI / 180.0));
  auto round15 = [](double v) { return std::round(v * 1e15) / 1e15; };
  double m[6] = {round15(std::cos(angle)),  round15(std::sin(angle)), 0.0,
                 round15(-std::sin(angle)), round15(std::cos(angle)), 0.0};
  double cx = W / 2.0, cy = H / 2.0;
  double t2 = m[0] * -cx + m[1] * -cy + m[2], t5 = m[3] * -cx + m[4] * -cy + m[5];
  m[2] = t2 + cx, m[5] = t5 + cy;

  Image out(Mode::RGBA, W, H);
  auto copy = [&](int x, int y, int xin, int yin) {
    if (xin >= 0 && xin < W && yin >= 0 && yin < H)
      std::memcpy(out.row(y) + x * 4, src.row(yin) + xin * 4, 4);
  };
  auto fits = [&](double x, double y) {
    return std::fabs(x * m[0] + y * m[1] + m[2]) < 32768.0 &&
           std::fabs(x * m[3] + y * m[4] + m[5]) < 32768.0;
  };
  if (fits(0, 0) && fits(W, H) && fits(0, H) && fits(W, 0)) {
    auto fix = [](double v) {
      double f = v * 65536.0 + 0.5;
      return f < 0 ? static_cast<int>(std::floor(f)) : static_cast<int>(f);
    };
    int a0 = fix(m[0]), a1 = fix(m[1]), a3 = fix(m[3]), a4 = fix(m[4]);
    int a2 = fix(m[2] + m[0] * 0.5 + m[1] * 0.5), a5 = fix(m[5] + m[3] * 0.5 + m[4] * 0.5);
    for (int y = 0; y < H; ++y, a2 += a1, a5 += a4) {
      int xx = a2, yy = a5;
      for (int x = 0; x < W; ++x, xx += a0, yy += a3) copy(x, y, xx >> 16, yy >> 16);
    }
  } else {
    double xo = m[2] + m[1] * 0.5 + m[0] * 0.5, yo = m[5] + m[4] * 0.5 + m[3] * 0.5;
    auto coord = [](double v) { return v < 0.0 ? -1 : static_cast<int>(v); };
    for (int y = 0; y < H; ++y, xo += m[1], yo += m[4]) {
      double xx = xo, yy = yo;
      for (int x = 0; x < W; ++x, xx += m[0], yy += m[3]) copy(x, y, coord(xx), coord(yy));
    }
  }
  return out;
}

Image literal_watermark(const Image& rgba, const Font& font, std::u32string_view text, double size,
                        Rgba ink, int* draws = nullptr) {
  const int w = rgba.width(), h = rgba.height(), W = 3 * w, H = 3 * h;
  Image canvas(Mode::RGBA, W, H, {0, 0, 0, 0});
  for (int y = 0; y < h; ++y) std::memcpy(canvas.row(h + y) + w * 4, rgba.row(y), w * 4);
  Image layer(Mode::RGBA, W, H, {255, 255, 255, 0});
  int v = static_cast<int>(40.0 * size / 36.0);
  int step = static_cast<int>(text.size()) * v;
  int n = 0;
  for (int i = 0; i < W; i += step)
    for (int j = 0; j < H; j += 200, ++n) imaging::draw_text(layer, i, j, font, text, ink);
  if (draws) *draws = n;
  Image turned = literal_rotate_minus_45(layer);
  Image out(Mode::RGBA, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      imaging::detail::over_pixel(canvas.row(h + y) + (w + x) * 4, turned.row(h + y) + (w + x) * 4,
                                  out.row(y) + x * 4);
  return out;
}

// ---- helpers --------------------------------------------------------------------------------

// A photo-like RGBA image; `holes` makes a fully transparent band across it.
Image input(int w, int h, bool alpha, bool holes) {
  Image im = test::make_photo(w, h, Mode::RGBA);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = im.row(y) + x * 4;
      if (!alpha) p[3] = 255;
      if (holes && (x + y) % 23 < 9) p[3] = 0;
    }
  if (alpha) return im;
  Image rgb(Mode::RGB, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) std::memcpy(rgb.row(y) + x * 3, im.row(y) + x * 4, 3);
  return rgb;
}

Image as_rgba(const Image& im) {
  if (im.mode() == Mode::RGBA) return im;
  Image out(Mode::RGBA, im.width(), im.height());
  for (int y = 0; y < im.height(); ++y)
    for (int x = 0; x < im.width(); ++x) {
      std::memcpy(out.row(y) + x * 4, im.row(y) + x * 3, 3);
      out.row(y)[x * 4 + 3] = 255;
    }
  return out;
}

std::u32string u32(const std::string& s) {
  std::u32string out;
  EXPECT_TRUE(imaging::decode_utf8(s, out));
  return out;
}

// First differing pixel, for a readable failure.
std::string first_difference(const Image& a, const Image& b) {
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (std::memcmp(a.row(y) + x * 4, b.row(y) + x * 4, 4) != 0) {
        const uint8_t *p = a.row(y) + x * 4, *q = b.row(y) + x * 4;
        std::ostringstream s;
        s << "pixel (" << x << ", " << y << "): got " << int(p[0]) << "," << int(p[1]) << ","
          << int(p[2]) << "," << int(p[3]) << " expected " << int(q[0]) << "," << int(q[1]) << ","
          << int(q[2]) << "," << int(q[3]);
        return s.str();
      }
  return "";
}

// ---- the table ------------------------------------------------------------------------------

struct Case {
  int w, h;
  const char* text;
  int size;
  const char* font;
  Rgba ink;
  bool alpha, holes;
};

class StampMatchesLiteral : public ::testing::TestWithParam<Case> {};

TEST_P(StampMatchesLiteral, PixelForPixel) {
  const Case& c = GetParam();
  if (!std::filesystem::exists(c.font)) GTEST_SKIP() << c.font << " is not installed";
  Font font(c.font, c.size);
  std::u32string text = u32(c.text);
  Image im = input(c.w, c.h, c.alpha, c.holes);

  TextGrid grid = text_grid(c.w, c.h, text.size(), c.size);
  Image fast = stamp_text(im, font.render(text), c.ink, grid);
  Image literal = literal_watermark(as_rgba(im), font, text, c.size, c.ink);
  ASSERT_EQ(fast.mode(), Mode::RGBA);
  ASSERT_EQ(fast.width(), c.w);
  ASSERT_EQ(fast.height(), c.h);
  EXPECT_TRUE(fast.pixels() == literal.pixels()) << first_difference(fast, literal);
}

constexpr Rgba kGrey{0, 0, 0, 128};
INSTANTIATE_TEST_SUITE_P(
    Sizes, StampMatchesLiteral,
    ::testing::Values(
        Case{600, 400, "AB", 36, kDejaVu, kGrey, false, false},  // the grid example
        Case{1, 1, "AB", 36, kDejaVu, kGrey, false, false},      // tiny
        Case{2, 3, "x", 36, kDejaVu, {255, 0, 0, 255}, true, false},
        Case{37, 23, "Watermark", 20, kDejaVu, kGrey, false, false},  // text longer than the image
        Case{64, 64, "W", 120, kDejaVu, {0, 0, 255, 200}, true, true},  // glyph wider than the step
        Case{45, 130, "Portrait", 11, kDejaVu, {255, 255, 255, 90}, false, false},
        Case{301, 17, "jW \xc2\xa9 2024", 30, kDejaVu, kGrey, true,
             true},  // odd landscape, overlaps
        Case{250, 251, "\xe6\xb0\xb4\xe5\x8d\xb0", 48, kWqy, {200, 30, 30, 160}, false, false},
        Case{120, 90, "two\nlines", 36, kDejaVu, kGrey, true, false},
        Case{180, 140, "Shop متجر 2026", 30, kDejaVu, kGrey, true, false},     // both directions
        Case{200, 150, "Tall", 260, kDejaVu, {10, 20, 30, 77}, false, false},  // taller than a row
        Case{16000, 2, "float", 36, kDejaVu, kGrey, false, false},             // past 16.16 range
        Case{1001, 1000, "rows split", 60, kDejaVu, kGrey, true, true},        // two threads
        Case{15000, 70, "both", 36, kDejaVu, kGrey, false, false}));  // two threads, floating point

TEST(TextGrid, TheExampleGridHas138Draws) {
  TextGrid g = text_grid(600, 400, 2, 36);
  EXPECT_EQ(g.step_x, 80);
  EXPECT_EQ(g.columns(), 23);  // 0, 80, ... 1760
  EXPECT_EQ(g.rows(), 6);      // 0, 200, ... 1000
  EXPECT_EQ(g.draws(), 138);
  if (!std::filesystem::exists(kDejaVu)) GTEST_SKIP();
  int draws = 0;
  Font font(kDejaVu, 36);
  Image small = input(600, 400, false, false);
  literal_watermark(as_rgba(small), font, U"AB", 36, kGrey, &draws);
  EXPECT_EQ(draws, 138);
}

TEST(TextGrid, SpacingFollowsTheFontSize) {
  EXPECT_EQ(char_spacing(36), 40);
  EXPECT_EQ(char_spacing(20), 22);  // 22.2 truncated
  EXPECT_EQ(char_spacing(1), 1);
  EXPECT_EQ(text_grid(10, 10, 3, 20).step_x, 66);
}

TEST(TextGrid, AnEmptyTextOrNoSpacingIsAnError) {
  EXPECT_THROW(text_grid(600, 400, 0, 36), ValueError);
  EXPECT_THROW(text_grid(600, 400, 5, 0.5), ValueError);
}

TEST(LayerTurn, LargeLayersUseTheFloatingPointPath) {
  EXPECT_TRUE(LayerTurn(12000, 9000).fixed_point());
  EXPECT_FALSE(LayerTurn(48000, 6).fixed_point());
}

// The library's general rotation and compositing agree with the reference steps above.
TEST(LiteralAlgorithm, AgreesWithTheLibrarysRotateAndComposite) {
  for (auto [w, h] : {std::pair{61, 40}, std::pair{48000, 6}}) {
    Image layer = test::make_photo(w, h, Mode::RGBA);
    Image turned = literal_rotate_minus_45(layer);
    EXPECT_TRUE(imaging::rotate(layer, -45).pixels() == turned.pixels()) << w << "x" << h;
    Image under = test::make_photo(w, h, Mode::RGBA);
    Image mine(Mode::RGBA, w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        imaging::detail::over_pixel(under.row(y) + x * 4, turned.row(y) + x * 4,
                                    mine.row(y) + x * 4);
    EXPECT_TRUE(imaging::alpha_composite(under, turned).pixels() == mine.pixels()) << w << "x" << h;
  }
}

TEST(StampText, OpaqueWhereTheInputWasAndTransparentHolesStayClearOfText) {
  if (!std::filesystem::exists(kDejaVu)) GTEST_SKIP();
  Font font(kDejaVu, 36);
  imaging::TextStamp stamp = font.render(U"AB");
  TextGrid grid = text_grid(200, 120, 2, 36);

  Image opaque = stamp_text(input(200, 120, false, false), stamp, kGrey, grid);
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 200; ++x) ASSERT_EQ(opaque.row(y)[x * 4 + 3], 255);

  Image holes = input(200, 120, true, true);
  Image out = stamp_text(holes, stamp, kGrey, grid);
  LayerTurn turn(grid.layer_width, grid.layer_height);
  std::vector<int> sx(200), sy(200);
  int covered_holes = 0;
  for (int y = 0; y < 120; ++y) {
    turn.row(y + 120, 200, 200, sx.data(), sy.data());
    for (int x = 0; x < 200; ++x) {
      if (holes.row(y)[x * 4 + 3] != 0) continue;
      uint8_t a = sx[x] < 0 ? 0 : layer_alpha(grid, stamp, 128, sx[x], sy[x]);
      EXPECT_EQ(out.row(y)[x * 4 + 3], a) << x << "," << y;
      if (a) {
        ++covered_holes;
        EXPECT_EQ(out.row(y)[x * 4 + 0], 0);  // the ink's colour
      }
    }
  }
  EXPECT_GT(covered_holes, 0);
}

std::string hex_of(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) s += digits[b >> 4], s += digits[b & 15];
  return s;
}

// The same result as the host library running the literal algorithm with its shaping layout:
// Latin text with kerning pairs, Chinese, Arabic and a line that mixes both directions.
TEST(StampText, MatchesTheHostLibrary) {
  if (!std::filesystem::exists(kDejaVu) || !std::filesystem::exists(kWqy) ||
      !std::filesystem::exists("/usr/bin/python3"))
    GTEST_SKIP();
  std::string dir = ::testing::TempDir();
  struct Oracle {
    int w, h;
    bool alpha;
    const char* text;
    int size;
    const char* color;
    const char* font = kDejaVu;
  };
  for (const Oracle& o : {Oracle{61, 40, false, "Hi", 36, "#00000080"},
                          Oracle{90, 131, true, "img_util", 20, "rgba(255,0,0,90)"},
                          Oracle{300, 200, true, "Copyright", 36, "hsl(200, 80%, 40%)"},
                          Oracle{150, 110, false, "two\nlines", 24, "#fff8"},
                          Oracle{240, 170, false, "Tw AV Te", 36, "#00000080"},
                          Oracle{333, 180, true, "WAVE To", 40, "rgba(20,40,200,150)"},
                          Oracle{220, 190, false, "水印测试", 36, "#c0202090", kWqy},
                          Oracle{260, 150, true, "مرحبا بالعالم", 30, "#00000080"},
                          Oracle{310, 210, false, "Shop متجر 2026", 36, "#ffffff70"}}) {
    Image im = input(o.w, o.h, o.alpha, o.alpha);
    std::string in_path = dir + "/img_util_wm_in.raw", out_path = dir + "/img_util_wm_out.raw";
    std::ofstream(in_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(im.pixels().data()),
               static_cast<std::streamsize>(im.pixels().size()));
    std::string script = dir + "/img_util_wm.py";
    std::ofstream(script)
        << "import sys\n"
           "from PIL import Image, ImageDraw, ImageFont, features\n"
           "if not features.check('raqm'):\n"
           "    sys.exit(3)\n"
           "im = Image.frombytes('"
        << (o.alpha ? "RGBA" : "RGB") << "', (" << o.w << ", " << o.h << "), open('" << in_path
        << "', 'rb').read())\n"
           "w, h = im.size\n"
           "font = ImageFont.truetype('"
        << o.font << "', " << o.size
        << ", layout_engine=ImageFont.Layout.RAQM)\n"
           "new_img = Image.new('RGBA', (3 * w, 3 * h), (0, 0, 0, 0))\n"
           "new_img.paste(im, (w, h))\n"
           "text = bytes.fromhex('"
        << hex_of(o.text)
        << "').decode()\n"
           "rgba_image = new_img.convert('RGBA')\n"
           "overlay = Image.new('RGBA', rgba_image.size, (255, 255, 255, 0))\n"
           "d = ImageDraw.Draw(overlay)\n"
           "v = int(40 * "
        << o.size
        << " / 36)\n"
           "for i in range(0, rgba_image.size[0], len(text) * v):\n"
           "    for j in range(0, rgba_image.size[1], 200):\n"
           "        d.text((i, j), text, font=font, fill='"
        << o.color
        << "')\n"
           "overlay = overlay.rotate(-45)\n"
           "out = Image.alpha_composite(rgba_image, overlay).crop((w, h, 2 * w, 2 * h))\n"
           "open('"
        << out_path << "', 'wb').write(out.tobytes())\n";
    std::filesystem::remove(out_path);
    if (std::system(("/usr/bin/python3 " + script + " 2>/dev/null").c_str()) != 0)
      GTEST_SKIP() << "no python3-pil with its shaping layout";
    std::string expected = test::read_file(out_path);

    Font font(o.font, o.size);
    std::u32string text = u32(o.text);
    Image fast = stamp_text(im, font.render(text), imaging::parse_color(o.color),
                            text_grid(o.w, o.h, text.size(), o.size));
    ASSERT_EQ(expected.size(), fast.pixels().size());
    Image want(Mode::RGBA, o.w, o.h);
    std::memcpy(want.pixels().data(), expected.data(), expected.size());
    EXPECT_TRUE(fast.pixels() == want.pixels()) << o.text << ": " << first_difference(fast, want);
  }
}

}  // namespace
}  // namespace img_util::watermark
