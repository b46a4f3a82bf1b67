// PNG: round trips of every mode, every colour type and depth on input, metadata, truncation.
#include <gtest/gtest.h>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

using imaging::encode;

// A zlib stream of stored (uncompressed) blocks: enough to build any PNG by hand.
std::string zlib_stored(const std::string& raw) {
  std::string z("\x78\x01", 2);
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(raw.size() - pos, 65535);
    bool last = pos + n == raw.size();
    z += static_cast<char>(last ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z += raw.substr(pos, n);
    pos += n;
  } while (pos < raw.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) a = (a + c) % 65521, b = (b + a) % 65521;
  return z + be32(b << 16 | a);
}

// A PNG from its header fields and the filtered scanlines (filter byte 0 before each row).
std::string png_file(int w, int h, int depth, int color, int interlace, const std::string& raw,
                     const std::string& chunks = "") {
  std::string ihdr =
      be32(w) + be32(h) + char(depth) + char(color) + std::string(2, '\0') + char(interlace);
  return std::string("\x89PNG\r\n\x1A\n", 8) + png_chunk("IHDR", ihdr) + chunks +
         png_chunk("IDAT", zlib_stored(raw)) + png_chunk("IEND", "");
}

std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s += static_cast<char>(x);
  return s;
}

struct InputCase {
  const char* name;
  std::string file;
  Mode mode;
  std::string pixels;
};

