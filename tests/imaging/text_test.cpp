// Text rendering against the host's image library with its shaping layout: the same coverage
// masks, offsets and drawn pixels (both shape with HarfBuzz and FriBidi and draw with FreeType
// with the same hinting, so we expect exact equality).
#include "imaging/text.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "img_util/errors.hpp"
#include "support/literal_ops.hpp"

namespace img_util::imaging {
namespace {

const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* kWqy = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
const char* kPython = "/usr/bin/python3";

bool have(const char* path) { return std::filesystem::exists(path); }

std::u32string u32(const std::string& utf8) {
  std::u32string out;
  EXPECT_TRUE(decode_utf8(utf8, out)) << utf8;
  return out;
}

// Runs a Python script with the host's image library; returns its standard output.
std::string python(const std::string& script) {
  // One script file per process: ctest runs the cases of this suite side by side.
  std::string path =
      ::testing::TempDir() + "/img_util_text_oracle_" + std::to_string(getpid()) + ".py";
  std::ofstream(path) << script;
  std::string out;
  FILE* p = popen((std::string(kPython) + " " + path).c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Pillow with its shaping layout engine, as the host has it.
bool have_pillow() {
  static const bool ok =
      have(kPython) &&
      python("import PIL.features\nprint(PIL.features.check('raqm'))\n") == "True\n";
  return ok;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) s += digits[b >> 4], s += digits[b & 15];
  return s;
}

struct MaskCase {
  const char* font;
  int size;
  const char* text;
};

class TextMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(TextMaskTest, MatchesTheHostLibrarysLayout) {
  const MaskCase& c = GetParam();
  if (!have(c.font)) GTEST_SKIP() << c.font << " is not installed";
  if (!have_pillow()) GTEST_SKIP() << "python3-pil with its shaping layout is not installed";
  std::string script =
      "from PIL import ImageFont, Image\n"
      "f = ImageFont.truetype(" +
      std::string("'") + c.font + "', " + std::to_string(c.size) +
      ", layout_engine=ImageFont.Layout.RAQM)\n"
      "m, off = f.getmask2(bytes.fromhex('" +
      hex({c.text, c.text + strlen(c.text)}) +
      "').decode(), 'L', start=(0, 0))\n"
      "im = Image.Image()._new(m)\n"
      "print(im.size[0], im.size[1], off[0], off[1], im.tobytes().hex())\n";
  std::istringstream oracle(python(script));
  int w = -1, h = -1, dx = 0, dy = 0;
  std::string pixels;
  oracle >> w >> h >> dx >> dy >> pixels;
  ASSERT_GE(w, 0) << "oracle failed for " << c.text;

  Font font(c.font, c.size);
  TextMask mask = font.render_line(u32(c.text));
  EXPECT_EQ(mask.width, w);
  EXPECT_EQ(mask.height, h);
  EXPECT_EQ(mask.dx, dx);
  EXPECT_EQ(mask.dy, dy);
  EXPECT_EQ(hex(mask.coverage), pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Fonts, TextMaskTest,
    ::testing::Values(
        MaskCase{kDejaVu, 36, "Hello, World"}, MaskCase{kDejaVu, 36, "AV"},
        MaskCase{kDejaVu, 20, "jW Tj."}, MaskCase{kDejaVu, 12, "ff ij //"},
        MaskCase{kDejaVu, 57, "Qg_"}, MaskCase{kDejaVu, 36, "x"},
        MaskCase{kDejaVu, 36, "\xe6\xb0\xb4\xe5\x8d\xb0"},  // no glyphs: boxes
        MaskCase{kDejaVu, 30, "  spaced  "}, MaskCase{kWqy, 36, "\xe6\xb0\xb4\xe5\x8d\xb0 test"},
        MaskCase{kWqy, 13, "\xe7\x89\x88\xe6\x9d\x83"},
        // Shaping: kerning pairs, joined Arabic, right-to-left runs among
        // left-to-right ones and the reverse, brackets, digits, combining marks.
        MaskCase{kDejaVu, 36, "Tw"}, MaskCase{kDejaVu, 36, "Te"}, MaskCase{kDejaVu, 40, "WAVE To"},
        MaskCase{kDejaVu, 25, "office fly"}, MaskCase{kDejaVu, 36, "مرحبا بالعالم"},
        MaskCase{kDejaVu, 36, "Shop متجر 2026"}, MaskCase{kDejaVu, 30, "متجر (Shop) ٢٠٢٦!"},
        MaskCase{kDejaVu, 28, "שלום [עולם] 123 "}, MaskCase{kDejaVu, 31, "e\u0301te\u0301 A\u030a"},
        MaskCase{kWqy, 36, "《水印》，Test 2026"}, MaskCase{kWqy, 36, "水印 AV Tw"}));

TEST(DrawText, MatchesTheHostLibraryOnTransparentAndOpaqueLayers) {
  if (!have(kDejaVu)) GTEST_SKIP();
  if (!have_pillow()) GTEST_SKIP() << "python3-pil with its shaping layout is not installed";
  // Two overlapping draws on a layer that is half transparent white, half opaque grey.
  std::string script =
      "from PIL import ImageFont, Image, ImageDraw\n"
      "f = ImageFont.truetype('" +
      std::string(kDejaVu) +
      "', 24, layout_engine=ImageFont.Layout.RAQM)\n"
      "im = Image.new('RGBA', (90, 50), (255, 255, 255, 0))\n"
      "im.paste((90, 90, 90, 255), (0, 25, 90, 50))\n"
      "d = ImageDraw.Draw(im)\n"
      "d.text((-3, 10), 'Wave', fill='#ff000080', font=f)\n"
      "d.text((5, 16), 'Wave', fill='#ff000080', font=f)\n"
      "print(im.tobytes().hex())\n";
  std::string expected = python(script);
  ASSERT_FALSE(expected.empty());
  expected.pop_back();

  Image im(Mode::RGBA, 90, 50, {255, 255, 255, 0});
  for (int y = 25; y < 50; ++y)
    for (int x = 0; x < 90; ++x) {
      uint8_t* p = im.row(y) + x * 4;
      p[0] = p[1] = p[2] = 90, p[3] = 255;
    }
  Font font(kDejaVu, 24);
  draw_text(im, -3, 10, font, U"Wave", {255, 0, 0, 128});
  draw_text(im, 5, 16, font, U"Wave", {255, 0, 0, 128});
  EXPECT_EQ(hex(im.pixels()), expected);
}

TEST(DrawText, SeveralLinesAreStackedByTheLineSpacing) {
  if (!have(kDejaVu)) GTEST_SKIP();
  Font font(kDejaVu, 36);
  TextStamp stamp = font.render(U"ab\ncd");
  ASSERT_EQ(stamp.lines.size(), 2u);
  TextMask second = font.render_line(U"cd");
  EXPECT_EQ(stamp.lines[1].dy, second.dy + font.line_spacing());
  EXPECT_EQ(font.line_spacing(), font.ascent() + 4);  // "A" sits on the baseline
}

// Bytes of a watermark text that are not UTF-8 come as characters with no glyph at all.
TEST(Font, ACharacterWithNoGlyphIsDrawnAsTheMissingGlyphBox) {
  if (!have(kDejaVu)) GTEST_SKIP();
  Font font(kDejaVu, 30);
  TextMask none = font.render_line(std::u32string{U'a', kNoCharacter, U'b'});
  TextMask han = font.render_line(U"a\u6c34b");  // DejaVu Sans has no Han glyphs
  EXPECT_EQ(none.width, han.width);
  EXPECT_EQ(none.height, han.height);
  EXPECT_EQ(none.coverage, han.coverage);
  EXPECT_GT(none.width, font.render_line(U"ab").width);
}

TEST(Font, UnreadableFileNamesTheFile) {
  try {
    Font font("/nonexistent/font.ttf", 20);
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_EQ(e.filename(), "/nonexistent/font.ttf");
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  std::string not_a_font =
      ::testing::TempDir() + "/img_util_not_a_font_" + std::to_string(getpid()) + ".ttf";
  std::ofstream(not_a_font) << "plain text";
  try {
    Font font(not_a_font, 20);
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_NE(std::string(e.what()).find("unknown file format"), std::string::npos) << e.what();
  }
  EXPECT_THROW(Font(kDejaVu, -3), ValueError);
}

TEST(Font, TextBeyondThePixelLimitIsRefused) {
  if (!have(kDejaVu)) GTEST_SKIP();
  const int64_t limit = pixel_limit();
  set_pixel_limit(10000);
  Font font(kDejaVu, 200);
  EXPECT_THROW(font.render_line(U"too wide"), ValueError);
  EXPECT_NO_THROW(Font(kDejaVu, 20).render_line(U"ok"));
  set_pixel_limit(limit);
}

TEST(DecodeUtf8, RejectsMalformedInput) {
  std::u32string out;
  EXPECT_TRUE(decode_utf8("a\xc3\xa9\xe6\xb0\xb4\xf0\x9f\x98\x80", out));
  EXPECT_EQ(out, (std::u32string{U'a', 0xE9, 0x6C34, 0x1F600}));
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "a\x80"})
    EXPECT_FALSE(decode_utf8(bad, out)) << bad;
}

}  // namespace
}  // namespace img_util::imaging
