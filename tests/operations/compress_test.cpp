// compress: size rule, gate, probe and RGB fallback, the quality loop, adoption, counting and
// the scratch files. Images are made in code; Pillow is the reference for the resize.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "imaging/imaging.hpp"
#include "imaging/jpeg_size.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "operations/compress_trials.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

int64_t compresscount(const Value& cfg) { return cfg.at("result").at("compresscount").as_int(); }

// Records the qualities of the loop's trials while alive.
class TrialLog {
 public:
  TrialLog() {
    compress_detail::set_trial_observer([this](int q) { qualities.push_back(q); });
  }
  ~TrialLog() { compress_detail::set_trial_observer({}); }
  std::vector<int> qualities;
};

// Forces trials to run one after the other, or ahead on a second thread, while alive.
class Lookahead {
 public:
  explicit Lookahead(bool on) { compress_detail::set_trial_lookahead(on); }
  ~Lookahead() { compress_detail::set_trial_lookahead(std::nullopt); }
};

// Sizes trials by the JPEG size model where it can, or encodes every one, while alive.
class SizeModel {
 public:
  explicit SizeModel(bool on) { compress_detail::set_trial_size_model(on); }
  ~SizeModel() { compress_detail::set_trial_size_model(std::nullopt); }
};

std::string jpeg_at(const Image& im, int quality, bool optimize) {
  imaging::EncodeOptions o;
  o.quality = quality;
  o.optimize = optimize;
  return imaging::encode(im, "JPEG", o);
}

class CompressTest : public ::testing::Test {
 protected:
  // A compression-only run with its scratch directory inside the test's directory.
  Value config(int maskmode = 1) {
    Value cfg = test::base_config(dir.str(), maskmode);
    cfg.set("tmpPath", scratch());
    return cfg;
  }
  std::string scratch() const { return dir / "scratch"; }
  std::string infile(const std::string& ext = "jpg") const { return scratch() + "/infile." + ext; }
  std::string outfile(const std::string& ext = "jpg") const {
    return scratch() + "/outfile." + ext;
  }
  ImagePtr photo(int w, int h, Mode mode = Mode::RGB) {
    return std::make_shared<Image>(test::make_photo(w, h, mode));
  }

  TempDir dir;
};

// ---- size rule ------------------------------------------------------------------------------

struct SizeCase {
  const char* name;
  int width, height;
  int yswidth, ysheight;  // 0 = not configured
  int maskmode;
  bool null_result;
  int out_width, out_height;
  int counted;
};