TEST(Png, ReadsEveryColourTypeAndDepth) {
  const InputCase cases[] = {
      {"rgb16", png_file(2, 1, 16, 2, 0, bytes({0, 1, 2, 3, 4, 5, 6, 250, 9, 128, 1, 0, 0})),
       Mode::RGB, bytes({1, 3, 5, 250, 128, 0})},
      {"grey2", png_file(4, 1, 2, 0, 0, bytes({0, 0x1B})), Mode::L, bytes({0, 85, 170, 255})},
      {"grey1", png_file(3, 1, 1, 0, 0, bytes({0, 0xA0})), Mode::L, bytes({255, 0, 255})},
      {"grey_trns",
       png_file(3, 1, 8, 0, 0, bytes({0, 7, 8, 255}), png_chunk("tRNS", bytes({0, 7}))), Mode::LA,
       bytes({7, 0, 8, 255, 255, 255})},
      {"rgb_trns",
       png_file(2, 1, 8, 2, 0, bytes({0, 1, 2, 3, 4, 5, 6}),
                png_chunk("tRNS", bytes({0, 4, 0, 5, 0, 6}))),
       Mode::RGBA, bytes({1, 2, 3, 255, 4, 5, 6, 0})},
      {"greyalpha16", png_file(1, 1, 16, 4, 0, bytes({0, 200, 1, 100, 2})), Mode::LA,
       bytes({200, 100})},
      {"rgba8", png_file(1, 1, 8, 6, 0, bytes({0, 1, 2, 3, 4})), Mode::RGBA, bytes({1, 2, 3, 4})},
      {"palette4",
       png_file(3, 1, 4, 3, 0, bytes({0, 0x01, 0x20}),
                png_chunk("PLTE", bytes({10, 11, 12, 20, 21, 22, 30, 31, 32})) +
                    png_chunk("tRNS", bytes({0}))),
       Mode::P, bytes({0, 1, 2})},
      {"palette1",
       png_file(9, 1, 1, 3, 0, bytes({0, 0x55, 0x80}),
                png_chunk("PLTE", bytes({0, 0, 0, 255, 255, 255}))),
       Mode::P, bytes({0, 1, 0, 1, 0, 1, 0, 1, 1})},
      // Adam7 on 2x2: pass 1 holds (0,0), pass 6 (1,0), pass 7 the second row.
      {"interlaced", png_file(2, 2, 8, 0, 1, bytes({0, 10, 0, 20, 0, 30, 40})), Mode::L,
       bytes({10, 20, 30, 40})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto im = Image::open_bytes(c.file, c.name);
    EXPECT_EQ(im->mode(), c.mode);
    im->load();
    EXPECT_EQ(im->mode(), c.mode);
    EXPECT_EQ(std::string(im->pixels().begin(), im->pixels().end()), c.pixels);
  }
  auto p = Image::open_bytes(cases[7].file, "palette4");
  ASSERT_EQ(p->palette.size(), 3u);
  EXPECT_EQ(p->palette[0], (Rgba{10, 11, 12, 0}));
  EXPECT_EQ(p->palette[2], (Rgba{30, 31, 32, 255}));
  EXPECT_EQ(p->info.transparency, 0);
}

TEST(Png, RoundTripIsExactForEveryMode) {
  struct Case {
    Mode mode;
    int colors;
  };
  for (auto [mode, colors] :
       {Case{Mode::L, 0}, Case{Mode::LA, 0}, Case{Mode::RGB, 0}, Case{Mode::RGBA, 0},
        Case{Mode::P, 256}, Case{Mode::P, 16}, Case{Mode::P, 4}, Case{Mode::P, 2}}) {
    SCOPED_TRACE(std::string(mode_name(mode)) + std::to_string(colors));
    Image src = pattern(mode, 37, 23, colors ? colors : 16);
    if (mode == Mode::P) src.palette[1][3] = 128;
    for (bool optimize : {false, true}) {
      auto im = Image::open_bytes(encode(src, "PNG", optimized(optimize)), "x.png");
      EXPECT_EQ(im->info.format, "PNG");
      ASSERT_EQ(im->mode(), mode);
      EXPECT_EQ(im->pixels(), src.pixels());
      EXPECT_EQ(im->palette, src.palette);
    }
  }
}

TEST(Png, TransparencyIndexBecomesTrns) {
  Image src = pattern(Mode::P, 8, 8, 8);
  src.info.transparency = 3;
  auto im = Image::open_bytes(encode(src, "PNG"), "t.png");
  EXPECT_EQ(im->info.transparency, 3);
  EXPECT_EQ(im->palette[3][3], 0);
  EXPECT_EQ(im->palette[2][3], 255);
}

TEST(Png, OptimizeIsNotLarger) {
  Image src = pattern(Mode::RGB, 128, 96);
  EXPECT_LE(encode(src, "PNG", optimized()).size(), encode(src, "PNG").size());
}

// libpng validates profiles on reading and finds the made-up one too thin, so only its chunk
// is checked here; real profiles come back whole.
TEST(Png, IccIsWrittenAndExifOnlyWhenAsked) {
  Image src = pattern(Mode::RGB, 8, 8);
  src.info.exif = exif_with_orientation(3);
  src.info.icc = tiny_rgb_icc();
  std::string file = encode(src, "PNG");
  EXPECT_NE(file.find("iCCP"), std::string::npos);
  EXPECT_EQ(file.find("eXIf"), std::string::npos);
  auto im = Image::open_bytes(encode(src, "PNG", with_exif()), "m.png");
  EXPECT_EQ(im->info.exif, src.info.exif);
  auto bare = Image::open_bytes(encode(src, "PNG", without_metadata()), "b.png");
  EXPECT_TRUE(bare->info.exif.empty());
  EXPECT_TRUE(bare->info.icc.empty());
}

TEST(Png, RowsNotReachedStayZero) {
  Image src(Mode::L, 64, 64, {200, 0, 0, 0});
  std::string raw;
  for (int y = 0; y < 64; ++y) raw += '\0' + std::string(64, char(200));
  std::string file = png_file(64, 64, 8, 0, 0, raw);
  size_t idat = file.find("IDAT");
  auto im = Image::open_bytes(file.substr(0, idat + 4 + 2 + 5 + 65 * 10), "half.png");
  im->load();
  EXPECT_EQ(im->row(5)[10], 200);
  EXPECT_EQ(im->row(63)[10], 0);
}

TEST(Png, DamagedCompressedDataIsAnImageError) {
  std::string file = png_file(4, 4, 8, 0, 0, std::string(20, '\0'));
  size_t idat = file.find("IDAT");
  file[idat + 4] = 0x7F;  // not a zlib header
  EXPECT_THROW(Image::open_bytes(file, "bad.png")->load(), ImageError);
}

// Damage after the first row keeps what was decoded, as Pillow reads it with its
// truncated-image switch: a bad filter byte ends the picture there (the rest zero, as Pillow
// leaves it); a wrong checksum after data that inflated whole loses nothing (Pillow drops the
// last row there; we keep it).
TEST(Png, DamagedDataKeepsTheRowsBeforeTheDamage) {
  std::string raw;
  for (int y = 0; y < 6; ++y) raw += '\0' + std::string(8, static_cast<char>(10 + 30 * y));
  std::string bad_filter = raw;
  bad_filter[3 * 9] = 9;  // row 3's filter type: there is none such
  std::string bad_checksum = png_file(8, 6, 8, 0, 0, raw);
  const size_t idat = bad_checksum.find("IDAT");
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bad_checksum[i]); };
  const size_t length =
      byte(idat - 4) << 24 | byte(idat - 3) << 16 | byte(idat - 2) << 8 | byte(idat - 1);
  bad_checksum[idat + 4 + length - 1] ^= 0x5A;  // the Adler-32 at the end of the stream
  const struct {
    const char* what;
    std::string file;
    int rows_kept;
  } cases[] = {{"bad filter byte", png_file(8, 6, 8, 0, 0, bad_filter), 3},
               {"bad checksum", bad_checksum, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto im = Image::open_bytes(c.file, "damaged.png");
    ASSERT_NO_THROW(im->load());
    for (int y = 0; y < 6; ++y)
      EXPECT_EQ(im->row(y)[4], y < c.rows_kept ? 10 + 30 * y : 0) << "row " << y;
  }
}

