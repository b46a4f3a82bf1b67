// Every format and mode written and read back; WebP and BMP specifics; our files in Pillow.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"

namespace img_util::test {
namespace {

using imaging::encode;

struct RoundTrip {
  const char* format;
  Mode in;
  Mode out;
  double max_diff;  // mean absolute difference per byte; 0 = exact
};

const RoundTrip kRoundTrips[] = {
    {"JPEG", Mode::L, Mode::L, 4},      {"JPEG", Mode::RGB, Mode::RGB, 4},
    {"PNG", Mode::L, Mode::L, 0},       {"PNG", Mode::LA, Mode::LA, 0},
    {"PNG", Mode::RGB, Mode::RGB, 0},   {"PNG", Mode::RGBA, Mode::RGBA, 0},
    {"PNG", Mode::P, Mode::P, 0},       {"GIF", Mode::P, Mode::P, 0},
    {"WEBP", Mode::RGB, Mode::RGB, 6},  {"WEBP", Mode::RGBA, Mode::RGBA, 6},
    {"WEBP", Mode::L, Mode::RGB, -1},   {"BMP", Mode::RGB, Mode::RGB, 0},
    {"BMP", Mode::RGBA, Mode::RGBA, 0}, {"BMP", Mode::L, Mode::L, 0},
    {"BMP", Mode::P, Mode::P, 0},       {"BMP", Mode::LA, Mode::RGBA, -1},
};

class FormatRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(FormatRoundTrip, ReadsBackWhatWasWritten) {
  const RoundTrip& c = GetParam();
  Image src = pattern(c.in, 45, 31);
  auto im = Image::open_bytes(encode(src, c.format, with_quality(92)), "rt");
  EXPECT_EQ(im->info.format, c.format);
  EXPECT_EQ(im->mode(), c.out);
  EXPECT_EQ(im->width(), 45);
  EXPECT_EQ(im->height(), 31);
  im->load();
  EXPECT_EQ(im->mode(), c.out);
  if (c.max_diff == 0) {
    EXPECT_EQ(im->pixels(), src.pixels());
    if (c.in == Mode::P) {
      EXPECT_EQ(im->palette, src.palette);
    }
  } else if (c.max_diff > 0) {
    EXPECT_LT(mean_abs_diff(*im, src), c.max_diff);
  }
}

INSTANTIATE_TEST_SUITE_P(All, FormatRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) {
                           return std::string(info.param.format) + mode_name(info.param.in);
                         });

// Thin and one-pixel images go through every encoder and decoder at their size.
TEST(FormatEdges, OnePixelAndOneLineImages) {
  for (const RoundTrip& c : kRoundTrips)
    for (auto [w, h] : {std::pair{1, 1}, std::pair{1, 7}, std::pair{7, 1}}) {
      SCOPED_TRACE(std::string(c.format) + mode_name(c.in) + " " + std::to_string(w) + "x" +
                   std::to_string(h));
      auto im = Image::open_bytes(encode(pattern(c.in, w, h), c.format), "edge");
      im->load();
      EXPECT_EQ(im->width(), w);
      EXPECT_EQ(im->height(), h);
    }
}

TEST(Webp, QualityChangesTheSizeAndMetadataTravels) {
  Image src = pattern(Mode::RGB, 64, 64);
  EXPECT_LT(encode(src, "WEBP", with_quality(10)).size(), encode(src, "WEBP").size());
  src.info.exif = exif_with_orientation(1);
  src.info.icc = tiny_rgb_icc();
  imaging::EncodeOptions opts = with_exif();
  std::string file = encode(src, "WEBP", opts);
  auto im = Image::open_bytes(file, "m.webp");
  EXPECT_EQ(im->info.exif, src.info.exif);
  EXPECT_TRUE(Image::open_bytes(encode(src, "WEBP"), "n.webp")->info.exif.empty());
  EXPECT_EQ(im->info.icc, src.info.icc);
  im->load();
  EXPECT_LT(mean_abs_diff(*im, src), 6);
}

TEST(Bmp, ReadsSixteenBitAndTopDownRows) {
  // 2x2, 16-bit 5-5-5, stored top-down (negative height).
  std::string h = "BM";
  auto put = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) h += static_cast<char>(v >> (8 * i));
  };
  put(14 + 40 + 8, 4), put(0, 4), put(54, 4);
  put(40, 4), put(2, 4), put(uint32_t(-2), 4), put(1, 2), put(16, 2), put(0, 4);
  put(8, 4), put(0, 4), put(0, 4), put(0, 4), put(0, 4);
  put(0x7C00, 2), put(0x03E0, 2);  // red, green
  put(0x001F, 2), put(0x7FFF, 2);  // blue, white
  auto im = Image::open_bytes(h, "t.bmp");
  ASSERT_EQ(im->mode(), Mode::RGB);
  const std::vector<uint8_t> expected = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  EXPECT_EQ(im->pixels(), expected);
}

// Our files must open in the reference library: one run of it over a file of each kind.
TEST(Oracle, EveryWrittenFileOpensInPillow) {
  ScratchDir dir;
  std::string list;
  for (const RoundTrip& c : kRoundTrips) {
    Image src = pattern(c.in, 21, 13);
    std::string name = std::string(c.format) + mode_name(c.in);
    std::string path = dir / name;
    std::ofstream(path, std::ios::binary) << encode(src, c.format);
    list += path + " " + c.format + " 21 13\n";
  }
  imaging::EncodeOptions anim;
  anim.save_all = true;
  anim.loop = 0;
  anim.duration = 100;
  anim.optimize = true;
  anim.append_images = {std::make_shared<Image>(pattern(Mode::P, 21, 13, 8))};
  std::ofstream(dir / "anim", std::ios::binary) << encode(pattern(Mode::P, 21, 13), "GIF", anim);
  list += dir / "anim" + " GIF 21 13 2\n";
  std::ofstream(dir / "list") << list;

  const char* script =
      "import sys\n"
      "from PIL import Image\n"
      "bad = []\n"
      "for line in open(sys.argv[1]):\n"
      "    f = line.split()\n"
      "    im = Image.open(f[0]); im.load()\n"
      "    ok = im.format == f[1] and im.size == (int(f[2]), int(f[3]))\n"
      "    if len(f) > 4:\n"
      "        ok = ok and im.n_frames == int(f[4]) and im.info.get('loop') == 0\n"
      "        for i in range(im.n_frames): im.seek(i); im.load()\n"
      "    if not ok: bad.append(line.strip())\n"
      "print('BAD' if bad else 'OK', bad)\n";
  std::ofstream(dir / "check.py") << script;
  std::string cmd = "/usr/bin/python3 " + (dir / "check.py") + " " + (dir / "list") + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string output;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) output += buf;
  pclose(p);
  EXPECT_EQ(output.substr(0, 2), "OK") << output;
}

}  // namespace
}  // namespace img_util::test