class CompressSizeRule : public CompressTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(CompressSizeRule, ResizesIntoTheBoxOrLeavesTheImage) {
  const SizeCase& c = GetParam();
  Value cfg = config(c.maskmode);
  cfg.set("iscompress", 1);
  if (c.yswidth) cfg.set("yswidth", c.yswidth);
  if (c.ysheight) cfg.set("ysheight", c.ysheight);
  ImagePtr in = photo(c.width, c.height);

  ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, in);

  EXPECT_EQ(compresscount(cfg), c.counted);
  if (c.null_result) {
    EXPECT_EQ(out, nullptr);
    return;
  }
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->width(), c.out_width);
  EXPECT_EQ(out->height(), c.out_height);
  if (!c.counted) {
    EXPECT_EQ(out, in) << "an unchanged image goes on as it came";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompressSizeRule,
    ::testing::Values(
        SizeCase{"WidthOnlyDerivesHeight", 1600, 1200, 800, 0, 1, false, 800, 600, 1},
        SizeCase{"HeightOnlyDerivesWidth", 1600, 1200, 0, 300, 1, false, 400, 300, 1},
        // 667 * 500 / 1001 = 333.17: the derived side is truncated.
        SizeCase{"DerivedSideTruncated", 1001, 667, 500, 0, 1, false, 500, 333, 1},
        SizeCase{"SmallImageNotResizedMode1", 400, 300, 800, 0, 1, true, 0, 0, 0},
        SizeCase{"SmallImageNotResizedMode2", 400, 300, 800, 0, 2, false, 400, 300, 0},
        SizeCase{"ExactlyTheBoxIsWithin", 800, 600, 800, 600, 2, false, 800, 600, 0},
        SizeCase{"MixedCaseMode1GivesNothing", 1000, 500, 800, 600, 1, true, 0, 0, 0},
        SizeCase{"MixedCaseMode2GoesOnUnresized", 1000, 500, 800, 600, 2, false, 1000, 500, 0},
        SizeCase{"BothLimitsMakeTheExactBox", 1600, 1200, 500, 500, 1, false, 500, 500, 1},
        SizeCase{"NoLimitsMode2", 300, 200, 0, 0, 2, false, 300, 200, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CompressTest, MixedCaseInMode1WritesNoScratchFiles) {
  Value cfg = config(1);
  cfg.set("yswidth", 800);
  cfg.set("ysheight", 600);
  EXPECT_EQ(IMAGES::compress(dir / "a.jpg", cfg, photo(1000, 500)), nullptr);
  EXPECT_FALSE(fs::exists(scratch()));
}

TEST_F(CompressTest, ZeroSizedTargetIsAnErrorNamingTheFile) {
  Value cfg = config(1);
  cfg.set("yswidth", 1);  // derived height 1200 / 1600 truncates to 0
  try {
    IMAGES::compress(dir / "a.jpg", cfg, photo(1600, 1200));
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("a.jpg"), std::string::npos) << e.what();
  }
}

// ---- gate, opening, required keys -----------------------------------------------------------

TEST_F(CompressTest, DisabledOutsideMode1ReturnsTheArgumentAndTouchesNothing) {
  for (int mode : {2, 3}) {
    for (bool pass_image : {false, true}) {
      Value cfg = config(mode);
      cfg.set("iscompress", 0);
      cfg.set("yswidth", 100);
      ImagePtr in = pass_image ? photo(400, 300) : nullptr;
      EXPECT_EQ(IMAGES::compress(dir / "missing.jpg", cfg, in), in);
      EXPECT_EQ(compresscount(cfg), 0);
      EXPECT_FALSE(fs::exists(scratch()));
    }
  }
}

TEST_F(CompressTest, DisabledInMode1RunsInFull) {
  Value cfg = config(1);
  cfg.set("iscompress", false);
  cfg.set("yswidth", 200);
  ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, photo(400, 300));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->width(), 200);
  EXPECT_EQ(compresscount(cfg), 1);
  EXPECT_TRUE(fs::exists(infile()));
}

// A file that is no image has nothing to compress; an image that cannot be read (missing,
// damaged before its first row) fails naming the file and the cause.
TEST_F(CompressTest, NoImageGivesNothingAnUnreadableImageFails) {
  test::write_file(dir / "text.jpg", "not an image at all");
  test::write_file(dir / "broken.png", std::string("\x89PNG\r\n\x1A\n", 8) + "IHDR");
  Value cfg = config(2);
  cfg.set("iscompress", 1);
  cfg.set("yswidth", 10);
  EXPECT_EQ(IMAGES::compress(dir / "text.jpg", cfg), nullptr);
  EXPECT_THROW(IMAGES::compress(dir / "missing.jpg", cfg), OSError);
  try {
    IMAGES::compress(dir / "broken.png", cfg);
    ADD_FAILURE() << "no error";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("'" + (dir / "broken.png") + "'"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(compresscount(cfg), 0);
}

TEST_F(CompressTest, OpensTheFileWhenNoImageIsPassed) {
  std::string src = test::write_photo(dir / "b.jpg", 320, 240);
  Value cfg = config(1);
  cfg.set("yswidth", 160);
  ImagePtr out = IMAGES::compress(src, cfg);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->width(), 160);
  EXPECT_EQ(out->height(), 120);
}

TEST_F(CompressTest, RequiredKeysAreLookedUpWhenNeeded) {
  Value cfg = config(2);
  cfg.set("iscompress", 1);
  cfg.set("yswidth", 100);
  cfg.at("result").erase("compresscount");
  EXPECT_THROW(IMAGES::compress(dir / "a.jpg", cfg, photo(200, 100)), KeyError);

  // Not counting: the result mapping is not needed.
  Value uncounted = config(2);
  uncounted.erase("result");
  uncounted.set("iscompress", 1);
  uncounted.set("yswidth", 100);
  EXPECT_NE(IMAGES::compress(dir / "a.jpg", uncounted, photo(200, 100), false), nullptr);

  // maskmode decides the result at the end, so it must be there.
  Value no_mode = config(2);
  no_mode.erase("maskmode");
  no_mode.set("iscompress", 1);
  EXPECT_THROW(IMAGES::compress(dir / "a.jpg", no_mode, photo(20, 10)), KeyError);
}

TEST_F(CompressTest, NoCountWhenCountingIsOff) {
  Value cfg = config(1);
  cfg.set("yswidth", 100);
  EXPECT_NE(IMAGES::compress(dir / "a.jpg", cfg, photo(200, 100), false), nullptr);
  EXPECT_EQ(compresscount(cfg), 0);
}

// ---- probe and RGB fallback -----------------------------------------------------------------

TEST_F(CompressTest, AlphaUnderJpegNameBecomesRgbAndCounts) {
  Value cfg = config(2);
  cfg.set("iscompress", 1);
  ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, photo(64, 48, Mode::RGBA));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->mode(), Mode::RGB);
  EXPECT_EQ(out->width(), 64);
  EXPECT_EQ(compresscount(cfg), 1);
  EXPECT_EQ(test::read_file(infile()), imaging::encode(*out, "JPEG"));
}

