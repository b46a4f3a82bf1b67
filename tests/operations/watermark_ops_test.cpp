// The two watermark operations as the pipelines call them: configuration keys, counting,
// images passed in or opened, and their failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "imaging/color.hpp"
#include "imaging/imaging.hpp"
#include "imaging/text.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "operations/watermark_common.hpp"
#include "operations/watermark_pic.hpp"
#include "operations/watermark_text_layout.hpp"
#include "support/fixtures.hpp"
#include "support/literal_ops.hpp"

namespace img_util {
namespace {

const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

class WatermarkWord : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kDejaVu)) GTEST_SKIP() << "DejaVu Sans is not installed";
    cfg = test::base_config(dir.str(), 2);
    cfg.set("masktext", "AB");
    cfg.set("fontttf", kDejaVu);
  }
  int64_t count() const { return cfg.at("result").at("maskcount").as_int(); }
  ImagePtr photo(int w, int h, Mode mode = Mode::RGBA) {
    Image im = test::make_photo(w, h, Mode::RGBA);
    if (mode == Mode::RGB) {
      Image rgb(Mode::RGB, w, h);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) std::copy_n(im.row(y) + x * 4, 3, rgb.row(y) + x * 3);
      return std::make_shared<Image>(rgb);
    }
    return std::make_shared<Image>(im);
  }
  // What the operation should give: the tile computation with the defaults spelled out.
  Image expected(const Image& im, const std::u32string& text, double size, Rgba ink) {
    imaging::Font font(kDejaVu, size);
    return watermark::stamp_text(im, font.render(text), ink,
                                 watermark::text_grid(im.width(), im.height(), text.size(), size));
  }

  test::TempDir dir;
  Value cfg;
  IMAGES images;
};

TEST_F(WatermarkWord, DefaultsGiveBlackAtHalfAlphaAndCount) {
  ImagePtr im = photo(600, 400, Mode::RGB);
  ImagePtr out = images.watermark_word("/no/such/file.jpg", cfg, im);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->mode(), Mode::RGBA);
  EXPECT_EQ(out->width(), 600);
  EXPECT_EQ(out->height(), 400);
  EXPECT_TRUE(out->pixels() == expected(*im, U"AB", 36, {0, 0, 0, 128}).pixels());
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(im->mode(), Mode::RGB);  // the caller's image is left alone
}

TEST_F(WatermarkWord, KeepsMetadataAndTheChosenQualityButNotTheAdoptedEncoding) {
  ImagePtr im = photo(50, 40, Mode::RGB);
  im->info.exif = "Exif-bytes";
  im->info.icc = "icc-profile";
  im->info.adoption = Adoption{std::make_shared<const std::string>("jpeg bytes"), "JPEG", 61};
  ImagePtr out = images.watermark_word("x.jpg", cfg, im);
  EXPECT_EQ(out->info.exif, "Exif-bytes");
  EXPECT_EQ(out->info.icc, "icc-profile");
  ASSERT_TRUE(out->info.adoption);
  EXPECT_EQ(out->info.adoption->quality, 61);
  EXPECT_EQ(out->info.adoption->bytes, nullptr);
}

TEST_F(WatermarkWord, KeysChangeSizeColourAndText) {
  cfg.set("fontsize", 20);
  cfg.set("rgba", "rgba(255, 0, 0, 90)");
  cfg.set("masktext", Bytes{"\xe2\x98\x85 img"});  // UTF-8 bytes
  ImagePtr im = photo(90, 70);
  ImagePtr out = images.watermark_word("x.png", cfg, im, false);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->pixels() == expected(*im, U"\u2605 img", 20, {255, 0, 0, 90}).pixels());
  EXPECT_EQ(count(), 0);  // iscount false
}

// A file that is no image is nothing to stamp; one that cannot be read at all is an error
// naming it. Neither counts.
TEST_F(WatermarkWord, NoImageGivesNoneAnUnreadableFileFails) {
  std::string bad = dir / "broken.jpg";
  test::write_file(bad, "not an image");
  EXPECT_EQ(images.watermark_word(bad, cfg), nullptr);
  EXPECT_THROW(images.watermark_word(dir / "missing.jpg", cfg), OSError);
  EXPECT_EQ(count(), 0);
}

