// The JPEG size model against libjpeg-turbo itself: the same quantised coefficients, and a
// lower bound that the encoding exceeds by exactly its stuffed bytes.
#include "imaging/jpeg_size.hpp"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"
#include "support/fixtures.hpp"

// libjpeg's own optimal-table procedure: not in its public header, but exported.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace img_util::test {
namespace {

using imaging::JpegSizeModel;

// The quantised coefficients of every component of a JPEG, as jpeg_read_coefficients gives
// them: the blocks of its arrays row by row, 64 in natural order each.
struct Coefficients {
  std::vector<std::vector<int16_t>> components;
  std::vector<std::pair<int, int>> grid;  // blocks wide and high
};

Coefficients read_coefficients(const std::string& jpeg) {
  jpeg_decompress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
  jpeg_read_header(&c, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&c);
  Coefficients out;
  for (int ci = 0; ci < c.num_components; ++ci) {
    const jpeg_component_info& comp = c.comp_info[ci];
    // The arrays hold whole MCUs.
    const int wide = (int(comp.width_in_blocks) + comp.h_samp_factor - 1) / comp.h_samp_factor *
                     comp.h_samp_factor;
    const int high = (int(comp.height_in_blocks) + comp.v_samp_factor - 1) / comp.v_samp_factor *
                     comp.v_samp_factor;
    std::vector<int16_t> blocks;
    for (int row = 0; row < high; ++row) {
      JBLOCKARRAY r = c.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&c), arrays[ci],
                                                JDIMENSION(row), 1, FALSE);
      for (int col = 0; col < wide; ++col) blocks.insert(blocks.end(), r[0][col], r[0][col] + 64);
    }
    out.components.push_back(std::move(blocks));
    out.grid.emplace_back(wide, high);
  }
  jpeg_finish_decompress(&c);
  jpeg_destroy_decompress(&c);
  return out;
}

// The 0xFF bytes of the entropy-coded data: from the end of the one scan's header to EOI.
size_t stuffed_bytes(const std::string& jpeg) {
  size_t at = 2;
  while (!(uint8_t(jpeg[at]) == 0xFF && uint8_t(jpeg[at + 1]) == 0xDA))
    at += 2 + (uint8_t(jpeg[at + 2]) << 8 | uint8_t(jpeg[at + 3]));
  at += 2 + (uint8_t(jpeg[at + 2]) << 8 | uint8_t(jpeg[at + 3]));
  size_t n = 0;
  for (; at < jpeg.size() - 2; ++at) n += uint8_t(jpeg[at]) == 0xFF;
  return n;
}

// Fails the test where the model's coefficients at `q` are not those libjpeg wrote in `jpeg`.
void expect_libjpegs_coefficients(const JpegSizeModel& model, int q, const std::string& jpeg) {
  const Coefficients lib = read_coefficients(jpeg);
  ASSERT_EQ(int(lib.components.size()), model.components());
  for (int ci = 0; ci < model.components(); ++ci) {
    ASSERT_EQ(lib.grid[size_t(ci)], std::pair(model.grid_width(ci), model.grid_height(ci)));
    const std::vector<int16_t> ours = model.coefficients(ci, q);
    const std::vector<int16_t>& theirs = lib.components[size_t(ci)];
    const auto diff = std::mismatch(ours.begin(), ours.end(), theirs.begin());
    ASSERT_TRUE(diff.first == ours.end())
        << "component " << ci << ", block " << (diff.first - ours.begin()) / 64 << ", coefficient "
        << (diff.first - ours.begin()) % 64 << ": " << *diff.first << " against libjpeg's "
        << *diff.second;
  }
}

enum class Fill { Flat, Gradient, Noise, Photo };

Image make(Fill fill, Mode mode, int w, int h) {
  switch (fill) {
    case Fill::Flat: return Image(mode, w, h, Rgba{200, 30, 90, 255});
    case Fill::Gradient: return pattern(mode, w, h);
    case Fill::Photo: return make_photo(w, h, mode);
    case Fill::Noise: break;
  }
  Image im(mode, w, h);
  std::mt19937 rng(static_cast<unsigned>(w * 131 + h));
  for (auto& v : im.pixels()) v = static_cast<uint8_t>(rng());
  return im;
}

struct SizeCase {
  const char* name;
  Fill fill;
  int w, h;
};

class JpegSize : public ::testing::TestWithParam<std::tuple<SizeCase, Mode>> {};