TEST_F(CompressTest, ScratchNamesTakeTheTextAfterTheLastDotOfThePath) {
  Value cfg = config(2);
  cfg.set("iscompress", 1);
  ImagePtr in = photo(40, 30);
  IMAGES::compress("/nowhere/v1.2/photo.JPG", cfg, in);
  EXPECT_EQ(test::read_file(infile("JPG")), imaging::encode(*in, "JPEG"));
}

TEST_F(CompressTest, ScratchDirectoryIsMadeOneLevelOnly) {
  Value cfg = config(1);
  cfg.set("tmpPath", dir / "no/such/level");
  EXPECT_THROW(IMAGES::compress(dir / "a.jpg", cfg, photo(40, 30)), OSError);
}

TEST_F(CompressTest, ScratchDirectoryDefaultsToTempInTheWorkingDirectory) {
  Value cfg = config(1);
  cfg.erase("tmpPath");
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  ImagePtr out;
  EXPECT_NO_THROW(out = IMAGES::compress("x.png", cfg, photo(40, 30)));
  fs::current_path(before);
  EXPECT_EQ(out, nullptr);  // nothing changed in mode 1
  EXPECT_TRUE(fs::is_regular_file(dir.path() / "temp" / "infile.png"));
}

// ---- the quality loop -----------------------------------------------------------------------

TEST(CompressLoopStep, StepHalvesUpwardsAndQualityOneLeaves) {
  std::vector<int> steps;
  int step = 10;
  for (int i = 0; i < 6; ++i) {
    step = compress_detail::after_trial(1 + i % 2, step).step;  // always at the floor
    steps.push_back(step);
  }
  EXPECT_EQ(steps, (std::vector<int>{5, 3, 2, 1, 1, 1}));
  EXPECT_TRUE(compress_detail::after_trial(1, 10).leave_now);
  EXPECT_FALSE(compress_detail::after_trial(2, 10).leave_now);
  EXPECT_EQ(compress_detail::after_trial(80, 10).next_quality, 70);
}

struct LoopCase {
  const char* name;
  int quality;
  std::vector<int> tried;
  bool adopted;
  bool lookahead;
};

class CompressLoop : public CompressTest, public ::testing::WithParamInterface<LoopCase> {};

// A target no encoding can meet runs the loop to its end.
TEST_P(CompressLoop, TriesTheQualitiesOfTheLoopAndEndsWithTheLastTrial) {
  const LoopCase& c = GetParam();
  Lookahead lookahead(c.lookahead);
  Value cfg = config(1);
  cfg.set("quality", c.quality);
  cfg.set("ctrsize", 0.001);
  cfg.set("optimize", 1);
  ImagePtr in = photo(96, 64);

  TrialLog log;
  ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, in);

  EXPECT_EQ(log.qualities, c.tried);
  const std::string last = jpeg_at(*in, c.tried.back(), true);
  EXPECT_EQ(test::read_file(infile()), imaging::encode(*in, "JPEG"));
  EXPECT_EQ(test::read_file(outfile()), last);
  EXPECT_EQ(compresscount(cfg), c.adopted ? 1 : 0);
  if (!c.adopted) {
    EXPECT_EQ(out, nullptr);
    return;
  }
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, in);
  // The image is the adopted encoding: its pixels are that encoding's.
  EXPECT_EQ(out->pixels(), Image::open_bytes(last)->pixels());
  ASSERT_TRUE(out->info.adoption && out->info.adoption->bytes);
  EXPECT_EQ(*out->info.adoption->bytes, last);
  EXPECT_EQ(out->info.adoption->format, "JPEG");
  EXPECT_EQ(out->info.adoption->quality, c.tried.back());
}

