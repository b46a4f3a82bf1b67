// TIFF: what Pillow writes (several layouts and compressions) reads as Pillow reads it, what
// we write Pillow reads back unchanged, and damage is an error naming the file.
#include <gtest/gtest.h>

#include <string>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "pillow_oracle.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

struct TiffCase {
  const char* what;
  Mode mode;            // of the image Pillow saves
  const char* options;  // save() keywords
  Mode read_as;         // what we read it as
  int tolerance;        // largest byte difference allowed (JPEG inside TIFF: none either)
};

TEST(Tiff, ReadsWhatPillowWritesAsPillowReadsIt) {
  if (!pillow_available()) GTEST_SKIP() << "Pillow is not available";
  TempDir dir;
  const TiffCase cases[] = {
      {"rgb raw", Mode::RGB, "", Mode::RGB, 0},
      {"rgb lzw", Mode::RGB, "compression='tiff_lzw'", Mode::RGB, 0},
      {"rgb packbits", Mode::RGB, "compression='packbits'", Mode::RGB, 0},
      {"rgba deflate", Mode::RGBA, "compression='tiff_adobe_deflate'", Mode::RGBA, 0},
      {"grey lzw", Mode::L, "compression='tiff_lzw'", Mode::L, 0},
      {"palette", Mode::P, "", Mode::RGB, 0},
      {"rgb jpeg", Mode::RGB, "compression='jpeg', quality=90", Mode::RGB, 0},
  };
  for (const TiffCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Image src = random_image(c.mode, 37, 23, 7);
    const std::string path = dir / "t.tif";
    const std::string mode_name_text = mode_name(c.read_as);
    const Image theirs = pillow(
        "import io\nb = io.BytesIO()\nins[0].save(b, 'TIFF'" + std::string(*c.options ? ", " : "") +
            c.options + ")\nopen('" + path +
            "', 'wb').write(b.getvalue())\nout = Image.open(io.BytesIO(b.getvalue())).convert('" +
            mode_name_text + "')",
        {&src});
    ImagePtr ours = Image::open(path);
    EXPECT_EQ(ours->info.format, "TIFF");
    ours->load();
    ASSERT_EQ(ours->mode(), c.read_as);
    EXPECT_LE(max_difference(*ours, theirs), c.tolerance) << hex_grid(*ours);
  }
}

TEST(Tiff, WhatWeWritePillowReadsBack) {
  if (!pillow_available()) GTEST_SKIP() << "Pillow is not available";
  for (Mode mode : {Mode::L, Mode::LA, Mode::RGB, Mode::RGBA}) {
    SCOPED_TRACE(mode_name(mode));
    const Image src = random_image(mode, 29, 17, 3);
    const std::string file = imaging::encode(src, "TIFF");
    TempDir dir;
    write_file(dir / "o.tif", file);
    const Image theirs = pillow("out = Image.open('" + (dir / "o.tif") + "')", {});
    EXPECT_EQ(max_difference(theirs, src), 0);
    ImagePtr back = Image::open_bytes(file, "o.tif");
    back->load();
    EXPECT_EQ(max_difference(*back, src), 0);
  }
}

TEST(Tiff, DamageIsAnErrorNamingTheFile) {
  std::string file = imaging::encode(random_image(Mode::RGB, 16, 16, 1), "TIFF");
  file.resize(12);  // the header and no directory
  try {
    Image::open_bytes(file, "cut.tif")->load();
    ADD_FAILURE() << "no error";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("'cut.tif'"), std::string::npos) << e.what();
  }
}

// A few hundred bytes that claim a huge picture are refused before its canvas is made.
TEST(Tiff, AClaimOfAHugePictureIsRefused) {
  std::string file = imaging::encode(random_image(Mode::RGB, 8, 8, 1), "TIFF");
  // Width and length are the first two entries of the first directory (little endian).
  const auto byte = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(file[i])); };
  const size_t dir = byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24;
  for (int e = 0; e < 2; ++e) {
    const size_t at = dir + 2 + 12 * static_cast<size_t>(e);
    ASSERT_EQ(byte(at) | byte(at + 1) << 8, 256u + static_cast<size_t>(e));  // width, length
    file[at + 2] = 4, file[at + 3] = 0;                                      // LONG
    file[at + 8] = 0x10, file[at + 9] = 0x27, file[at + 10] = 0, file[at + 11] = 0;  // 10000
  }
  try {
    Image::open_bytes(file, "huge.tif")->load();
    ADD_FAILURE() << "no error";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot fill a 10000x10000 picture"), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace img_util::test