// A chunk claiming about 1 GiB in a 57-byte file (as among libspng's crash inputs) ends the read
// at its header, whatever the chunk: nothing is read, inflated or allocated for it.
TEST(Png, ChunkLongerThanTheFileEndsTheReadAtItsHeader) {
  const std::string head = std::string("\x89PNG\r\n\x1A\n", 8) +
                           png_chunk("IHDR", be32(64) + be32(64) + bytes({8, 2, 0, 0, 0}));
  for (const char* type : {"tEXt", "zTXt", "iTXt", "iCCP", "eXIf", "PLTE", "prVt"}) {
    SCOPED_TRACE(type);
    const std::string file = head + be32(0x3FFFFFF0) + type + std::string("Comment\0xxxxxxxx", 16);
    ASSERT_EQ(file.size(), 57u);
    try {
      Image::open_bytes(file, "claim.png")->load();
      ADD_FAILURE() << "no error";
    } catch (const ImageError& e) {
      EXPECT_EQ(std::string(e.what()), "cannot read PNG header (" + std::string(type) +
                                           " chunk of 1073741808 bytes runs past the end of the "
                                           "file) in 'claim.png'");
    }
  }
}

// Met between two pieces of image data, such a chunk is where the file ends: the rows before
// it stay.
TEST(Png, ChunkLongerThanTheFileAmongImageDataKeepsTheRowsBefore) {
  std::string raw;
  for (int y = 0; y < 64; ++y) raw += '\0' + std::string(64, char(200));
  const std::string z = zlib_stored(raw);
  const std::string file = std::string("\x89PNG\r\n\x1A\n", 8) +
                           png_chunk("IHDR", be32(64) + be32(64) + bytes({8, 0, 0, 0, 0})) +
                           png_chunk("IDAT", z.substr(0, 65 * 20)) + be32(0x3FFFFFF0) + "tEXt";
  auto im = Image::open_bytes(file, "cut.png");
  im->load();
  EXPECT_EQ(im->row(5)[10], 200);
  EXPECT_EQ(im->row(63)[10], 0);
}

// Chunks that nothing here reads, whole or damaged, large or unknown, change nothing in what
// is decoded.
TEST(Png, ChunksNothingReadsArePassedOver) {
  const std::string raw = bytes({0, 10, 20, 30, 40, 50, 60});
  const std::string extra =
      png_chunk("tEXt", "Comment\0" + std::string(3 << 20, 'x')) +
      png_chunk("zTXt", std::string("Title\0\0not zlib at all", 22)) +
      png_chunk("iTXt", std::string("k\0\0\0\0\0", 6)) + png_chunk("tIME", "short") +
      png_chunk("pHYs", bytes({0, 0, 11, 19, 0, 0, 11, 19, 1})) + png_chunk("prVt", "ours?") +
      png_chunk("bKGD", bytes({0, 1, 0, 2, 0, 3}));
  auto plain = Image::open_bytes(png_file(2, 1, 8, 2, 0, raw), "plain.png");
  auto busy = Image::open_bytes(png_file(2, 1, 8, 2, 0, raw, extra), "busy.png");
  EXPECT_EQ(busy->mode(), plain->mode());
  EXPECT_EQ(busy->pixels(), plain->pixels());
  EXPECT_EQ(busy->pixels(), std::vector<uint8_t>({10, 20, 30, 40, 50, 60}));
}

}  // namespace
}  // namespace img_util::test
