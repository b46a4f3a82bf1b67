#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/atomic_file.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::read_file;
using test::tail;
using test::TempDir;
using test::write_file;
namespace fs = std::filesystem;

// A TIFF header with one empty directory: the smallest EXIF block a decoder accepts.
const std::string kExif("II*\0\x08\0\0\0\0\0\0\0\0\0", 14);

imaging::EncodeOptions at_quality(int q) {
  imaging::EncodeOptions o;
  o.quality = q;
  return o;
}

ImagePtr photo(int w, int h, Mode mode = Mode::RGB) {
  return std::make_shared<Image>(test::make_photo(w, h, mode));
}

ImagePtr reopen(const std::string& path) {
  ImagePtr im = Image::open(path);
  im->load();
  return im;
}

class Save : public ::testing::Test {
 protected:
  Save() : folder(dir / "img") {
    fs::create_directories(folder);
    cfg = test::base_config(folder, 1);
  }
  ~Save() override {
    set_debug(false);
    set_line_sink(nullptr);
  }
  std::string source(const std::string& name, const std::string& content = "original source") {
    std::string path = folder + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, content);
    return path;
  }
  TempDir dir;
  std::string folder;
  Value cfg;
};

TEST_F(Save, NothingToWriteTouchesNothing) {
  cfg.set("outpath", dir / "out");
  std::string src = source("a/b.jpg");
  IMAGES::save(folder + "/a/b.jpg", cfg, nullptr);
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(read_file(src), "original source");
}

TEST_F(Save, WritesInPlaceWithTheMarkerOfTheMode) {
  struct Case {
    Value maskmode;
    std::string marker;
  } cases[] = {{1, "Amask"}, {1.0, "Amask"}, {2, "Bmask"}, {3, "Bmask"}, {"1", "Bmask"}};
  for (const auto& c : cases) {
    std::string src = source("m.jpg");
    cfg.set("maskmode", c.maskmode);
    IMAGES::save(src, cfg, photo(40, 30));
    EXPECT_EQ(tail(src), c.marker) << py_repr(c.maskmode);
    ImagePtr back = reopen(src);
    EXPECT_EQ(back->info.format, "JPEG");
    EXPECT_EQ(back->width(), 40);
    EXPECT_EQ(back->height(), 30);
  }
}

TEST_F(Save, MissingMaskmodeWritesNothing) {
  std::string src = source("m.jpg");
  cfg.erase("maskmode");
  EXPECT_THROW(IMAGES::save(src, cfg, photo(8, 8)), KeyError);
  EXPECT_EQ(read_file(src), "original source");
}

TEST_F(Save, MirroredTargetLeavesTheSourceUnmarked) {
  cfg.set("outpath", dir / "out");
  std::string src = source("2020/a.png");
  IMAGES::save(src, cfg, photo(10, 10));
  EXPECT_EQ(read_file(src), "original source");
  EXPECT_EQ(tail(dir / "out/2020/a.png"), "Amask");
  EXPECT_EQ(reopen(dir / "out/2020/a.png")->info.format, "PNG");
}