TEST_F(WatermarkWord, FailuresPropagateAndCountNothing) {
  ImagePtr im = photo(40, 30);
  struct Bad {
    const char* key;
    Value value;
  };
  auto expect_throw = [&](const char* why, auto&& check) {
    SCOPED_TRACE(why);
    check();
    EXPECT_EQ(count(), 0);
  };
  expect_throw("empty text", [&] {
    cfg.set("masktext", "");
    EXPECT_THROW(images.watermark_word("x.png", cfg, im), ValueError);
    cfg.set("masktext", "AB");
  });
  expect_throw("bad colour", [&] {
    cfg.set("rgba", "blurple");
    try {
      images.watermark_word("x.png", cfg, im);
      ADD_FAILURE();
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("blurple"), std::string::npos);
    }
    cfg.erase("rgba");
  });
  expect_throw("missing font file", [&] {
    cfg.set("fontttf", dir / "none.ttf");
    EXPECT_THROW(images.watermark_word("x.png", cfg, im), OSError);
    cfg.set("fontttf", kDejaVu);
  });
  expect_throw("missing keys", [&] {
    cfg.erase("masktext");
    EXPECT_THROW(images.watermark_word("x.png", cfg, im), KeyError);
    cfg.set("masktext", "AB");
    cfg.erase("fontttf");
    EXPECT_THROW(images.watermark_word("x.png", cfg, im), KeyError);
    cfg.set("fontttf", kDejaVu);
  });
  expect_throw("text that is no text", [&] {
    cfg.set("masktext", 42);
    EXPECT_THROW(images.watermark_word("x.png", cfg, im), TypeError);
    cfg.set("masktext", "AB");
  });
  cfg.erase("result");
  EXPECT_THROW(images.watermark_word("x.png", cfg, im), KeyError);
  EXPECT_TRUE(images.watermark_word("x.png", cfg, im, false));
}

TEST_F(WatermarkWord, OpensTheFileWhenNoImageIsPassedAndTakesEveryMode) {
  std::string path = test::write_photo(dir / "a.png", 150, 100, Mode::RGB);
  ImagePtr decoded = Image::open(path);
  decoded->load();
  ImagePtr out = images.watermark_word(path, cfg);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->pixels() == expected(*decoded, U"AB", 36, {0, 0, 0, 128}).pixels());
  // A palette frame (as the GIF pipeline passes them) and a grey image go through RGBA.
  for (Mode mode : {Mode::P, Mode::L, Mode::LA}) {
    auto im = std::make_shared<Image>(imaging::convert(*photo(90, 60), mode));
    ImagePtr got = images.watermark_word("frame.gif", cfg, im);
    ASSERT_TRUE(got) << mode_name(mode);
    EXPECT_TRUE(got->pixels() ==
                expected(imaging::convert(*im, Mode::RGBA), U"AB", 36, {0, 0, 0, 128}).pixels())
        << mode_name(mode);
  }
  EXPECT_EQ(count(), 4);
}

TEST_F(WatermarkWord, TransparentAreasStayTransparentBesideTheText) {
  ImagePtr im = photo(120, 120);
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 60; ++x) im->row(y)[x * 4 + 3] = 0;
  ImagePtr out = images.watermark_word("x.png", cfg, im);
  int clear = 0, inked = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 60; ++x) (out->row(y)[x * 4 + 3] == 0 ? clear : inked)++;
  EXPECT_GT(clear, 0);
  EXPECT_GT(inked, 0);
  for (int y = 0; y < 120; ++y)
    for (int x = 60; x < 120; ++x) ASSERT_EQ(out->row(y)[x * 4 + 3], im->row(y)[x * 4 + 3]);
}

class WatermarkPic : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg = test::base_config(dir.str(), 3);
    cfg.set("maskimgPath", dir / "missing-logo.png");
  }
  test::TempDir dir;
  Value cfg;
  IMAGES images;
};