// Every quality and both table choices: the coefficients are libjpeg-turbo's own, and the bound
// is the encoding's size less the bytes stuffed after 0xFF.
TEST_P(JpegSize, CoefficientsAreTheEncodersAndTheBoundMissesOnlyStuffing) {
  const auto& [c, mode] = GetParam();
  Image im = make(c.fill, mode, c.w, c.h);
  const JpegSizeModel plain(im, {}), optimized(im, [] {
    imaging::EncodeOptions o;
    o.optimize = true;
    return o;
  }());
  for (int q = 1; q <= 100; ++q) {
    SCOPED_TRACE("quality " + std::to_string(q));
    for (bool optimize : {false, true}) {
      imaging::EncodeOptions opts;
      opts.quality = q;
      opts.optimize = optimize;
      const std::string jpeg = imaging::encode(im, "JPEG", opts);
      const size_t bound = (optimize ? optimized : plain).lower_bound(q);
      ASSERT_LE(bound, jpeg.size()) << (optimize ? "optimized" : "standard tables");
      ASSERT_EQ(bound + stuffed_bytes(jpeg), jpeg.size())
          << (optimize ? "optimized" : "standard tables");
      // The tables do not change the coefficients.
      if (!optimize) {
        ASSERT_NO_FATAL_FAILURE(expect_libjpegs_coefficients(plain, q, jpeg));
      }
    }
  }
}

// A bound asked for with a size that will do may come from part of the picture: it then does,
// and it never exceeds the whole bound; when the whole bound does not do, that is what comes.
TEST_P(JpegSize, BoundThatWillDoStopsEarlyButNeverOverstates) {
  const auto& [c, mode] = GetParam();
  Image im = make(c.fill, mode, c.w, c.h);
  bool stopped_early = false;
  for (bool optimize : {false, true}) {
    imaging::EncodeOptions o;
    o.optimize = optimize;
    const JpegSizeModel model(im, o);
    for (int q : {1, 30, 75, 95, 100}) {
      const size_t whole = model.lower_bound(q);
      for (double f : {0.2, 0.5, 0.8, 0.99, 1.0, 1.2}) {
        const size_t target = static_cast<size_t>(double(whole) * f);
        const size_t got = model.lower_bound(q, [&](size_t size) { return size > target; });
        SCOPED_TRACE(std::to_string(q) + (optimize ? " optimized" : " standard") + " target " +
                     std::to_string(target) + " of " + std::to_string(whole));
        ASSERT_LE(got, whole);
        if (whole > target)
          ASSERT_GT(got, target);
        else
          ASSERT_EQ(got, whole);
        stopped_early = stopped_early || got < whole;
      }
    }
  }
  // Pictures of a few blocks are counted whole before the first ask.
  if (c.w * c.h >= 200 * 72) {
    EXPECT_TRUE(stopped_early);
  }
}

