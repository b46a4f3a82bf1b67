// Large JPEGs: progressive files read by two decoders sharing the scans (the layout found in
// the file, the plan that shares the scans out, decodes equal to libjpeg's own, byte for byte),
// and files read from disk as they are decoded instead of being held whole.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "imaging/codecs/codecs.hpp"
#include "imaging/codecs/jpeg_scans.hpp"
#include "imaging/imaging.hpp"
#include "imaging/libjpeg_file.hpp"
#include "imaging/pillow_oracle.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

namespace scans = imaging::codec::jpeg_scans;

struct Options {
  bool grey = false;
  bool subsampled = true;  // 2x2 chroma; 1x1 otherwise
  bool optimize = false;   // libjpeg then writes tables before every scan
  int restart_rows = 0;
  std::vector<jpeg_scan_info> script;  // empty: libjpeg's standard progression
};

// Noise compresses badly, so these files are large enough to be shared out.
std::string progressive_file(const Image& im, const Options& o) {
  return libjpeg_file(
      im.width(), im.height(), im.bands(), im.bands() == 1 ? JCS_GRAYSCALE : JCS_RGB, true,
      [&](int y) { return im.row(y); },
      [&](jpeg_compress_struct& c) {
        if (!o.grey && !o.subsampled)
          c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 1;
        c.optimize_coding = o.optimize ? TRUE : FALSE;
        c.restart_in_rows = o.restart_rows;
        if (!o.script.empty()) {
          c.scan_info = o.script.data();
          c.num_scans = static_cast<int>(o.script.size());
        }
      });
}

// libjpeg's own decode, full size, with its defaults (block smoothing included); nothing when
// libjpeg fails.
struct Reference {
  jpeg_decompress_struct c;
  jpeg_error_mgr err;
  std::jmp_buf failed;
  std::vector<uint8_t> out;
};

// No objects with destructors in this frame: libjpeg's failure jumps back into it.
bool run_reference(Reference& r, const std::string& data) {
  r.c.err = jpeg_std_error(&r.err);
  r.err.output_message = [](j_common_ptr) {};
  r.err.error_exit = [](j_common_ptr c) {
    std::longjmp(reinterpret_cast<Reference*>(c->client_data)->failed, 1);
  };
  jpeg_create_decompress(&r.c);
  r.c.client_data = &r;
  if (setjmp(r.failed)) {
    jpeg_destroy_decompress(&r.c);
    return false;
  }
  jpeg_mem_src(&r.c, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  jpeg_read_header(&r.c, TRUE);
  r.c.out_color_space = r.c.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&r.c);
  const size_t stride = size_t{r.c.output_width} * r.c.output_components;
  r.out.resize(stride * r.c.output_height);
  while (r.c.output_scanline < r.c.output_height) {
    unsigned char* row = r.out.data() + stride * r.c.output_scanline;
    jpeg_read_scanlines(&r.c, &row, 1);
  }
  jpeg_finish_decompress(&r.c);
  jpeg_destroy_decompress(&r.c);
  return true;
}

std::optional<std::vector<uint8_t>> libjpeg_pixels(const std::string& data) {
  Reference r;
  if (!run_reference(r, data)) return std::nullopt;
  return std::move(r.out);
}

std::vector<uint8_t> our_pixels(const std::string& data) {
  auto im = Image::open_bytes(data, "p.jpg");
  im->load();
  return im->pixels();
}

// Sets how progressive files are read for the life of the object: shared out by two decoders
// (`shared`), and where not, the scans after the first by our own reader or by libjpeg.
class SharedReadSetting {
 public:
  explicit SharedReadSetting(std::optional<bool> shared, bool own_reader = true) {
    imaging::codec::set_jpeg_shared_read(shared);
    imaging::codec::set_jpeg_scan_reader(own_reader);
  }
  ~SharedReadSetting() {
    imaging::codec::set_jpeg_shared_read(std::nullopt);
    imaging::codec::set_jpeg_scan_reader(true);
  }
  SharedReadSetting(const SharedReadSetting&) = delete;
  SharedReadSetting& operator=(const SharedReadSetting&) = delete;
};