// Whichever thread makes a trial and whenever, each call returns the bytes of a plain encoding
// at its quality: along the loop's own order (where trials are made ahead both on the second
// thread and on the calling one), and when a call asks for something else than was made ahead.
TEST(TrialEncoder, EveryTrialHasThePlainEncodingsBytes) {
  Lookahead on(true);
  SizeModel model(false);
  auto im = std::make_shared<const Image>(test::make_photo(480, 360, Mode::RGB));
  const size_t stop_below = jpeg_at(*im, 35, true).size();
  std::vector<int> expected;  // the qualities down to the first that is small enough
  for (int q = 80; q > 0; q -= 10) {
    expected.push_back(q);
    if (jpeg_at(*im, q, true).size() <= stop_below) break;
  }
  ASSERT_GE(expected.size(), 3u);
  for (int round = 0; round < 3; ++round) {
    compress_detail::TrialEncoder trials(im, "JPEG", true);
    trials.set_goes_on([&](size_t size) { return size > stop_below; });
    trials.prefetch(80);
    std::vector<int> asked;
    for (int q = 80; q > 0; q -= 10) {
      const std::string bytes =
          trials.encode(q, q - 10 > 0 ? std::optional<int>(q - 10) : std::nullopt);
      asked.push_back(q);
      ASSERT_EQ(bytes, jpeg_at(*im, q, true)) << "quality " << q;
      if (bytes.size() <= stop_below) break;
    }
    EXPECT_EQ(asked, expected);
    // Out of order: what was made ahead is dropped, not returned.
    EXPECT_EQ(trials.encode(77, 66), jpeg_at(*im, 77, true));
    EXPECT_EQ(trials.encode(55), jpeg_at(*im, 55, true));
  }
}