TEST_F(WatermarkPic, NoImageGivesNoneButAMissingFileOrLogoFails) {
  test::write_file(dir / "text.jpg", "not an image");
  EXPECT_EQ(images.watermark_pic(dir / "text.jpg", cfg), nullptr);
  EXPECT_THROW(images.watermark_pic(dir / "missing.jpg", cfg), OSError);
  auto im = std::make_shared<Image>(test::make_photo(30, 20, Mode::RGBA));
  EXPECT_THROW(images.watermark_pic("x.jpg", cfg, im), OSError);
  cfg.erase("maskimgPath");
  EXPECT_THROW(images.watermark_pic("x.jpg", cfg, im), KeyError);
  EXPECT_EQ(cfg.at("result").at("maskcount").as_int(), 0);
}

// An RGBA logo of 100 x 50 with an alpha ramp, written as PNG.
std::string write_logo(const test::TempDir& dir, Mode mode = Mode::RGBA,
                       const char* name = "logo.png") {
  Image logo(Mode::RGBA, 100, 50);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 100; ++x) {
      uint8_t* p = logo.row(y) + x * 4;
      p[0] = static_cast<uint8_t>(x * 2), p[1] = 40, p[2] = static_cast<uint8_t>(y * 5);
      p[3] = static_cast<uint8_t>(55 + 2 * x);
    }
  std::string path = dir / name;
  imaging::save(mode == Mode::RGBA ? logo : imaging::convert(logo, mode), path);
  return path;
}

TEST_F(WatermarkPic, ScaledLogoGoesToTheBottomRightAndCounts) {
  cfg.set("maskimgPath", write_logo(dir));
  cfg.set("maskscale", 4);
  auto im = std::make_shared<Image>(test::make_photo(800, 600, Mode::RGB));
  ImagePtr out = images.watermark_pic("x.jpg", cfg, im);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->mode(), Mode::RGBA);
  EXPECT_EQ(out->width(), 800);
  EXPECT_EQ(out->height(), 600);
  EXPECT_EQ(cfg.at("result").at("maskcount").as_int(), 1);
  // The scaled logo covers (500, 450) .. (800, 600); nothing outside it changed.
  ImagePtr logo = Image::open(dir / "logo.png");
  Image scaled = imaging::resize(*logo, 300, 150);
  Image want = watermark::blend_picture(watermark::to_rgba(*im), scaled, {500, 450});
  EXPECT_TRUE(out->pixels() == want.pixels());
}

TEST_F(WatermarkPic, OpacityHalvesAlphaOnlyStrictlyBetweenZeroAnd99) {
  cfg.set("maskimgPath", write_logo(dir));
  cfg.set("markpos", "lefttop");
  auto im = std::make_shared<Image>(test::make_photo(120, 80, Mode::RGBA));
  ImagePtr logo = Image::open(dir / "logo.png");
  logo->load();
  struct Row {
    Value opacity;
    double factor;
  };
  for (const Row& r :
       {Row{50, 0.5}, Row{50.0, 0.5}, Row{99, 1}, Row{100, 1}, Row{0, 1}, Row{Value(), 1}}) {
    SCOPED_TRACE(py_repr(r.opacity));
    if (r.opacity.is_none())
      cfg.erase("maskopacity");
    else
      cfg.set("maskopacity", r.opacity);
    Image mark = r.factor == 1 ? Image(*logo) : watermark::scale_alpha(*logo, r.factor, "logo");
    Image want = watermark::blend_picture(*im, mark, {0, 0});
    ImagePtr out = images.watermark_pic("x.png", cfg, im, false);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->pixels() == want.pixels());
  }
}

TEST_F(WatermarkPic, FailuresNameTheCause) {
  auto im = std::make_shared<Image>(test::make_photo(120, 80, Mode::RGB));
  cfg.set("maskimgPath", write_logo(dir, Mode::RGB, "flat.png"));
  cfg.set("maskopacity", 50);
  EXPECT_THROW(images.watermark_pic("x.png", cfg, im), ValueError);
  cfg.erase("maskopacity");
  EXPECT_TRUE(images.watermark_pic("x.png", cfg, im, false));
  cfg.set("markpos", "Center");
  EXPECT_THROW(images.watermark_pic("x.png", cfg, im), ValueError);
  cfg.set("markpos", 3);
  EXPECT_THROW(images.watermark_pic("x.png", cfg, im), ValueError);
  EXPECT_EQ(cfg.at("result").at("maskcount").as_int(), 0);
}