// With optimize a PNG becomes a palette image: opaque from an opaque source or with isopaque,
// keeping its alpha in the palette (tRNS) otherwise, reduced as Pillow reduces RGBA.
TEST_F(Save, PngRulesFollowTheSourcePath) {
  ImagePtr translucent = photo(24, 16, Mode::RGBA);  // alpha from 77 to 255
  ImagePtr opaque = std::make_shared<Image>(imaging::convert(*translucent, Mode::RGB));
  opaque = std::make_shared<Image>(imaging::convert(*opaque, Mode::RGBA));
  struct Case {
    std::string name;
    Value optimize, isopaque;
    ImagePtr image;
    Mode expected;
    bool palette_alpha;
  } cases[] = {
      {"a.PNG", 1, Value(), translucent, Mode::P, true},
      {"b.png", 1, 1, translucent, Mode::P, false},
      {"c.png", 0, 1, translucent, Mode::RGB, false},
      {"d.png", 0, 0, translucent, Mode::RGBA, false},
      {"e.png", Value(), Value(), translucent, Mode::RGBA, false},
      {"f.png", 1, Value(), opaque, Mode::P, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string src = source(c.name);
    if (c.optimize.is_none()) {
      cfg.erase("optimize");
    } else {
      cfg.set("optimize", c.optimize);
    }
    cfg.set("isopaque", c.isopaque);
    IMAGES::save(src, cfg, c.image);
    EXPECT_EQ(tail(src), "Amask");
    ImagePtr back = reopen(src);
    EXPECT_EQ(back->mode(), c.expected);
    if (c.expected != Mode::P) continue;
    EXPECT_LE(back->palette.size(), 256u);
    if (c.palette_alpha) {
      // Exactly the octree reduction of the source, alpha and all.
      const Image want = imaging::convert(*c.image, Mode::P);
      EXPECT_EQ(imaging::convert(*back, Mode::RGBA).pixels(),
                imaging::convert(want, Mode::RGBA).pixels());
    } else {
      // Today's opaque result: the RGB image's adaptive palette.
      for (const Rgba& entry : back->palette) EXPECT_EQ(entry[3], 255);
      const Image want = imaging::convert(imaging::convert(*c.image, Mode::RGB), Mode::P);
      EXPECT_EQ(back->pixels(), want.pixels());
      EXPECT_FALSE(back->info.transparency.has_value());
    }
  }
}

// An encoder's failure names the file it was writing, and nothing is written.
TEST_F(Save, EncoderFailureNamesTheFile) {
  const std::string src = source("wide.webp");
  auto wide = std::make_shared<Image>(Mode::RGB, 16384, 1);  // past WebP's 16383 pixels
  try {
    IMAGES::save(src, cfg, wide);
    ADD_FAILURE() << "no error";
  } catch (const ImageError& e) {
    EXPECT_EQ(std::string(e.what()), "image too large for WebP (16384x1) for '" + src + "'");
    EXPECT_EQ(e.filename(), src);
  }
  EXPECT_EQ(read_file(src), "original source");
}

TEST_F(Save, AlphaImageForAJpegTargetIsWrittenAsRgb) {
  std::string src = source("alpha.jpg");
  cfg.set("optimize", 1);
  cfg.set("isopaque", 1);  // no effect on a JPEG target
  IMAGES::save(src, cfg, photo(20, 20, Mode::RGBA));
  EXPECT_EQ(tail(src), "Amask");
  ImagePtr back = reopen(src);
  EXPECT_EQ(back->info.format, "JPEG");
  EXPECT_EQ(back->mode(), Mode::RGB);
}

// EXIF (GPS positions, serial numbers, thumbnails) never reaches a written file, with or
// without clearexif; the ICC profile does, so colours stay right.
TEST_F(Save, WrittenFilesCarryNoExifButKeepTheIcc) {
  ImagePtr im = photo(16, 16);
  im->info.exif = kExif;
  im->info.icc = std::string("fake icc profile bytes");
  std::string kept = source("kept.jpg"), cleared = source("cleared.jpg");
  IMAGES::save(kept, cfg, im);
  cfg.set("clearexif", 1);
  IMAGES::save(cleared, cfg, im);
  ImagePtr a = reopen(kept), b = reopen(cleared);
  EXPECT_TRUE(a->info.exif.empty());
  EXPECT_TRUE(b->info.exif.empty());
  EXPECT_EQ(a->info.icc, im->info.icc);
  EXPECT_EQ(b->info.icc, im->info.icc);
  EXPECT_EQ(b->pixels(), a->pixels());
  EXPECT_EQ(im->info.exif, kExif) << "the caller's image was changed";
}

TEST_F(Save, ClearexifKeepsAPaletteImagesPalette) {
  auto im = std::make_shared<Image>(Mode::P, 4, 2);
  im->palette = {{255, 0, 0, 255}, {0, 0, 255, 255}, {0, 255, 0, 255}};
  const uint8_t indices[] = {0, 1, 2, 1, 2, 0, 0, 1};
  std::copy(std::begin(indices), std::end(indices), im->pixels().begin());
  cfg.set("clearexif", true);
  std::string src = source("pal.png");
  IMAGES::save(src, cfg, im);
  ImagePtr back = reopen(src);
  ASSERT_EQ(back->mode(), Mode::P);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(back->palette.at(back->pixels()[i]), im->palette[indices[i]]) << i;
}

TEST_F(Save, DebugLineComesAfterTheMarker) {
  std::string src = source("d'q.jpg");
  std::vector<std::string> lines;
  set_line_sink([&](const std::string& line) { lines.push_back(line + " " + tail(src)); });
  IMAGES::save(src, cfg, photo(8, 8));
  EXPECT_TRUE(lines.empty());
  set_debug(true);
  IMAGES::save(src, cfg, photo(8, 8));
  EXPECT_EQ(lines, std::vector<std::string>{"(\"" + src + "\", 'done') Amask"});
}

TEST_F(Save, FailuresLeaveTheSourceAsItWas) {
  const std::string original = "original source";
  {
    std::string src = source("ro.jpg");
    FileOpsOverride restore;
    file_ops().accessat = [](int, const char*, int) {
      errno = EACCES;
      return -1;
    };
    try {
      IMAGES::save(src, cfg, photo(8, 8));
      ADD_FAILURE() << "no error";
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), EACCES);
      EXPECT_EQ(e.filename(), src);
    }
    EXPECT_EQ(read_file(src), original);
  }
  {
    std::string src = source("unknown.pcx");
    EXPECT_THROW(IMAGES::save(src, cfg, photo(8, 8)), ValueError);
    EXPECT_EQ(read_file(src), original);
  }
  {
    cfg.set("outpath", dir / "out");
    fs::create_directories(dir / "out");
    write_file(dir / "out/sub", "in the way");
    std::string src = source("sub/x.jpg");
    EXPECT_THROW(IMAGES::save(src, cfg, photo(8, 8)), OSError);
    EXPECT_EQ(read_file(src), original);
  }
}

TEST_F(Save, AdoptedEncodingIsWrittenAsItIsWhileUnchanged) {
  const std::string adopted = imaging::encode(*photo(64, 48), "JPEG", at_quality(30));
  auto adopt = [&] {
    ImagePtr im = Image::open_bytes(adopted);
    im->load();
    im->info.adoption = Adoption{std::make_shared<const std::string>(adopted), "JPEG", 30};
    return im;
  };

  std::string same = source("same.jpg");
  IMAGES::save(same, cfg, adopt());
  EXPECT_EQ(read_file(same), adopted + "Amask");

  // Changed pixels are encoded afresh, at the quality compression chose.
  ImagePtr changed = adopt();
  changed->pixels()[0] ^= 0xff;
  std::string other = source("changed.jpg");
  IMAGES::save(other, cfg, changed);
  EXPECT_EQ(read_file(other), imaging::encode(*changed, "JPEG", at_quality(30)) + "Amask");

  // A different target format cannot take the adopted bytes.
  std::string png = source("as.png");
  IMAGES::save(png, cfg, adopt());
  EXPECT_EQ(reopen(png)->info.format, "PNG");
}

}  // namespace
}  // namespace img_util
