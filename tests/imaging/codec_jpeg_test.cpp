// JPEG: round trips, refused modes, DCT-scaled decoding, EXIF orientation and metadata.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "imaging/codec_util.hpp"
#include "imaging/codecs/codecs.hpp"
#include "imaging/imaging.hpp"
#include "imaging/libjpeg_file.hpp"
#include "imaging/pillow_oracle.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

using imaging::encode;
using imaging::EncodeOptions;

TEST(Jpeg, RoundTripKeepsModeSizeAndLooks) {
  for (Mode mode : {Mode::L, Mode::RGB}) {
    SCOPED_TRACE(mode_name(mode));
    Image src = pattern(mode, 48, 32);
    auto im = Image::open_bytes(encode(src, "JPEG", with_quality(95)), "x.jpg");
    EXPECT_EQ(im->info.format, "JPEG");
    EXPECT_EQ(im->mode(), mode);
    EXPECT_EQ(im->width(), 48);
    EXPECT_EQ(im->height(), 32);
    im->load();
    EXPECT_LT(mean_abs_diff(src, *im), 3.0);
  }
}

TEST(Jpeg, RefusesPaletteAndAlphaModes) {
  for (Mode mode : {Mode::P, Mode::LA, Mode::RGBA}) {
    try {
      encode(pattern(mode, 4, 4), "JPEG");
      ADD_FAILURE() << mode_name(mode) << " was written";
    } catch (const ImageError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("cannot write mode ") + mode_name(mode) + " as JPEG");
    }
  }
}

TEST(Jpeg, QualityAndOptimizeChangeTheSize) {
  Image src = pattern(Mode::RGB, 64, 64);
  auto q75 = encode(src, "JPEG");
  EXPECT_EQ(q75, encode(src, "JPEG", with_quality(75)));  // 75 is the default
  EXPECT_LT(encode(src, "JPEG", with_quality(20)).size(), q75.size());
  EXPECT_LT(encode(src, "JPEG", optimized()).size(), q75.size());
}

// An RGB image as a progressive JPEG, whose later scans are read only once decoding starts.
std::string progressive_jpeg(const Image& im) {
  return libjpeg_file(im.width(), im.height(), 3, JCS_RGB, true, [&](int y) { return im.row(y); });
}

TEST(Jpeg, DctScaledDecodeIsTheSmallestSizeStillAtLeastTheHint) {
  std::string data = encode(pattern(Mode::RGB, 400, 300), "JPEG");
  struct Case {
    ReduceHint hint;
    int w, h;
  };
  const Case cases[] = {
      {{0, 0}, 400, 300},   {{200, 150}, 200, 150}, {{199, 0}, 200, 150}, {{201, 0}, 400, 300},
      {{100, 75}, 100, 75}, {{50, 37}, 50, 38},     {{1, 1}, 50, 38},     {{0, 40}, 100, 75},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.hint.min_width) + "x" + std::to_string(c.hint.min_height));
    auto im = Image::open_bytes(data, "x.jpg");
    EXPECT_EQ(im->width(), 400);
    im->load(c.hint);
    EXPECT_EQ(im->width(), c.w);
    EXPECT_EQ(im->height(), c.h);
    EXPECT_EQ(im->pixels().size(), size_t(c.w) * c.h * 3);
  }
}

// A progressive file may scale by any eighth (its time is in reading coefficients, not in
// the transform); a sequential one only by the eighths with vector code: 1, 2 and 4.
TEST(Jpeg, ProgressiveFilesScaleByAnyEighth) {
  const Image src = pattern(Mode::RGB, 400, 300);
  struct Case {
    bool progressive;
    ReduceHint hint;
    int w, h;
  };
  const Case cases[] = {
      {true, {300, 225}, 300, 225},  {true, {301, 0}, 350, 263},  {true, {150, 0}, 150, 113},
      {false, {300, 225}, 400, 300}, {false, {150, 0}, 200, 150},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.progressive ? "progressive " : "sequential ") +
                 std::to_string(c.hint.min_width) + "x" + std::to_string(c.hint.min_height));
    auto im =
        Image::open_bytes(c.progressive ? progressive_jpeg(src) : encode(src, "JPEG"), "x.jpg");
    im->load(c.hint);
    EXPECT_EQ(im->width(), c.w);
    EXPECT_EQ(im->height(), c.h);
    EXPECT_LT(mean_abs_diff(*im, imaging::resize(src, c.w, c.h)), 6.0);
  }
}