// A trial whose size the loop only compares with the target is sized by the model where its
// lower bound is over the target; it is encoded where its bytes are asked for, where it may fit,
// for a format the model does not know, and with the model off.
TEST(TrialEncoder, OnlyTrialsSureToBeOverTheTargetAreLeftUnencoded) {
  auto im = std::make_shared<const Image>(test::make_photo(120, 90, Mode::RGB));
  const size_t small = 100, large = size_t{1} << 30;
  for (bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "lookahead" : "one at a time");
    Lookahead lookahead(ahead);
    compress_detail::TrialEncoder trials(im, "JPEG", true);
    trials.set_goes_on([&](size_t size) { return size > small; });
    trials.prefetch(80);  // the model, made on the second thread where lookahead is on
    compress_detail::TrialEncoder::Measured m = trials.measure(80, 70, true);
    EXPECT_FALSE(m.bytes);
    EXPECT_GT(m.size, small);
    EXPECT_LE(m.size, jpeg_at(*im, 80, true).size());
    m = trials.measure(70, 60, false);
    EXPECT_EQ(m.bytes, jpeg_at(*im, 70, true));
    EXPECT_EQ(m.size, m.bytes->size());
    trials.set_goes_on([&](size_t size) { return size > large; });
    EXPECT_EQ(trials.measure(60, 50, true).bytes, jpeg_at(*im, 60, true));
  }
  for (const char* format : {"PNG", "JPEG"}) {
    SizeModel model(std::string(format) == "PNG");  // on for PNG, off for JPEG
    compress_detail::TrialEncoder trials(im, format, false);
    trials.set_goes_on([&](size_t size) { return size > small; });
    EXPECT_EQ(trials.measure(50, 40, true).bytes, imaging::encode(*im, format,
                                                                  [] {
                                                                    imaging::EncodeOptions o;
                                                                    o.quality = 50;
                                                                    return o;
                                                                  }()))
        << format;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompressLoop,
    ::testing::Values(
        // 10 - 10 <= 0 halves the step to 5; 5 - 5 <= 0 makes it 3; 2 - 3 <= 0 makes it 2
        // and the quality drops to 0.
        LoopCase{"From80", 80, {80, 70, 60, 50, 40, 30, 20, 10, 5, 2}, true, false},
        LoopCase{"From80Lookahead", 80, {80, 70, 60, 50, 40, 30, 20, 10, 5, 2}, true, true},
        // Reaching quality 1 leaves before measuring: compared is the trial at 11, written the
        // one at 1.
        LoopCase{"From81", 81, {81, 71, 61, 51, 41, 31, 21, 11, 1}, true, false},
        LoopCase{"From81Lookahead", 81, {81, 71, 61, 51, 41, 31, 21, 11, 1}, true, true},
        // Starting at 1: one trial, never measured, so the probe's size stands.
        LoopCase{"From1", 1, {1}, false, false}, LoopCase{"From1Lookahead", 1, {1}, false, true},
        LoopCase{"From12", 12, {12, 2}, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// What a run of the quality loop shows: the trials it used, outfile, and what it adopted.
struct LoopOutcome {
  std::vector<int> tried;
  std::optional<std::string> infile, outfile;
  std::optional<std::string> adopted;
  std::optional<int> quality;
  int64_t counted = 0;
};

// The JPEG size model changes nothing the loop does: with it on (trials sized on this thread
// or the model made ahead on another, the probe and the full trials written from its
// coefficients) and off, over targets around the trials' sizes: between two trials, at a
// trial's size exactly, between a trial's lower bound and its real size (the model cannot tell
// it is over), under every trial, over the probe; and without a target (one trial). One image
// carries an ICC profile, which every encoding writes.
TEST_F(CompressTest, SizeModelChangesNothingTheLoopDoes) {
  const ImagePtr images[] = {photo(160, 120), photo(97, 61, Mode::L)};
  images[0]->info.icc.assign(200, '\x42');
  for (const ImagePtr& in : images) {
    for (bool optimize : {false, true}) {
      imaging::EncodeOptions opts;
      opts.optimize = optimize;
      const imaging::JpegSizeModel model(*in, opts);
      std::vector<double> targets = {0.001, 1000, 0};  // 0: no target
      double before = 0;
      bool between_bound_and_size = false;
      for (int q : {80, 70, 60, 50, 40, 30, 20, 10, 5, 2}) {
        const double size = jpeg_at(*in, q, optimize).size() / 1024.0;
        const double bound = model.lower_bound(q) / 1024.0;
        if (before > 0) targets.push_back((before + size) / 2);
        targets.push_back(size);
        if (size - bound >= 1.0 / 1024) {
          targets.push_back((size + bound) / 2);
          between_bound_and_size = true;
        }
        before = size;
      }
      ASSERT_TRUE(between_bound_and_size);  // the case the model must leave to the encoder
      for (double target : targets) {
        SCOPED_TRACE(std::string(mode_name(in->mode())) + (optimize ? " optimized" : "") +
                     ", target " + std::to_string(target) + " KiB");
        const auto run = [&](bool model_on, bool ahead) {
          SizeModel sized(model_on);
          Lookahead lookahead(ahead);
          Value cfg = config(1);
          cfg.set("quality", 80);
          cfg.set("optimize", optimize);
          if (target > 0) cfg.set("ctrsize", target);
          fs::remove(infile());
          fs::remove(outfile());
          LoopOutcome o;
          TrialLog log;
          ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, in);
          o.tried = log.qualities;
          if (fs::exists(infile())) o.infile = test::read_file(infile());
          if (fs::exists(outfile())) o.outfile = test::read_file(outfile());
          if (out && out->info.adoption) {
            o.adopted = *out->info.adoption->bytes;
            o.quality = out->info.adoption->quality;
          }
          o.counted = compresscount(cfg);
          return o;
        };
        const LoopOutcome plain = run(false, false);
        for (bool ahead : {false, true}) {
          const LoopOutcome sized = run(true, ahead);
          EXPECT_EQ(sized.tried, plain.tried) << "lookahead " << ahead;
          EXPECT_EQ(sized.infile, plain.infile) << "lookahead " << ahead;
          EXPECT_EQ(sized.outfile, plain.outfile) << "lookahead " << ahead;
          EXPECT_EQ(sized.adopted, plain.adopted) << "lookahead " << ahead;
          EXPECT_EQ(sized.quality, plain.quality) << "lookahead " << ahead;
          EXPECT_EQ(sized.counted, plain.counted) << "lookahead " << ahead;
        }
      }
    }
  }
}

TEST_F(CompressTest, LoopStopsAtTheFirstTrialUnderTheTarget) {
  ImagePtr in = photo(128, 96);
  const double size60 = jpeg_at(*in, 60, true).size() / 1024.0;
  const double size70 = jpeg_at(*in, 70, true).size() / 1024.0;
  ASSERT_LT(size60, size70);
  for (bool ahead : {false, true}) {
    Lookahead lookahead(ahead);
    Value cfg = config(1);
    cfg.set("quality", 80);
    cfg.set("optimize", true);
    cfg.set("ctrsize", (size60 + size70) / 2);
    TrialLog log;
    ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, in);
    EXPECT_EQ(log.qualities, (std::vector<int>{80, 70, 60}));
    EXPECT_EQ(test::read_file(outfile()), jpeg_at(*in, 60, true));
    ASSERT_NE(out, nullptr);
    ASSERT_TRUE(out->info.adoption);
    EXPECT_EQ(out->info.adoption->quality, 60);
  }
}

TEST_F(CompressTest, ProbeThatFitsMakesNoTrials) {
  Value cfg = config(1);
  cfg.set("quality", 80);
  cfg.set("ctrsize", 10000);
  TrialLog log;
  EXPECT_EQ(IMAGES::compress(dir / "a.jpg", cfg, photo(64, 48)), nullptr);
  EXPECT_TRUE(log.qualities.empty());
  EXPECT_FALSE(fs::exists(outfile()));
}

// A file on disk far over the target whose probe fits: the probe is taken (counted, and
// written by the caller), so the file meets the target. Everything else stays as it was.
TEST_F(CompressTest, ProbeThatFitsIsTakenWhenTheFileOnDiskIsOverTheTarget) {
  const Image source = test::make_photo(160, 120, Mode::RGB);
  // A JPEG stored at quality 100, and a PNG with junk after its end (which readers ignore):
  // both larger on disk than their probe.
  const std::string jpg = dir / "big.jpg", png = dir / "big.png";
  test::write_file(jpg, jpeg_at(source, 100, false));
  test::write_file(png, imaging::encode(source, "PNG") + std::string(40000, 'x'));
  const auto kib_of = [](const std::string& bytes) { return bytes.size() / 1024.0; };
  const double jpg_probe = kib_of(imaging::encode(source, "JPEG"));
  const double png_probe = kib_of(imaging::encode(source, "PNG"));
  const double jpg_file = fs::file_size(jpg) / 1024.0, png_file = fs::file_size(png) / 1024.0;
  ASSERT_LT(jpg_probe * 1.5, jpg_file);
  const double jpg_between = (jpg_probe + jpg_file) / 2, png_between = (png_probe + png_file) / 2;

  struct Case {
    const char* name;
    std::string path;
    int maskmode;
    Value quality;
    double ctrsize;
    bool taken;
  };
  for (const Case& c : {Case{"over target", jpg, 1, Value(80), jpg_between, true},
                        Case{"file fits too", jpg, 1, Value(80), jpg_file + 1, false},
                        Case{"no quality loop", jpg, 1, Value(100), jpg_between, false},
                        Case{"watermark mode", jpg, 2, Value(80), jpg_between, false},
                        Case{"png over target", png, 1, Value(80), png_between, true},
                        Case{"probe over target too", png, 1, Value(80), png_probe / 2, false}}) {
    Value cfg = config(c.maskmode);
    cfg.set("iscompress", true);
    cfg.set("quality", c.quality);
    cfg.set("ctrsize", c.ctrsize);
    ImagePtr out = IMAGES::compress(c.path, cfg);
    EXPECT_EQ(compresscount(cfg), c.taken ? 1 : 0) << c.name;
    if (c.taken) {
      ASSERT_NE(out, nullptr) << c.name;
      ASSERT_TRUE(out->info.adoption) << c.name;
      const std::string ext = c.path.substr(c.path.size() - 3);
      EXPECT_EQ(*out->info.adoption->bytes, test::read_file(infile(ext))) << c.name;
      EXPECT_FALSE(out->info.adoption->quality) << c.name;  // the encoder's default
    } else if (out) {
      EXPECT_FALSE(out->info.adoption) << c.name;
    }
  }
}

TEST_F(CompressTest, QualityOutsideTheOpenRangeMakesNoTrials) {
  for (Value q : {Value(), Value(0), Value(-5), Value(100), Value(150)}) {
    Value cfg = config(1);
    if (!q.is_none()) cfg.set("quality", q);
    cfg.set("ctrsize", 0.001);
    cfg.set("yswidth", 50);
    TrialLog log;
    ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, photo(100, 60));
    EXPECT_TRUE(log.qualities.empty()) << py_repr(q);
    ASSERT_NE(out, nullptr);  // the resize alone decides
    EXPECT_EQ(out->width(), 50);
    EXPECT_FALSE(out->info.adoption);
  }
  EXPECT_FALSE(fs::exists(outfile()));
}