// Written from the model's coefficients, an encoding is the encoder's own, byte for byte: at
// every quality, with both table choices, with an ICC profile and without.
TEST_P(JpegSize, EncodingFromTheCoefficientsGivesTheEncodersBytes) {
  const auto& [c, mode] = GetParam();
  Image im = make(c.fill, mode, c.w, c.h);
  for (bool icc : {false, true}) {
    SCOPED_TRACE(icc ? "ICC profile" : "no ICC profile");
    im.info.icc = icc ? std::string(300, '\x5a') : std::string();
    const JpegSizeModel model(im, {});
    for (int q = 1; q <= 100; ++q) {
      for (bool optimize : {false, true}) {
        imaging::EncodeOptions opts;
        opts.quality = q;
        opts.optimize = optimize;
        ASSERT_EQ(model.encode(q, optimize), imaging::encode(im, "JPEG", opts))
            << "quality " << q << (optimize ? ", optimized" : ", standard tables");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, JpegSize,
    ::testing::Combine(::testing::Values(SizeCase{"Flat1x1", Fill::Flat, 1, 1},
                                         SizeCase{"Noise1x1", Fill::Noise, 1, 1},
                                         SizeCase{"Gradient7x9", Fill::Gradient, 7, 9},
                                         SizeCase{"Noise7x9", Fill::Noise, 7, 9},
                                         SizeCase{"Gradient17x33", Fill::Gradient, 17, 33},
                                         SizeCase{"Noise17x33", Fill::Noise, 17, 33},
                                         SizeCase{"Photo33x17", Fill::Photo, 33, 17},
                                         SizeCase{"Flat64x48", Fill::Flat, 64, 48},
                                         SizeCase{"Noise64x48", Fill::Noise, 64, 48},
                                         SizeCase{"Photo64x48", Fill::Photo, 64, 48},
                                         SizeCase{"Photo200x72", Fill::Photo, 200, 72}),
                       ::testing::Values(Mode::RGB, Mode::L)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + mode_name(std::get<1>(info.param));
    });

// The markers jpeg_encode adds for an image's metadata count too, and an encoding from the
// coefficients writes them alike: an ICC profile split over two APP2 segments, and the EXIF
// block when asked for.
TEST(JpegSizeHeaders, IccProfileAndExifAreCounted) {
  Image im = make_photo(40, 30, Mode::RGB);
  im.info.icc.assign(70000, '\x11');
  im.info.exif.assign(300, '\x22');
  for (bool exif : {false, true}) {
    imaging::EncodeOptions opts;
    opts.keep_exif = exif;
    opts.optimize = true;
    const JpegSizeModel model(im, opts);
    for (int q : {10, 75}) {
      opts.quality = q;
      const std::string jpeg = imaging::encode(im, "JPEG", opts);
      EXPECT_EQ(model.lower_bound(q) + stuffed_bytes(jpeg), jpeg.size()) << exif << " " << q;
      EXPECT_EQ(model.encode(q, true), jpeg) << exif << " " << q;
    }
  }
}

TEST(JpegSizeModelCovers, OnlyGreyAndColourImages) {
  EXPECT_TRUE(JpegSizeModel::covers(Image(Mode::L, 3, 3)));
  EXPECT_TRUE(JpegSizeModel::covers(Image(Mode::RGB, 3, 3)));
  for (Mode m : {Mode::LA, Mode::RGBA, Mode::P}) {
    EXPECT_FALSE(JpegSizeModel::covers(Image(m, 3, 3)));
    EXPECT_THROW(JpegSizeModel(Image(m, 3, 3), {}), std::invalid_argument);
  }
}

// Our optimal tables are libjpeg's, also where ties decide and where the 16-bit limit reshapes
// the code (counts growing like Fibonacci numbers make codes of up to 24 bits).
TEST(JpegOptimalTable, CodeLengthsAreLibjpegs) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::array<int64_t, 256> counts{};
    if (round == 0) {
      int64_t a = 1, b = 1;
      for (int s = 0; s < 24; ++s, b = std::exchange(a, a + b)) counts[size_t(s * 7)] = a;
    } else {
      // A few symbols or many, counts from few values (ties) or a wide range.
      const int symbols = 1 + int(rng() % 200);
      const int range = round % 2 ? 3 : 100000;
      for (int i = 0; i < symbols; ++i) counts[rng() % 256] = 1 + int64_t(rng() % unsigned(range));
    }
    std::array<long, 257> freq{};
    std::copy(counts.begin(), counts.end(), freq.begin());
    JHUFF_TBL table{};
    jpeg_gen_optimal_table(&c, &table, freq.data());
    std::array<uint8_t, 256> theirs{};
    for (int n = 1, p = 0; n <= 16; ++n)
      for (int i = 0; i < table.bits[n]; ++i) theirs[table.huffval[p++]] = uint8_t(n);
    EXPECT_EQ(imaging::jpeg_optimal_code_lengths(counts), theirs) << "round " << round;
  }
  jpeg_destroy_compress(&c);
}

// The corpus's camera, web and small photos (one grey), when IMG_UTIL_CORPUS names the corpus
// folder (CI has none): each decoded at a quarter of its size, every quality and both table
// choices; the coefficients, and the encoding written from them, at every tenth quality.
TEST(JpegSizeCorpus, PhotosGiveTheEncodersSizes) {
  const char* corpus = std::getenv("IMG_UTIL_CORPUS");
  if (!corpus) GTEST_SKIP() << "IMG_UTIL_CORPUS is not set";
  for (const char* folder : {"jpeg-phone", "jpeg-web", "jpeg-small"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(corpus) + "/" + folder)) {
      SCOPED_TRACE(entry.path().string());
      auto im = Image::open(entry.path().string());
      im->load(ReduceHint{im->width() / 4, im->height() / 4});
      for (bool optimize : {false, true}) {
        imaging::EncodeOptions opts;
        opts.optimize = optimize;
        const JpegSizeModel model(*im, opts);
        for (int q = 1; q <= 99; ++q) {
          opts.quality = q;
          const std::string jpeg = imaging::encode(*im, "JPEG", opts);
          ASSERT_EQ(model.lower_bound(q) + stuffed_bytes(jpeg), jpeg.size()) << "quality " << q;
          if (q % 10 == 5) {
            ASSERT_NO_FATAL_FAILURE(expect_libjpegs_coefficients(model, q, jpeg));
            ASSERT_EQ(model.encode(q, optimize), jpeg) << "quality " << q;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace img_util::test
