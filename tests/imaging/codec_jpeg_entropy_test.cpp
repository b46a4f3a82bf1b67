// Our reading of a progressive file's scans after the first: every coefficient equal to what
// libjpeg reads itself (jpeg_read_coefficients), over pictures, chroma samplings, progression
// scripts and table placements; giving up on what it does not read as libjpeg does; and on
// damaged data, either giving up or libjpeg's coefficients exactly.
#include <gtest/gtest.h>

#include <csetjmp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "imaging/codecs/jpeg_entropy.hpp"
#include "imaging/codecs/jpeg_reader.hpp"
#include "imaging/codecs/jpeg_scans.hpp"
#include "imaging/imaging.hpp"
#include "imaging/libjpeg_file.hpp"
#include "imaging/pillow_oracle.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

namespace codec = imaging::codec;
namespace scans = codec::jpeg_scans;

// Every coefficient of every component, the arrays' rows one after another.
using Coefficients = std::vector<std::vector<JCOEF>>;

// libjpeg's errors, found from the decoder's `err` (its client_data may be the store's).
struct Errors {
  jpeg_error_mgr pub;
  std::jmp_buf failed;
  int warnings = 0;
};

struct Decoder {
  jpeg_decompress_struct c;
  Errors err;
  bool created = false;
  ~Decoder() {
    if (created) jpeg_destroy_decompress(&c);
  }
};

// No objects with destructors in this frame: libjpeg's failure jumps back into it. `store`,
// when given, holds the coefficient arrays.
jvirt_barray_ptr* read_coefficients(Decoder& d, const std::string& data,
                                    codec::jpeg_detail::CoefStore* store) {
  d.c.err = jpeg_std_error(&d.err.pub);
  d.err.pub.error_exit = [](j_common_ptr c) {
    std::longjmp(reinterpret_cast<Errors*>(c->err)->failed, 1);
  };
  d.err.pub.emit_message = [](j_common_ptr c, int level) {
    if (level < 0) ++reinterpret_cast<Errors*>(c->err)->warnings;
  };
  jpeg_create_decompress(&d.c);
  d.created = true;
  if (setjmp(d.err.failed)) return nullptr;
  jpeg_mem_src(&d.c, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  jpeg_read_header(&d.c, TRUE);
  if (store) store->attach(d.c);
  return jpeg_read_coefficients(&d.c);
}

// libjpeg's own reading of every scan; nothing when it fails (or warns, unless `warnings`
// may be: corrupt data it reads on past).
std::optional<Coefficients> libjpeg_coefficients(const std::string& data, bool warnings = false) {
  Decoder d;
  jvirt_barray_ptr* arrays = read_coefficients(d, data, nullptr);
  if (!arrays || (d.err.warnings && !warnings)) return std::nullopt;
  Coefficients out(static_cast<size_t>(d.c.num_components));
  for (int k = 0; k < d.c.num_components; ++k) {
    const jpeg_component_info& info = d.c.comp_info[k];
    const JDIMENSION width =
        (info.width_in_blocks + info.h_samp_factor - 1) / info.h_samp_factor * info.h_samp_factor;
    const JDIMENSION rows =
        (info.height_in_blocks + info.v_samp_factor - 1) / info.v_samp_factor * info.v_samp_factor;
    for (JDIMENSION r = 0; r < rows; ++r) {
      JBLOCKARRAY row =
          d.c.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&d.c), arrays[k], r, 1, FALSE);
      for (JDIMENSION b = 0; b < width; ++b)
        out[static_cast<size_t>(k)].insert(out[static_cast<size_t>(k)].end(), row[0][b],
                                           row[0][b] + DCTSIZE2);
    }
  }
  return out;
}