TEST_F(CompressTest, WithoutTargetOneTrialAdoptedOnlyWhenSmaller) {
  ImagePtr in = photo(96, 64);
  const size_t probe = imaging::encode(*in, "JPEG").size();
  for (int quality : {40, 95}) {
    Value cfg = config(1);
    cfg.set("quality", quality);
    TrialLog log;
    ImagePtr out = IMAGES::compress(dir / "a.jpg", cfg, in);
    EXPECT_EQ(log.qualities, std::vector<int>{quality});
    const std::string trial = jpeg_at(*in, quality, false);
    EXPECT_EQ(test::read_file(outfile()), trial);
    const bool smaller = trial.size() < probe;
    EXPECT_EQ(smaller, quality == 40) << "fixture assumption";
    EXPECT_EQ(out != nullptr, smaller) << quality;
  }
}

TEST_F(CompressTest, PngIgnoresQualityAndIsAdoptedOnlyWhenSmaller) {
  ImagePtr in = photo(96, 64);
  for (bool optimize : {false, true}) {
    Value cfg = config(1);
    cfg.set("quality", 80);
    cfg.set("ctrsize", 0.001);
    cfg.set("optimize", optimize);
    TrialLog log;
    ImagePtr out = IMAGES::compress(dir / "a.png", cfg, in);

    // Every trial gives the same bytes, so the loop runs until the quality runs out.
    EXPECT_EQ(log.qualities, (std::vector<int>{80, 70, 60, 50, 40, 30, 20, 10, 5, 2}));
    imaging::EncodeOptions o;
    o.optimize = optimize;
    const std::string trial = imaging::encode(*in, "PNG", o);
    const std::string probe = test::read_file(infile("png"));
    EXPECT_EQ(test::read_file(outfile("png")), trial);
    if (!optimize) {
      EXPECT_EQ(trial, probe) << "the same settings make the same bytes";
    }
    const bool smaller = trial.size() < probe.size();
    EXPECT_EQ(out != nullptr, smaller) << "optimize " << optimize;
    EXPECT_EQ(compresscount(cfg), smaller ? 1 : 0);
    if (out) {
      ASSERT_TRUE(out->info.adoption);
      EXPECT_FALSE(out->info.adoption->quality);
    }
  }
}

