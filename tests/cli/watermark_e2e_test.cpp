// Whole runs of the command-line tool in the two watermark modes, on JPEG and PNG sources,
// with and without compression, and a second run that the processed marker turns away.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "imaging/imaging.hpp"
#include "imaging/text.hpp"
#include "img_util/image.hpp"
#include "operations/watermark_common.hpp"
#include "operations/watermark_pic.hpp"
#include "operations/watermark_text_layout.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct E2eCase {
  int maskmode;
  bool iscompress;
};

class WatermarkRun : public ::testing::TestWithParam<E2eCase> {
 protected:
  void SetUp() override {
    if (!fs::exists(kDejaVu)) GTEST_SKIP() << "DejaVu Sans is not installed";
    site = tmp / "site";
    fs::create_directories(site);
    jpg = write_photo(site + "/photo.jpg", 320, 240, Mode::RGB, 92);
    png = write_photo(site + "/shot.png", 200, 150, Mode::RGBA);
    logo = tmp / "logo.png";
    Image mark(Mode::RGBA, 60, 30);
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 60; ++x) {
        uint8_t* p = mark.row(y) + x * 4;
        p[0] = 250, p[1] = static_cast<uint8_t>(x * 4), p[2] = 20,
        p[3] = static_cast<uint8_t>(40 + x * 3);
      }
    imaging::save(mark, logo);
  }

  Value config(const E2eCase& c) {
    Value cfg =
        parse_json(R"json({"exts": [".jpg", ".png"], "utimemode": 0, "utime": "", "isprotect": true,
        "masktext": "img_util", "fontsize": 20, "rgba": "rgba(255, 255, 255, 160)",
        "maskscale": 4, "maskopacity": 50, "markpos": "lefttop", "marginx": 5, "marginy": 6})json");
    cfg.set("folder", site);
    cfg.set("maskmode", c.maskmode);
    cfg.set("fontttf", kDejaVu);
    cfg.set("maskimgPath", logo);
    cfg.set("iscompress", c.iscompress);
    cfg.set("tmpPath", tmp / "scratch");  // trial encodings stay out of the working directory
    if (c.iscompress) cfg.set("yswidth", 160);
    return cfg;
  }

  // Runs the CLI; returns the finished configuration.
  Value run(const Value& cfg) {
    write_file(tmp / "cfg.json", to_json(cfg));
    CliResult r = run_cli({"run", tmp / "cfg.json", "--plugin-dir", tmp.plugin(), "--no-log",
                           "--report", tmp / "report.json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return parse_json(read_file(tmp / "report.json"));
  }

  // What the watermark of this mode makes of `im` (as the source decodes, before writing).
  Image watermarked(const Image& im, int maskmode) {
    if (maskmode == 2) {
      imaging::Font font(kDejaVu, 20);
      std::u32string text = U"img_util";
      return watermark::stamp_text(im, font.render(text), {255, 255, 255, 160},
                                   watermark::text_grid(im.width(), im.height(), text.size(), 20));
    }
    ImagePtr mark = Image::open(logo);
    auto size = watermark::scaled_size(im.width(), im.height(), mark->width(), mark->height(), 4);
    Image scaled = imaging::resize(*mark, size->first, size->second);
    return watermark::blend_picture(watermark::to_rgba(im),
                                    watermark::scale_alpha(scaled, 0.5, logo), {5, 6});
  }

  TempDir tmp;
  std::string site, jpg, png, logo;
};

TEST_P(WatermarkRun, StampsMarksCountsAndIsNotRepeated) {
  const E2eCase& c = GetParam();
  ImagePtr png_before = Image::open(png);
  png_before->load();
  const std::string jpg_bytes = read_file(jpg);

  Value report = run(config(c));
  EXPECT_EQ(report.at("result").at("maskcount").as_int(), 2);
  for (const std::string& f : {jpg, png}) EXPECT_EQ(tail(f), "Bmask") << f;

  ImagePtr jpg_after = Image::open(jpg);
  EXPECT_EQ(jpg_after->width(), c.iscompress ? 160 : 320);
  EXPECT_NE(read_file(jpg), jpg_bytes);
  ImagePtr png_after = Image::open(png);
  png_after->load();
  EXPECT_EQ(png_after->mode(), Mode::RGBA);
  if (!c.iscompress) {
    // Lossless output: exactly the watermark of the decoded source.
    EXPECT_TRUE(png_after->pixels() == watermarked(*png_before, c.maskmode).pixels());
  } else {
    EXPECT_EQ(png_after->width(), 160);
    EXPECT_EQ(png_after->height(), 120);
  }

  // A second watermark run leaves marked files alone.
  const std::string jpg_marked = read_file(jpg), png_marked = read_file(png);
  Value again = run(config(c));
  EXPECT_EQ(again.at("result").at("maskcount").as_int(), 0);
  EXPECT_EQ(read_file(jpg), jpg_marked);
  EXPECT_EQ(read_file(png), png_marked);
}

INSTANTIATE_TEST_SUITE_P(Modes, WatermarkRun,
                         ::testing::Values(E2eCase{2, false}, E2eCase{2, true}, E2eCase{3, false},
                                           E2eCase{3, true}),
                         [](const auto& info) {
                           return std::string(info.param.maskmode == 2 ? "Text" : "Picture") +
                                  (info.param.iscompress ? "Compressed" : "Plain");
                         });

}  // namespace
}  // namespace img_util::test