// libjpeg's reading of the first scan, then ours of the others (on one thread or two), as the
// decoder does them; nothing where ours gave up.
std::optional<Coefficients> our_coefficients(const std::string& data, bool two_threads = false) {
  const codec::ByteSource source(data);
  std::optional<codec::jpeg_detail::OwnRead> own =
      codec::jpeg_detail::plan_progressive_read(source).own;
  if (!own) return std::nullopt;
  const scans::Layout* layout = &own->layout;
  std::string first_scan;
  for (const scans::Span& s : codec::jpeg_detail::own_read_stream(*layout))
    first_scan += data.substr(s.offset, s.length);
  codec::jpeg_detail::CoefStore store;
  Decoder d;
  if (!read_coefficients(d, first_scan, &store) || d.err.warnings) return std::nullopt;
  const auto frame = codec::jpeg_detail::entropy_frame(d.c, store).value();
  if (!codec::jpeg_entropy::read_scans(source, *layout, 1, frame, two_threads)) return std::nullopt;
  Coefficients out;
  for (const auto& c : frame.components) {
    out.emplace_back();
    for (uint32_t r = 0; r < c.rows; ++r)
      out.back().insert(out.back().end(), c.row[r][0], c.row[r][0] + DCTSIZE2 * c.blocks_per_row);
  }
  return out;
}

struct Settings {
  int h = 2, v = 2;  // the first component's sampling; the others' are 1x1
  bool optimize = false;
  int restart_rows = 0;
  const std::vector<jpeg_scan_info>* script = nullptr;  // null: libjpeg's standard progression
};

std::string progressive_file(const Image& im, const Settings& s) {
  return libjpeg_file(
      im.width(), im.height(), im.bands(), im.bands() == 1 ? JCS_GRAYSCALE : JCS_RGB, true,
      [&](int y) { return im.row(y); },
      [&](jpeg_compress_struct& c) {
        c.comp_info[0].h_samp_factor = s.h;
        c.comp_info[0].v_samp_factor = s.v;
        c.optimize_coding = s.optimize ? TRUE : FALSE;
        c.restart_in_rows = s.restart_rows;
        if (s.script) {
          c.scan_info = s.script->data();
          c.num_scans = static_cast<int>(s.script->size());
        }
      });
}