// A 32x16 image, left half red and right half blue, stored with orientation 6 (turn clockwise
// to view): upright it is 16x32, red on top.
TEST(Jpeg, ExifOrientationIsAppliedAndReset) {
  Image src(Mode::RGB, 32, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) {
      uint8_t* p = src.row(y) + 3 * x;
      p[0] = x < 16 ? 255 : 0;
      p[2] = x < 16 ? 0 : 255;
    }
  src.info.exif = exif_with_orientation(6);
  auto im = Image::open_bytes(encode(src, "JPEG", with_exif(95)), "rot.jpg");
  EXPECT_EQ(im->width(), 16);
  EXPECT_EQ(im->height(), 32);
  EXPECT_EQ(imaging::exif_orientation(im->info.exif), 1);
  im->load();
  EXPECT_EQ(im->width(), 16);
  EXPECT_EQ(im->height(), 32);
  const uint8_t* top = im->row(4) + 3 * 8;
  const uint8_t* bottom = im->row(28) + 3 * 8;
  EXPECT_GT(top[0], 200);
  EXPECT_LT(top[2], 50);
  EXPECT_LT(bottom[0], 50);
  EXPECT_GT(bottom[2], 200);

  // A reduction hint speaks of the upright image: 4x8 upright is a quarter of the stored 32x16.
  auto reduced = Image::open_bytes(encode(src, "JPEG", with_exif(95)), "rot.jpg");
  reduced->load({4, 8});
  EXPECT_EQ(reduced->width(), 4);
  EXPECT_EQ(reduced->height(), 8);
}

// Source 3x2 "abc/def" under each orientation, as a viewer shows it.
TEST(Orientation, AllEightTurnThePixelsUpright) {
  Image src(Mode::L, 3, 2);
  const char* abc = "abcdef";
  for (int i = 0; i < 6; ++i) src.pixels()[i] = static_cast<uint8_t>(abc[i]);
  const char* expected[] = {"abc/def",  "cba/fed",  "fed/cba",  "def/abc",
                            "ad/be/cf", "da/eb/fc", "fc/eb/da", "cf/be/ad"};
  for (int o = 1; o <= 8; ++o) {
    Image out = imaging::codec::apply_orientation(src, o);
    std::string grid;
    for (int y = 0; y < out.height(); ++y) {
      if (y) grid += '/';
      for (int x = 0; x < out.width(); ++x) grid += static_cast<char>(out.row(y)[x]);
    }
    EXPECT_EQ(grid, expected[o - 1]) << "orientation " << o;
  }
}

TEST(Exif, OrientationReadAndReset) {
  for (int o = 1; o <= 8; ++o) {
    std::string e = exif_with_orientation(o);
    EXPECT_EQ(imaging::exif_orientation(e), o);
    EXPECT_EQ(imaging::exif_orientation(std::string("Exif\0\0", 6) + e), o);
    EXPECT_EQ(imaging::exif_orientation(imaging::exif_with_orientation_1(e)), 1);
  }
  EXPECT_EQ(imaging::exif_orientation(""), 1);
  EXPECT_EQ(imaging::exif_orientation("MM\0*garbage"), 1);
  std::string cut = exif_with_orientation(6).substr(0, 15);
  EXPECT_EQ(imaging::exif_orientation(cut), 1);
  EXPECT_EQ(imaging::exif_with_orientation_1(cut), cut);
}

TEST(Jpeg, IccIsKeptAndExifOnlyWhenAsked) {
  Image src = pattern(Mode::RGB, 16, 16);
  src.info.exif = exif_with_orientation(1) + "more exif";
  src.info.icc = std::string(70000, 'i');  // spans two APP2 segments
  auto kept = Image::open_bytes(encode(src, "JPEG"), "k.jpg");
  EXPECT_TRUE(kept->info.exif.empty());
  EXPECT_EQ(kept->info.icc, src.info.icc);
  auto asked = Image::open_bytes(encode(src, "JPEG", with_exif()), "e.jpg");
  EXPECT_EQ(asked->info.exif, src.info.exif);
  auto dropped = Image::open_bytes(encode(src, "JPEG", without_metadata()), "d.jpg");
  EXPECT_TRUE(dropped->info.exif.empty());
  EXPECT_TRUE(dropped->info.icc.empty());
}