// ---- resize against Pillow ------------------------------------------------------------------

double psnr(const Image& a, const Image& b) {
  const auto& pa = a.pixels();
  const auto& pb = b.pixels();
  double se = 0;
  for (size_t i = 0; i < pa.size(); ++i) se += (double(pa[i]) - pb[i]) * (double(pa[i]) - pb[i]);
  double mse = se / static_cast<double>(pa.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

TEST_F(CompressTest, JpegDownscaleMatchesPillowLanczos) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  const std::string src = test::write_photo(dir / "src.jpg", 1200, 900, Mode::RGB, 95);
  const std::string ref = dir / "ref.png";
  const std::string cmd =
      "/usr/bin/python3 -c \"import sys; from PIL import Image; "
      "Image.open(sys.argv[1]).convert('RGB').resize((300, 225), "
      "Image.LANCZOS).save(sys.argv[2])\" '" +
      src + "' '" + ref + "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "Pillow is not available";

  Value cfg = config(1);
  cfg.set("yswidth", 300);
  ImagePtr out = IMAGES::compress(src, cfg);  // 4x: decoded at a DCT scale, then Lanczos
  ASSERT_NE(out, nullptr);
  ImagePtr expected = Image::open(ref);
  expected->load();
  ASSERT_EQ(out->width(), expected->width());
  ASSERT_EQ(out->height(), expected->height());
  ASSERT_EQ(out->mode(), expected->mode());
  EXPECT_GT(psnr(*out, *expected), 42.0);
}

}  // namespace
}  // namespace img_util