TEST_F(WatermarkPic, PaletteLogoIsConvertedAndLargeLogosClip) {
  cfg.set("maskimgPath", write_logo(dir, Mode::P, "pal.png"));
  auto im = std::make_shared<Image>(test::make_photo(60, 30, Mode::RGB));
  ImagePtr out =
      images.watermark_pic("x.png", cfg, im, false);  // 100 x 50 on 60 x 30: at (-40, -20)
  ASSERT_TRUE(out);
  ImagePtr logo = Image::open(dir / "pal.png");
  logo->load();
  Image want =
      watermark::blend_picture(watermark::to_rgba(*im), watermark::to_rgba(*logo), {-40, -20});
  EXPECT_TRUE(out->pixels() == want.pixels());
}

// The whole operation against the host library doing the same steps.
TEST_F(WatermarkPic, MatchesTheHostLibrary) {
  if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP();
  std::string logo = write_logo(dir);
  std::string photo = test::write_photo(dir / "photo.png", 173, 121, Mode::RGB);
  struct Row {
    double scale, opacity;
    const char* markpos;
    int mx, my;
  };
  const Row rows[] = {{4, 50, "", 0, 0},
                      {2.5, 30, "center", 3, 4},
                      {0, 0, "leftbottom", 7, 2},
                      {7, 98, "righttop", 0, 9}};
  std::string script = dir / "pic.py";
  std::ofstream py(script);
  py << "from PIL import Image, ImageEnhance\n"
        "import sys\n"
        "im = Image.open('"
     << photo
     << "')\n"
        "out = b''\n"
        "for scale, opacity, markpos, mx, my in ";
  py << "[";
  for (const Row& r : rows)
    py << "(" << r.scale << ", " << r.opacity << ", '" << r.markpos << "', " << r.mx << ", " << r.my
       << "),";
  py << "]:\n"
        "    mark = Image.open('"
     << logo
     << "')\n"
        "    wx, wy = mark.size\n"
        "    ix, iy = im.size\n"
        "    if scale:\n"
        "        s = max(iy / (scale * wy), ix / (scale * wx))\n"
        "        if s > 0:\n"
        "            mark = mark.resize((int(wx * s), int(wy * s)), resample=Image.LANCZOS)\n"
        "            wx, wy = mark.size\n"
        "    o = opacity / 100.0\n"
        "    if 0 < o < 0.99:\n"
        "        a = ImageEnhance.Brightness(mark.split()[3]).enhance(o)\n"
        "        mark.putalpha(a)\n"
        "    base = im.convert('RGBA')\n"
        "    layer = Image.new('RGBA', base.size, (0, 0, 0, 0))\n"
        "    pos = {'': (ix - wx - mx, iy - wy - my), 'leftbottom': (mx, iy - wy - my),\n"
        "           'righttop': (ix - wx - mx, my), 'center': ((ix - wx) // 2 - mx, (iy - wy) // 2 "
        "- my)}[markpos]\n"
        "    layer.paste(mark, pos)\n"
        "    out += Image.composite(layer, base, layer).tobytes()\n"
        "open(sys.argv[1], 'wb').write(out)\n";
  py.close();
  std::string result = dir / "pic.raw";
  if (std::system(("/usr/bin/python3 " + script + " " + result + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no python3-pil";
  std::string expected = test::read_file(result), got;
  for (const Row& r : rows) {
    cfg.set("maskimgPath", logo);
    cfg.set("maskscale", r.scale);
    cfg.set("maskopacity", r.opacity);
    cfg.set("markpos", r.markpos);
    cfg.set("marginx", r.mx);
    cfg.set("marginy", r.my);
    ImagePtr out = images.watermark_pic(photo, cfg, nullptr, false);
    ASSERT_TRUE(out);
    got.append(reinterpret_cast<const char*>(out->pixels().data()), out->pixels().size());
  }
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace
}  // namespace img_util