const Image& noise() {
  static const Image im = random_image(Mode::RGB, 1100, 960, 11);
  return im;
}

TEST(JpegScans, FindsTheScansOfLibjpegsStandardProgression) {
  const std::string data = progressive_file(noise(), {});
  auto layout = scans::parse(imaging::codec::ByteSource(data));
  ASSERT_TRUE(layout);
  ASSERT_EQ(layout->scans.size(), 10u);
  const scans::Scan& dc = layout->scans[0];
  EXPECT_EQ(dc.components, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(std::vector<int>({dc.ss, dc.se, dc.ah, dc.al}), std::vector<int>({0, 0, 0, 1}));
  const scans::Scan& last = layout->scans[9];
  EXPECT_EQ(last.components, std::vector<int>{1});
  EXPECT_EQ(std::vector<int>({last.ss, last.se, last.ah, last.al}),
            std::vector<int>({1, 63, 1, 0}));
  EXPECT_EQ(layout->end, data.size());
  for (const auto& s : layout->scans) EXPECT_EQ(data.substr(s.begin, 2), "\xFF\xDA");
}

TEST(JpegScans, RefusesFilesThatCannotBeSharedOut) {
  const std::string progressive = progressive_file(noise(), {});
  // A script whose last scans leave one bit of every AC coefficient out: libjpeg would smooth.
  std::vector<jpeg_scan_info> coarse = {{3, {0, 1, 2}, 0, 0, 0, 0},
                                        {1, {0}, 1, 63, 0, 1},
                                        {1, {1}, 1, 63, 0, 1},
                                        {1, {2}, 1, 63, 0, 1}};
  Options coarse_options;
  coarse_options.script = coarse;
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"sequential", imaging::encode(noise(), "JPEG")},
      {"cut in its last scan", progressive.substr(0, progressive.size() - 1000)},
      {"without its end marker", progressive.substr(0, progressive.size() - 2)},
      {"coefficients left coarse", progressive_file(noise(), coarse_options)},
      {"not a JPEG", std::string(4096, 'x')},
  };
  for (const auto& c : cases)
    EXPECT_FALSE(scans::parse(imaging::codec::ByteSource(c.data))) << c.what;
}

TEST(JpegScans, ThePlanWaitsForEveryEarlierScanOfTheOtherDecoderOnTheSameCoefficients) {
  const std::string data = progressive_file(noise(), {});
  auto layout = scans::parse(imaging::codec::ByteSource(data));
  ASSERT_TRUE(layout);
  const scans::Plan plan = scans::plan(*layout);
  EXPECT_NE(std::count(plan.decoder.begin(), plan.decoder.end(), 1), 0) << "nothing shared";
  const auto& s = layout->scans;
  for (size_t b = 0; b < s.size(); ++b)
    for (size_t a = 0; a < b; ++a) {
      bool shared_component = false;
      for (int id : s[a].components)
        shared_component |= std::count(s[b].components.begin(), s[b].components.end(), id) > 0;
      const bool depends = shared_component && s[a].ss <= s[b].se && s[b].ss <= s[a].se;
      const bool waits = std::count(plan.waits[b].begin(), plan.waits[b].end(), a) > 0;
      EXPECT_EQ(waits, depends && plan.decoder[a] != plan.decoder[b]) << a << " -> " << b;
    }

  // Each stream is the file without the other decoder's scans.
  for (int d = 0; d < 2; ++d) {
    std::string joined;
    for (const scans::Span& span : scans::stream(*layout, plan, d))
      joined += data.substr(span.offset, span.length);
    std::string expected;
    size_t from = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      if (plan.decoder[i] == d) continue;
      expected += data.substr(from, s[i].begin - from);
      from = s[i].end;
    }
    expected += data.substr(from);
    EXPECT_EQ(joined, expected) << "decoder " << d;
  }
}