// A solid CMYK JPEG as print software writes it (inverted, with the Adobe marker libjpeg adds).
std::string cmyk_jpeg(int w, int h, const unsigned char ink[4]) {
  std::vector<unsigned char> row(static_cast<size_t>(w) * 4);
  for (int x = 0; x < w; ++x) std::copy(ink, ink + 4, &row[x * 4]);
  return libjpeg_file(w, h, 4, JCS_CMYK, false, [&](int) { return row.data(); });
}

TEST(Jpeg, CmykBecomesRgb) {
  const unsigned char cyan[4] = {0, 255, 255, 255};    // stored inverted: full cyan, no key
  const unsigned char grey[4] = {255, 255, 255, 128};  // half key
  struct Case {
    const unsigned char* ink;
    Rgba rgb;
  };
  for (const auto& c : {Case{cyan, {0, 255, 255, 255}}, Case{grey, {128, 128, 128, 255}}}) {
    auto im = Image::open_bytes(cmyk_jpeg(16, 16, c.ink), "cmyk.jpg");
    EXPECT_EQ(im->mode(), Mode::RGB);
    const uint8_t* p = im->row(8) + 3 * 8;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[i], c.rgb[i], 3) << "band " << i;
  }
}

// Decoding straight into the resampler gives what decoding whole and then resizing gives, on
// one thread (small images) and two (a megapixel and up), and falls back to that where rows
// cannot go straight through: a turned JPEG, a PNG. The opened image stays undecoded.
TEST(DecodeResized, EqualsDecodingWholeThenResizing) {
  Image turned = random_image(Mode::RGB, 320, 160, 5);
  turned.info.exif = exif_with_orientation(6);
  const unsigned char ink[4] = {30, 200, 90, 160};
  const std::string big = encode(random_image(Mode::RGB, 1100, 960, 1), "JPEG", with_quality(90));
  struct Case {
    const char* what;
    std::string data;
    int w, h;
    ReduceHint hint;
  };
  const Case cases[] = {
      {"rgb, two threads", big, 500, 400, {}},
      {"rgb, two threads, DCT-scaled", big, 130, 100, {260, 200}},
      {"truncated, two threads", big.substr(0, big.size() / 2), 333, 290, {}},
      {"grey", encode(random_image(Mode::L, 300, 200, 2), "JPEG"), 120, 80, {}},
      {"one axis", encode(random_image(Mode::RGB, 300, 200, 3), "JPEG"), 300, 77, {}},
      {"cmyk", cmyk_jpeg(64, 64, ink), 20, 20, {}},
      {"turned upright first", encode(turned, "JPEG", with_exif()), 50, 100, {}},
      {"png", encode(random_image(Mode::RGB, 200, 100, 4), "PNG"), 50, 25, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto im = Image::open_bytes(c.data, "x");
    Image got = imaging::decode_resized(*im, c.w, c.h, c.hint);
    EXPECT_FALSE(im->loaded());
    auto whole = Image::open_bytes(c.data, "x");
    whole->load(c.hint);
    Image want = imaging::resize(*whole, c.w, c.h);
    EXPECT_EQ(got.mode(), want.mode());
    EXPECT_EQ(got.width(), c.w);
    EXPECT_EQ(got.height(), c.h);
    EXPECT_EQ(got.pixels(), want.pixels());
    EXPECT_EQ(got.info.exif, want.info.exif);
  }
}

// A failure on the decoder's thread reaches the caller as the decoder's own error: here a
// broken second scan header of a progressive JPEG, met once decoding has begun.
TEST(DecodeResized, ACorruptJpegFailsWithTheDecodersErrorNamingTheFile) {
  const std::string data = progressive_jpeg(random_image(Mode::RGB, 1100, 960, 6));
  const size_t second_scan = data.find("\xFF\xDA", data.find("\xFF\xDA") + 2);
  ASSERT_NE(second_scan, std::string::npos);
  const std::string broken = data.substr(0, second_scan) + std::string("\xFF\xDA\x00\x02", 4);
  ASSERT_NO_THROW(Image::open_bytes(broken, "bad.jpg"));
  auto im = Image::open_bytes(broken, "bad.jpg");
  try {
    imaging::decode_resized(*im, 300, 200);
    FAIL() << "no error";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("'bad.jpg'"), std::string::npos) << e.what();
  }
}

