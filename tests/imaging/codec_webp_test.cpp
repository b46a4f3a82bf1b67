// WebP: a file cut short decodes as far as it goes, unless that is too little of a large
// picture.
#include <gtest/gtest.h>

#include <string>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

struct CutCase {
  const char* what;
  std::string file;
  std::string refusal;  // empty: decodes, rows not reached left zero
};

TEST(Webp, CutShortDecodesUnlessTooLittleOfALargePictureArrived) {
  // 2400x2400 RGB is a canvas of 17 MB.
  const std::string photo =
      imaging::encode(pattern(Mode::RGB, 2400, 2400), "WEBP", with_quality(50));
  const std::string small = imaging::encode(make_photo(256, 192), "WEBP", with_quality(80));
  const CutCase cases[] = {
      {"the whole picture", photo, ""},
      {"most of it", photo.substr(0, photo.size() * 6 / 10), ""},
      {"its first 2 KB", photo.substr(0, 2048),
       "WebP data ends after 0 of 2400 rows; too little of the image to decode in 'x.webp'"},
      {"the first 2 KB of a small picture", small.substr(0, 2048), ""},
  };
  auto whole = Image::open_bytes(photo, "whole.webp");
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto im = Image::open_bytes(c.file, "x.webp");
    try {
      im->load();
      EXPECT_EQ(c.refusal, "") << "decoded";
      // The first rows arrived intact.
      if (c.file.size() > 4096) {
        EXPECT_EQ(std::vector<uint8_t>(im->row(0), im->row(0) + im->stride()),
                  std::vector<uint8_t>(whole->row(0), whole->row(0) + whole->stride()));
      }
    } catch (const ImageError& e) {
      EXPECT_EQ(std::string(e.what()), c.refusal);
    }
  }
}

// Failures say what libwebp found, in words, and name the file.
TEST(Webp, BrokenDataIsReportedInWords) {
  std::string file = imaging::encode(pattern(Mode::RGB, 32, 32), "WEBP");
  file[23] = 0;  // the VP8 start code
  try {
    Image::open_bytes(file, "w.webp")->load();
    ADD_FAILURE() << "no error";
  } catch (const ImageError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot read WebP header (bitstream error) in 'w.webp'");
  }
}

}  // namespace
}  // namespace img_util::test