TEST(JpegScans, DecodesExactlyAsLibjpegDoes) {
  const Image grey = imaging::convert(noise(), Mode::L);
  // A file whose data is damaged in its last chroma scan: the shared reading sees the damage
  // and reads the file again with one decoder, as libjpeg alone would.
  std::string damaged = progressive_file(noise(), {});
  {
    auto layout = scans::parse(imaging::codec::ByteSource(damaged));
    ASSERT_TRUE(layout);
    const scans::Scan& chroma = layout->scans[8];
    for (size_t i = chroma.begin + 200; i < chroma.begin + 240; ++i) damaged[i] = '\x5A';
  }
  Options coarse;
  coarse.script = {{3, {0, 1, 2}, 0, 0, 0, 0},
                   {1, {0}, 1, 63, 0, 1},
                   {1, {1}, 1, 63, 0, 0},
                   {1, {2}, 1, 63, 0, 0}};
  Options full_chroma, grey_file, optimized, restarts;
  full_chroma.subsampled = false;
  grey_file.grey = true;
  optimized.optimize = true;
  restarts.restart_rows = 1;
  const std::string progressive = progressive_file(noise(), {});
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"4:2:0", progressive},
      {"4:4:4", progressive_file(noise(), full_chroma)},
      {"grey", progressive_file(grey, grey_file)},
      {"tables before every scan", progressive_file(noise(), optimized)},
      {"restart markers", progressive_file(noise(), restarts)},
      {"damaged", damaged},
      {"cut short", progressive.substr(0, progressive.size() * 3 / 4)},
      {"left coarse (smoothed)", progressive_file(noise(), coarse)},
  };
  // Shared out (by default, these files being large enough, where two CPUs may be used; or
  // always), or read by one decoder with our reader for the scans after the first, or by
  // libjpeg alone: the same pixels.
  const struct {
    const char* what;
    std::optional<bool> shared_read;
    bool own_reader;
  } settings[] = {{"default", std::nullopt, true},
                  {"our reader on two threads", true, true},
                  {"our reader on one thread", false, true},
                  {"two libjpeg decoders", true, false},
                  {"libjpeg alone", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GE(c.data.size(), size_t{512} << 10) << "too small to be shared out";
    const std::vector<uint8_t> want = libjpeg_pixels(c.data).value();
    for (const auto& s : settings) {
      SCOPED_TRACE(s.what);
      SharedReadSetting setting(s.shared_read, s.own_reader);
      EXPECT_TRUE(our_pixels(c.data) == want);
    }
  }
}

// Bytes changed at random, in the scans or in the segments between them: whatever the two
// decoders, or one and our reader, make of it, the result is libjpeg's own, or its error when
// it fails.
TEST(JpegScans, RandomDamageDecodesAsLibjpegDecodesIt) {
  const std::string data = progressive_file(noise(), {});
  std::mt19937 random(5);
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string damaged = data;
    for (unsigned k = 1 + random() % 4; k > 0; --k)
      damaged[2000 + random() % (damaged.size() - 2000)] = static_cast<char>(random());
    const auto want = libjpeg_pixels(damaged);
    for (bool own_reader : {true, false}) {
      SCOPED_TRACE(own_reader ? "our reader on two threads" : "two libjpeg decoders");
      SharedReadSetting setting(true, own_reader);
      try {
        const auto got = our_pixels(damaged);
        ASSERT_TRUE(want) << "libjpeg fails where we did not";
        EXPECT_TRUE(got == *want);
      } catch (const ImageError& e) {
        EXPECT_FALSE(want) << e.what();
      }
    }
  }
}