// Scripts for three components (the grey pictures take libjpeg's standard one).
const std::vector<jpeg_scan_info> kSpectralOnly = {
    {3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 2, 0, 0},  {1, {0}, 3, 20, 0, 0},
    {1, {0}, 21, 63, 0, 0},     {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
const std::vector<jpeg_scan_info> kDeepRefinement = {
    {3, {0, 1, 2}, 0, 0, 0, 3}, {1, {0}, 1, 63, 0, 3},      {1, {1}, 1, 63, 0, 2},
    {1, {2}, 1, 63, 0, 2},      {3, {0, 1, 2}, 0, 0, 3, 2}, {1, {0}, 1, 63, 3, 2},
    {3, {0, 1, 2}, 0, 0, 2, 1}, {1, {0}, 1, 9, 2, 1},       {1, {0}, 10, 63, 2, 1},
    {1, {1}, 1, 63, 2, 1},      {1, {2}, 1, 63, 2, 1},      {3, {0, 1, 2}, 0, 0, 1, 0},
    {1, {0}, 1, 63, 1, 0},      {1, {1}, 1, 63, 1, 0},      {1, {2}, 1, 63, 1, 0}};

TEST(JpegEntropy, ReadsEveryCoefficientAsLibjpegDoes) {
  const struct {
    const char* what;
    Image im;
  } pictures[] = {
      {"noise", random_image(Mode::RGB, 300, 200, 3)}, {"photo, odd size", make_photo(333, 251)},
      {"grey photo", make_photo(97, 61, Mode::L)},     {"1x1", make_photo(1, 1)},
      {"17x9", random_image(Mode::RGB, 17, 9, 4)},
  };
  const struct {
    const char* what;
    int h, v;
  } samplings[] = {
      {"4:2:0", 2, 2}, {"4:2:2", 2, 1}, {"4:4:4", 1, 1}, {"4:1:1", 4, 1}, {"1x2", 1, 2}};
  const struct {
    const char* what;
    const std::vector<jpeg_scan_info>* script;
  } scripts[] = {
      {"standard", nullptr}, {"spectral only", &kSpectralOnly}, {"deep", &kDeepRefinement}};
  for (const auto& p : pictures)
    for (const auto& sampling : samplings)
      for (const auto& script : scripts)
        for (bool optimize : {false, true}) {
          const bool grey = p.im.bands() == 1;
          if (grey && (script.script || sampling.h != 2 || sampling.v != 2)) continue;
          SCOPED_TRACE(std::string(p.what) + ", " + sampling.what + ", " + script.what +
                       (optimize ? ", tables before every scan" : ""));
          const std::string data =
              progressive_file(p.im, {sampling.h, sampling.v, optimize, 0, script.script});
          const auto want = libjpeg_coefficients(data);
          ASSERT_TRUE(want);
          for (bool two_threads : {false, true}) {
            const auto got = our_coefficients(data, two_threads);
            ASSERT_TRUE(got) << "gave up";
            EXPECT_TRUE(*got == *want) << (two_threads ? "two threads" : "one thread");
          }
          // Without BMI2's pdep and popcnt, as on CPUs that lack them or have them slow.
          codec::jpeg_entropy::use_portable_bits(true);
          const auto portable = our_coefficients(data);
          codec::jpeg_entropy::use_portable_bits(false);
          ASSERT_TRUE(portable) << "gave up without BMI2";
          EXPECT_TRUE(*portable == *want) << "without BMI2";
        }
}

// The pixels of `data` with our reader on or off, or the error.
std::string outcome(const std::string& data, bool own_reader) {
  codec::set_jpeg_shared_read(false);
  codec::set_jpeg_scan_reader(own_reader);
  std::string result;
  try {
    auto im = Image::open_bytes(data, "p.jpg");
    im->load();
    const auto& pixels = im->pixels();
    result.assign(pixels.begin(), pixels.end());
  } catch (const ImageError& e) {
    result = std::string("error: ") + e.what();
  }
  codec::set_jpeg_shared_read(std::nullopt);
  codec::set_jpeg_scan_reader(true);
  return result;
}

TEST(JpegEntropy, GivesUpOnWhatItDoesNotRead) {
  const Image im = make_photo(160, 120);
  const std::string good = progressive_file(im, {2, 2, true, 0, nullptr});
  const auto layout = scans::parse(codec::ByteSource(good)).value();
  const scans::Scan& last = layout.scans.back();
  // A code no table has: the last scan's data made all ones.
  std::string bad_code = good;
  for (uint64_t i = last.data; i < last.data + 40; ++i) bad_code[i] = '\xFE';
  // Three codes of one bit, as many codes as before: more than the length holds (a table built
  // without looking would be written past its end).
  std::string overfull = good;
  {
    const size_t counts = last.huffman_segments.at(0).offset + 1;  // of lengths 1 to 16
    const int more = 3 - overfull[counts];
    size_t longest = counts + 15;
    while (overfull[longest] < more) --longest;
    overfull[longest] = static_cast<char>(overfull[longest] - more);
    overfull[counts] = 3;
  }
  const std::vector<jpeg_scan_info> dc_apart = {{1, {0}, 0, 0, 0, 0},
                                                {2, {1, 2}, 0, 0, 0, 0},
                                                {1, {0}, 1, 63, 0, 0},
                                                {1, {1}, 1, 63, 0, 0},
                                                {1, {2}, 1, 63, 0, 0}};
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"restart markers", progressive_file(im, {2, 2, false, 1, nullptr})},
      {"a code no table has", bad_code},
      {"a table with more codes than its lengths hold", overfull},
      // libjpeg takes each component's quantisation table at its first scan.
      {"a first scan without every component", progressive_file(im, {2, 2, false, 0, &dc_apart})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(our_coefficients(c.data));
    EXPECT_FALSE(our_coefficients(c.data, true));
    // The file decodes (or fails) as libjpeg alone decodes it.
    EXPECT_TRUE(outcome(c.data, true) == outcome(c.data, false));
  }
}

// Bytes changed at random in the scans it reads: it either gives up or reads what libjpeg
// reads (libjpeg may warn, of bytes left over in a scan that ended early).
TEST(JpegEntropy, DamagedDataIsEitherGivenUpOnOrReadExactly) {
  const std::string data = progressive_file(make_photo(240, 180), {});
  const auto layout = scans::parse(codec::ByteSource(data)).value();
  const uint64_t from = layout.scans[1].begin;
  std::mt19937 random(9);
  int read = 0;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string damaged = data;
    for (unsigned k = 1 + random() % 3; k > 0; --k)
      damaged[from + random() % (layout.end - 2 - from)] = static_cast<char>(random());
    const auto got = our_coefficients(damaged, round % 2 == 1);
    if (!got) continue;
    ++read;
    const auto want = libjpeg_coefficients(damaged, true);
    ASSERT_TRUE(want) << "libjpeg fails where we read on";
    EXPECT_TRUE(*got == *want);
  }
  EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace img_util::test