TEST(Jpeg, GarbageAfterTheHeaderIsAnImageErrorNamingTheFile) {
  std::string data = encode(pattern(Mode::RGB, 16, 16), "JPEG");
  size_t sos = data.find("\xFF\xDA");
  ASSERT_NE(sos, std::string::npos);
  std::string broken = data.substr(0, sos) + std::string("\xFF\xDA\x00\x02", 4);
  try {
    Image::open_bytes(broken, "bad.jpg")->load();
    FAIL() << "no error";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("'bad.jpg'"), std::string::npos) << e.what();
  }
}

// Where the scan data of a JPEG begins: just past its first scan header.
size_t scan_data_start(const std::string& jpeg) {
  const size_t sos = jpeg.find("\xFF\xDA");
  if (sos == std::string::npos) return std::string::npos;
  return sos + 2 + (static_cast<uint8_t>(jpeg[sos + 2]) << 8 | static_cast<uint8_t>(jpeg[sos + 3]));
}

struct CoverCase {
  const char* what;
  std::string file;
  std::string refusal;  // empty: decodes at full size
};

// A Huffman-coded scan spends at least a bit on every 8x8 block, so a whole file, however flat,
// holds that much. A large picture whose scan data could not draw an eighth of it at that rate
// is refused before anything is allocated; from an eighth on it decodes as far as it goes.
TEST(Jpeg, ScanDataTooShortForALargePictureIsRefused) {
  // 2400x2400 with 4:2:0 chroma: 90,000 + 2 x 22,500 blocks, an eighth of a bit each is 2,110
  // bytes (rounded up).
  const Image flat(Mode::RGB, 2400, 2400, {90, 140, 200, 255});
  const std::string baseline = encode(flat, "JPEG");
  const std::string progressive = libjpeg_file(
      2400, 2400, 3, JCS_RGB, true, [&](int y) { return flat.row(y); },
      [](jpeg_compress_struct& c) { c.optimize_coding = TRUE; });
  const size_t start = scan_data_start(baseline);
  ASSERT_NE(start, std::string::npos);
  std::string claim = encode(pattern(Mode::RGB, 16, 16), "JPEG");
  const size_t sof = claim.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  claim.replace(sof + 5, 4, std::string("\x34\x40\x34\x40", 4));  // 13376 x 13376
  const std::string small = encode(pattern(Mode::RGB, 256, 192), "JPEG");

  const CoverCase cases[] = {
      {"a whole flat picture", baseline, ""},
      {"a whole flat progressive picture", progressive, ""},
      {"an eighth of a bit a block", baseline.substr(0, start + 2110), ""},
      {"a byte less", baseline.substr(0, start + 2109),
       "JPEG data of 2109 bytes cannot cover 2400x2400 pixels; too little of the image to "
       "decode in 'x.jpg'"},
      {"a small picture without scan data", small.substr(0, scan_data_start(small)), ""},
  };
  for (const CoverCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto im = Image::open_bytes(c.file, "x.jpg");
    try {
      im->load();
      EXPECT_EQ(c.refusal, "") << "decoded";
      EXPECT_EQ(im->pixels().size(), static_cast<size_t>(im->width()) * im->height() * 3);
    } catch (const ImageError& e) {
      EXPECT_EQ(std::string(e.what()), c.refusal);
    }
  }
  // The shape of the hostile files: a few hundred bytes claiming 13376x13376 pixels.
  try {
    Image::open_bytes(claim, "claim.jpg")->load();
    ADD_FAILURE() << "decoded";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot cover 13376x13376 pixels; too little of the "
                                         "image to decode in 'claim.jpg'"),
              std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace img_util::test