// A scan naming a table that was never defined stops whichever decoder reads it; the other one
// must not wait for it forever, and the error is the one libjpeg gives for the file.
TEST(JpegScans, AnErrorInEitherDecoderIsTheFilesError) {
  const std::string data = progressive_file(noise(), {});
  auto layout = scans::parse(imaging::codec::ByteSource(data));
  ASSERT_TRUE(layout);
  const scans::Plan plan = scans::plan(*layout);
  ASSERT_NE(plan.decoder[8], plan.decoder[9]);
  for (size_t scan : {size_t{1}, size_t{8}, size_t{9}}) {
    SCOPED_TRACE("scan " + std::to_string(scan) + " of decoder " +
                 std::to_string(plan.decoder[scan]));
    std::string broken = data;
    broken[layout->scans[scan].begin + 6] = '\x33';  // its first component's table selectors
    try {
      our_pixels(broken);
      ADD_FAILURE() << "no error";
    } catch (const ImageError& e) {
      EXPECT_NE(std::string(e.what()).find("Huffman table"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("'p.jpg'"), std::string::npos) << e.what();
    }
  }
}

// Scaled in the DCT domain and read in bands into a resize, with the rows of coefficients given
// back behind the output: the same result as the whole image resized.
TEST(JpegScans, ScaledDecodesIntoAResizeMatchTheWholeImage) {
  const std::string data = progressive_file(noise(), {});
  for (ReduceHint hint : {ReduceHint{400, 0}, ReduceHint{700, 0}, ReduceHint{0, 0}}) {
    SCOPED_TRACE(hint.min_width);
    auto whole = Image::open_bytes(data, "p.jpg");
    whole->load(hint);
    auto streamed = Image::open_bytes(data, "p.jpg");
    Image got = imaging::decode_resized(*streamed, 300, 262, hint);
    EXPECT_TRUE(got.pixels() == imaging::resize(*whole, 300, 262).pixels());
  }
}

// ---- files read as they are decoded ----------------------------------------------------------

bool read_as_decoded(const Image& im) { return im.source() && im.source()->file; }

imaging::EncodeOptions quality_95() {
  imaging::EncodeOptions o;
  o.quality = 95;
  return o;
}

TEST(JpegFile, ALargeFileIsReadAsItIsDecodedToTheSamePixels) {
  TempDir dir;
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"progressive", progressive_file(noise(), {})},
      {"sequential", imaging::encode(noise(), "JPEG", quality_95())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GE(c.data.size(), size_t{1} << 20);
    const std::string path = dir / (std::string(c.what) + ".jpg");
    write_file(path, c.data);
    auto from_file = Image::open(path);
    auto in_memory = Image::open_bytes(c.data, path);
    EXPECT_TRUE(read_as_decoded(*from_file));
    EXPECT_FALSE(imaging::undecoded_bytes(*from_file));
    EXPECT_EQ(from_file->width(), in_memory->width());
    EXPECT_EQ(from_file->info.icc, in_memory->info.icc);
    const ReduceHint hint{400, 0};
    EXPECT_TRUE(imaging::decode_resized(*from_file, 300, 262, hint).pixels() ==
                imaging::decode_resized(*in_memory, 300, 262, hint).pixels());
    from_file->load();
    in_memory->load();
    EXPECT_TRUE(from_file->pixels() == in_memory->pixels());
  }
}

// Someone else cuts the file short between opening and decoding: what is left decodes as far
// as it goes, as the same bytes would from memory.
TEST(JpegFile, AFileCutShortAfterOpeningDecodesAsFarAsItGoes) {
  TempDir dir;
  for (bool progressive : {true, false}) {
    SCOPED_TRACE(progressive ? "progressive" : "sequential");
    const std::string data = progressive ? progressive_file(noise(), {})
                                         : imaging::encode(noise(), "JPEG", quality_95());
    const std::string path = dir / "cut.jpg";
    write_file(path, data);
    auto im = Image::open(path);
    ASSERT_TRUE(read_as_decoded(*im));
    const size_t kept = data.size() * 3 / 5;
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kept)), 0);
    im->load();
    auto cut = Image::open_bytes(data.substr(0, kept), path);
    cut->load();
    EXPECT_TRUE(im->pixels() == cut->pixels());
  }
}

// Its header is read from the first bytes; metadata running past them sends the file the
// old way, read whole.
TEST(JpegFile, MetadataBeyondTheFirstBytesIsStillRead) {
  TempDir dir;
  Image im = noise();
  im.info.icc = std::string(400 << 10, '\x2A');
  const std::string path = dir / "icc.jpg";
  write_file(path, imaging::encode(im, "JPEG", quality_95()));
  auto opened = Image::open(path);
  EXPECT_FALSE(read_as_decoded(*opened));
  EXPECT_EQ(opened->info.icc, im.info.icc);
  opened->load();
  EXPECT_EQ(opened->width(), im.width());
}

}  // namespace
}  // namespace img_util::test
