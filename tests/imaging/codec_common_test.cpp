// Opening files: format detection, errors, the pixel limit, damaged and suffixed data, and the
// output format chosen by extension.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

using imaging::encode;
using imaging::format_for_path;

struct ExtCase {
  const char* path;
  const char* format;  // null: ValueError
  const char* message;
};

TEST(FormatForPath, ByExtensionInAnyCase) {
  const ExtCase cases[] = {
      {"a.jpg", "JPEG", nullptr},
      {"/x/y.JPEG", "JPEG", nullptr},
      {"b.Jpe", "JPEG", nullptr},
      {"c.jfif", "JPEG", nullptr},
      {"d.PNG", "PNG", nullptr},
      {"e.gif", "GIF", nullptr},
      {"f.webp", "WEBP", nullptr},
      {"g.BMP", "BMP", nullptr},
      {"dir.v1/h.png", "PNG", nullptr},
      {"a.xyz", nullptr, "unknown file extension: .xyz"},
      {"a.TIFF", "TIFF", nullptr},
      {"b.tif", "TIFF", nullptr},
      {"a.PCX", nullptr, "unknown file extension: .pcx"},
      {"noext", nullptr, "unknown file extension: "},
      {"dir.png/file", nullptr, "unknown file extension: "},
      {"/x/.png", nullptr, "unknown file extension: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.format) {
      EXPECT_EQ(format_for_path(c.path), c.format);
    } else {
      try {
        format_for_path(c.path);
        ADD_FAILURE() << "no error";
      } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
}

// The operations ask the format table what a format can do; the answers must be what its codec
// does: quality changes the bytes, a reduction hint the decoded size, alpha is accepted.
TEST(FormatCaps, MatchWhatTheCodecsDo) {
  const Image rgb = make_photo(64, 48, Mode::RGB);
  const Image rgba = make_photo(64, 48, Mode::RGBA);
  for (const char* format : {"JPEG", "PNG", "GIF", "WEBP", "BMP", "TIFF"}) {
    SCOPED_TRACE(format);
    const imaging::FormatCaps caps = imaging::format_caps(format);
    imaging::EncodeOptions low, high;
    low.quality = 20;
    high.quality = 90;
    EXPECT_EQ(caps.quality, encode(rgb, format, low) != encode(rgb, format, high));
    auto opened = Image::open_bytes(encode(rgb, format));
    opened->load(ReduceHint{16, 12});
    EXPECT_EQ(caps.reduces, opened->width() < 64);
    bool takes_alpha = true;
    try {
      encode(rgba, format);
    } catch (const ImageError&) {
      takes_alpha = false;
    }
    EXPECT_EQ(caps.alpha, takes_alpha);
  }
  for (const char* unknown : {"", "PCX"}) {
    const imaging::FormatCaps caps = imaging::format_caps(unknown);
    EXPECT_FALSE(caps.alpha || caps.quality || caps.animation || caps.reduces) << unknown;
  }
}

TEST(ImageOpen, MissingFileIsOSErrorWithErrno) {
  ScratchDir dir;
  std::string path = dir / "missing.jpg";
  try {
    Image::open(path);
    FAIL() << "no error";
  } catch (const ImageError&) {
    FAIL() << "not an ImageError";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_EQ(e.filename(), path);
  }
}

TEST(ImageOpen, NonImagesCannotBeIdentified) {
  ScratchDir dir;
  const std::pair<const char*, std::string> files[] = {
      {"empty.jpg", ""},
      {"text.png", "hello, this is text\n"},
      {"short.gif", "GI"},
      {"riff.webp", "RIFF\0\0\0\0WAVE"},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    std::string path = dir / name;
    write_file(path, bytes);
    try {
      Image::open(path);
      ADD_FAILURE() << "no error";
    } catch (const ImageError& e) {
      EXPECT_EQ(std::string(e.what()), "cannot identify image file '" + path + "'");
      EXPECT_EQ(e.filename(), path);
    }
  }
}

TEST(ImageOpen, DetectsByContentNotByName) {
  ScratchDir dir;
  std::string path = dir / "really_a_png.jpg";
  write_file(path, encode(pattern(Mode::RGB, 8, 6), "PNG"));
  auto im = Image::open(path);
  EXPECT_EQ(im->info.format, "PNG");
  EXPECT_EQ(im->width(), 8);
  EXPECT_EQ(im->height(), 6);
  EXPECT_FALSE(im->loaded());
}

// A header claiming 60000x60000 is refused before any pixel buffer exists.
TEST(ImageOpen, HugeHeaderIsRefusedBeforeAllocation) {
  std::string ihdr = be32(60000) + be32(60000) + std::string("\x08\x02\0\0\0", 5);
  std::string png = std::string("\x89PNG\r\n\x1A\n", 8) + png_chunk("IHDR", ihdr) +
                    png_chunk("IDAT", "") + png_chunk("IEND", "");
  // The same size patched into a real JPEG's SOF0 marker.
  std::string jpeg = encode(pattern(Mode::RGB, 16, 16), "JPEG");
  size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  jpeg.replace(sof + 5, 4, std::string("\xEA\x60\xEA\x60", 4));
  for (const auto& [name, bytes] : {std::pair{"huge.png", png}, std::pair{"huge.jpg", jpeg}}) {
    SCOPED_TRACE(name);
    try {
      Image::open_bytes(bytes, name)->load();
      ADD_FAILURE() << "no error";
    } catch (const ImageError& e) {
      EXPECT_NE(std::string(e.what()).find("exceeds the limit of 178956970 pixels"),
                std::string::npos)
          << e.what();
    }
  }
}

TEST(Image, MadeImagesObeyThePixelLimit) {
  EXPECT_THROW(Image(Mode::RGBA, 60000, 60000), ImageError);
  EXPECT_THROW(Image(Mode::L, -1, 5), ValueError);
  Image empty(Mode::RGB, 0, 0);
  EXPECT_TRUE(empty.pixels().empty());
}

struct DamageCase {
  const char* format;
  Mode mode;
};

class Damaged : public ::testing::TestWithParam<DamageCase> {};

// Bytes after the image data (our 5-byte marker) change nothing.
TEST_P(Damaged, MarkerSuffixIsIgnored) {
  auto [format, mode] = GetParam();
  std::string good = encode(pattern(mode, 40, 30), format);
  auto a = Image::open_bytes(good, "a");
  auto b = Image::open_bytes(good + "Amask", "b");
  EXPECT_EQ(a->mode(), b->mode());
  EXPECT_EQ(a->pixels(), b->pixels());
}

// Data cut short decodes as far as it goes, at full size.
TEST_P(Damaged, TruncatedDataDecodesAsFarAsItGoes) {
  auto [format, mode] = GetParam();
  std::string good = encode(pattern(mode, 256, 192), format, with_quality(95));
  auto full = Image::open_bytes(good, "full");
  auto cut = Image::open_bytes(good.substr(0, good.size() * 6 / 10), "cut");
  cut->load();
  EXPECT_EQ(cut->width(), 256);
  EXPECT_EQ(cut->height(), 192);
  // The first rows stored arrived intact (BMP stores the bottom row first).
  const int y = std::string(format) == "BMP" ? 191 : 0;
  EXPECT_EQ(std::vector<uint8_t>(full->row(y), full->row(y) + full->stride()),
            std::vector<uint8_t>(cut->row(y), cut->row(y) + cut->stride()));
}

// Every prefix of a good file either decodes or fails with ImageError; none crashes.
TEST_P(Damaged, EveryPrefixDecodesOrFailsCleanly) {
  auto [format, mode] = GetParam();
  std::string good = encode(pattern(mode, 12, 9), format);
  for (size_t n = 0; n < good.size(); n += 7) {
    try {
      auto im = Image::open_bytes(good.substr(0, n), "prefix");
      im->load();
    } catch (const ImageError&) {
    }
  }
}

// Bytes flipped anywhere: decoding (all frames) either works or fails with ImageError.
TEST_P(Damaged, FlippedBytesDecodeOrFailCleanly) {
  auto [format, mode] = GetParam();
  imaging::EncodeOptions o;
  o.save_all = true;
  o.append_images = {std::make_shared<Image>(pattern(mode, 12, 9, 5))};
  const std::string good = encode(pattern(mode, 12, 9), format, o);
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    for (int k = 0; k < 1 + round % 4; ++k)
      bad[rng() % bad.size()] = static_cast<char>(rng() & 0xFF);
    try {
      auto im = Image::open_bytes(bad, "flipped");
      imaging::FrameReader frames(*im);
      while (frames.next()) {
      }
      im->load();
    } catch (const ImageError&) {
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Damaged,
    ::testing::Values(DamageCase{"JPEG", Mode::RGB}, DamageCase{"PNG", Mode::RGBA},
                      DamageCase{"PNG", Mode::P}, DamageCase{"GIF", Mode::P},
                      DamageCase{"WEBP", Mode::RGB}, DamageCase{"BMP", Mode::RGB}),
    [](const auto& info) { return std::string(info.param.format) + mode_name(info.param.mode); });

}  // namespace
}  // namespace img_util::test

namespace img_util::test {
namespace {

// Hostile inputs kept as files: each opens and decodes (all frames) or fails with ImageError.
TEST(Crashers, EveryKeptInputDecodesOrFailsCleanly) {
  const std::filesystem::path dir =
      std::filesystem::path(IMG_UTIL_SOURCE_DIR) / "tests/data/crashers";
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().string());
    ++seen;
    try {
      auto im = Image::open(entry.path().string());
      imaging::FrameReader frames(*im);
      while (frames.next()) {
      }
      im->load();
    } catch (const ImageError&) {
    }
  }
  EXPECT_GT(seen, 0);
}

}  // namespace
}  // namespace img_util::test
