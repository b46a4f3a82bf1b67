// The GIF pipeline: which files take the still-image path, the lossy hand-over, and what the
// frame loop writes (scratch files, counters, timing, marker, keep-smaller rule).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/atomic_file.hpp"
#include "support/fixtures.hpp"
#include "support/literal_ops.hpp"
#include "support/spawn.hpp"

namespace img_util {
namespace {

using test::read_file;
using test::tail;
using test::TempDir;
using test::write_file;
namespace fs = std::filesystem;

constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// Offsets of the graphic control extensions of a GIF, in file order. Walks the block
// structure, so bytes inside image data are never mistaken for a block.
std::vector<size_t> gce_offsets(const std::string& g) {
  auto u8 = [&](size_t i) { return static_cast<uint8_t>(g.at(i)); };
  auto skip_sub_blocks = [&](size_t p) {
    while (u8(p) != 0) p += u8(p) + 1u;
    return p + 1;
  };
  std::vector<size_t> out;
  size_t p = 13;
  if (u8(10) & 0x80) p += 3u << ((u8(10) & 7) + 1);
  while (p < g.size() && u8(p) != 0x3B) {
    if (u8(p) == 0x21) {
      if (u8(p + 1) == 0xF9) out.push_back(p);
      p = skip_sub_blocks(p + 2);
    } else if (u8(p) == 0x2C) {
      uint8_t flags = u8(p + 9);
      p += 10;
      if (flags & 0x80) p += 3u << ((flags & 7) + 1);
      p = skip_sub_blocks(p + 1);
    } else {
      throw std::runtime_error("not a GIF block at " + std::to_string(p));
    }
  }
  return out;
}

// Display time of every frame in ms, as the file states it.
std::vector<int> frame_delays(const std::string& g) {
  std::vector<int> out;
  for (size_t off : gce_offsets(g))
    out.push_back(10 * (static_cast<uint8_t>(g[off + 4]) | static_cast<uint8_t>(g[off + 5]) << 8));
  return out;
}

std::string with_delays(std::string g, const std::vector<int>& ms) {
  std::vector<size_t> offs = gce_offsets(g);
  for (size_t i = 0; i < offs.size() && i < ms.size(); ++i) {
    g[offs[i] + 4] = static_cast<char>((ms[i] / 10) & 0xFF);
    g[offs[i] + 5] = static_cast<char>((ms[i] / 10) >> 8);
  }
  return g;
}

std::string without_gces(std::string g) {
  std::vector<size_t> offs = gce_offsets(g);
  for (auto it = offs.rbegin(); it != offs.rend(); ++it) g.erase(*it, 8);
  return g;
}

// An animated GIF of `frames` frames, each a different picture, or a flat colour when `flat`.
std::string encode_animation(int frames, int w, int h, bool flat = false,
                             std::optional<int> loop = 0) {
  std::vector<std::shared_ptr<const Image>> all;
  for (int i = 0; i < frames; ++i) {
    Image rgb = flat ? Image(Mode::RGB, w, h, Rgba{uint8_t(40 + 50 * i), 90, 160, 255})
                     : test::make_photo(w + 3 * i, h, Mode::RGB);
    if (!flat) rgb = imaging::crop(rgb, 3 * i, 0, 3 * i + w, h);
    all.push_back(std::make_shared<Image>(imaging::convert(rgb, Mode::P)));
  }
  imaging::EncodeOptions opts;
  opts.save_all = true;
  opts.append_images.assign(all.begin() + 1, all.end());
  opts.duration = 100;
  opts.loop = loop;
  return imaging::encode(*all.front(), "GIF", opts);
}

// Every frame of a GIF file as the decoder composes it.
std::vector<ImagePtr> read_frames(const std::string& path) {
  ImagePtr im = Image::open(path);
  imaging::FrameReader reader(*im);
  std::vector<ImagePtr> out;
  while (ImagePtr f = reader.next()) out.push_back(f);
  return out;
}

size_t distinct_colours(const Image& im) {
  Image rgb = imaging::convert(im, Mode::RGB);
  std::set<uint32_t> seen;
  for (size_t i = 0; i + 2 < rgb.pixels().size(); i += 3)
    seen.insert(rgb.pixels()[i] << 16 | rgb.pixels()[i + 1] << 8 | rgb.pixels()[i + 2]);
  return seen.size();
}

class DoingGifTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(site());
    fs::create_directories(IMAGES::tmpPath());
    fs::create_directories(dir / "ctemp");
    fs::create_directories(dir / "out");
    source = site() + "/anim.gif";
    cfg = config(1);
  }

  std::string site() const { return dir / "site"; }
  Value config(int maskmode) const {
    Value c = test::base_config(site(), maskmode);
    c.set("tmpPath", dir / "ctemp");
    c.set("masktext", "proof");
    c.set("fontttf", kFont);
    c.set("fontsize", 18);
    c.set("rgba", "#ff0000ff");
    c.set("maskimgPath", dir / "logo.png");
    c.set("gif_qty", "O3");
    c.set("gif_color", 8);
    c.set("gif_loss", 20);
    return c;
  }
  std::string scratch(int n) const {
    return IMAGES::tmpPath() + "/src" + std::to_string(n) + ".jpg";
  }
  int64_t counter(const char* name) const { return cfg.at("result").at(name).as_int(); }
  size_t files_listed() const { return cfg.at("result").at("files").as_list().size(); }

  TempDir dir;
  std::string source;
  Value cfg;
  IMAGES images;
};

TEST_F(DoingGifTest, SingleFrameGifTakesTheStillPath) {
  imaging::save(imaging::convert(test::make_photo(80, 60), Mode::P), source);
  cfg = config(2);
  images.doing_gif(source, cfg);
  EXPECT_EQ(tail(source), "Bmask");
  EXPECT_EQ(files_listed(), 1u);  // one backup: doing was not asked to select the file again
  EXPECT_EQ(counter("maskcount"), 1);
  EXPECT_FALSE(fs::exists(scratch(1)));
}

TEST_F(DoingGifTest, PngNamedGifTakesTheStillPath) {
  write_file(source, imaging::encode(test::make_photo(80, 60), "PNG"));
  cfg = config(2);
  images.doing_gif(source, cfg);
  EXPECT_EQ(tail(source), "Bmask");
  EXPECT_EQ(files_listed(), 1u);
  EXPECT_FALSE(fs::exists(scratch(1)));
}

TEST_F(DoingGifTest, RefusedOrUnreadableFilesAreLeftAlone) {
  write_file(source, encode_animation(2, 40, 30));
  Value refusing = config(1);
  refusing.set("exts", Value(List{Value(".jpg")}));
  images.doing_gif(source, refusing);
  EXPECT_EQ(refusing.at("result").at("files").as_list().size(), 0u);

  // A file that is no image is left alone quietly; one that claims to be a GIF but cannot be
  // read fails, before its backup.
  const std::string text = site() + "/text.gif";
  write_file(text, "plain text");
  EXPECT_NO_THROW(images.doing_gif(text, cfg));
  const std::string junk = site() + "/junk.gif";
  write_file(junk, "GIF89a but not really");
  EXPECT_THROW(images.doing_gif(junk, cfg), ImageError);
  EXPECT_EQ(read_file(junk), "GIF89a but not really");
  EXPECT_EQ(files_listed(), 0u);
}

TEST_F(DoingGifTest, CompressionOnlyCountsOnceAndLeavesScratchFiles) {
  write_file(source, encode_animation(3, 120, 90));
  cfg.set("yswidth", 60);
  images.doing_gif(source, cfg);

  EXPECT_EQ(counter("compresscount"), 1);
  for (int n = 1; n <= 3; ++n) {
    ASSERT_TRUE(fs::exists(scratch(n))) << scratch(n);
    EXPECT_EQ(Image::open(scratch(n))->info.format, "JPEG");
  }
  EXPECT_FALSE(fs::exists(scratch(4)));
  EXPECT_EQ(tail(source), "Amask");
  std::vector<ImagePtr> frames = read_frames(source);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0]->width(), 60);
  EXPECT_EQ(read_file(dir.plugin() + "/tmp.gif") + "Amask", read_file(source));
}

TEST_F(DoingGifTest, CompressionOnlyWritesOnlyAStrictlySmallerGif) {
  // The scratch GIF of a first run, taken as the source, comes back the same size or close to
  // it: trailing bytes (which no decoder reads) then set the source's size exactly.
  write_file(dir / "first.gif", encode_animation(3, 90, 60));
  cfg.set("outpath", dir / "out");
  images.doing_gif(dir / "first.gif", cfg);
  const std::string base = read_file(dir.plugin() + "/tmp.gif");
  write_file(source, base);
  images.doing_gif(source, cfg);
  const size_t size2 = fs::file_size(dir.plugin() + "/tmp.gif");
  ASSERT_LE(base.size(), size2) << "the pipeline grew a GIF of its own making smaller";

  const std::string target = dir / "out/anim.gif";
  fs::remove(target);
  write_file(source, base + std::string(size2 - base.size(), '\0'));
  images.doing_gif(source, cfg);
  EXPECT_FALSE(fs::exists(target)) << "written although exactly as large as the source";

  write_file(source, base + std::string(size2 - base.size() + 1, '\0'));
  images.doing_gif(source, cfg);
  ASSERT_TRUE(fs::exists(target));
  EXPECT_EQ(tail(target), "Amask");
  EXPECT_EQ(fs::file_size(target), size2 + 5);
}

struct WatermarkCase {
  const char* name;
  int maskmode;
  bool watermarked;
};

class DoingGifWatermark : public DoingGifTest,
                          public ::testing::WithParamInterface<WatermarkCase> {};

TEST_P(DoingGifWatermark, EveryFrameIsStampedAndTheGifAlwaysWritten) {
  const WatermarkCase& c = GetParam();
  write_file(dir / "logo.png", imaging::encode(Image(Mode::RGBA, 24, 24, {255, 0, 0, 255}), "PNG"));
  write_file(source, encode_animation(3, 240, 200, /*flat=*/true));
  const auto size0 = fs::file_size(source);
  cfg = config(c.maskmode);
  cfg.set("isgifsicle", true);  // the lossy pass belongs to mode 1 only
  write_file(dir.plugin() + "/gifsicle", "#!/bin/sh\nexit 0\n");
  ::chmod((dir.plugin() + "/gifsicle").c_str(), 0755);

  images.doing_gif(source, cfg);

  EXPECT_EQ(tail(source), "Bmask");
  EXPECT_TRUE(fs::exists(scratch(3)));
  EXPECT_EQ(counter("maskcount"), c.watermarked ? 1 : 0);
  std::vector<ImagePtr> frames = read_frames(source);
  ASSERT_EQ(frames.size(), 3u);
  for (const ImagePtr& f : frames) {
    if (c.watermarked)
      EXPECT_GT(distinct_colours(*f), 1u);
    else
      EXPECT_EQ(distinct_colours(*f), 1u);
  }
  if (c.watermarked) {
    EXPECT_GT(fs::file_size(source), size0);  // larger, and written all the same
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, DoingGifWatermark,
                         ::testing::Values(WatermarkCase{"Text", 2, true},
                                           WatermarkCase{"Picture", 3, true},
                                           WatermarkCase{"Other", 4, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DoingGifTest, PngScratchModeKeepsPaletteFrames) {
  write_file(source, encode_animation(2, 60, 40));
  cfg = config(4);
  images.doing_gif(source, cfg, "png");
  for (int n = 1; n <= 2; ++n) {
    const std::string png = IMAGES::tmpPath() + "/src" + std::to_string(n) + ".png";
    ASSERT_TRUE(fs::exists(png));
    ImagePtr scratch_png = Image::open(png);
    EXPECT_EQ(scratch_png->info.format, "PNG");
    EXPECT_EQ(scratch_png->mode(), Mode::P);
  }
  EXPECT_FALSE(fs::exists(scratch(1)));
  EXPECT_EQ(tail(source), "Bmask");
  EXPECT_EQ(read_frames(source).size(), 2u);
}

// An animation beyond the frame limit, or whose frames add up to more than the pixel limit, is
// refused with an error naming it before it is backed up or handed to the lossy pass, and
// nothing is written.
TEST_F(DoingGifTest, AnimationBeyondTheLimitsIsRefusedBeforeItsBackup) {
  struct Case {
    const char* what;
    std::string gif;
    std::string says;
  };
  const Case cases[] = {
      // 2.3 MB of them took 25 s and left 100,001 scratch files.
      {"5,001 frames", test::gif_of_pixel_frames(4, 4, imaging::kFrameLimit + 1),
       "animation of 5001 frames exceeds the limit of 5000 frames"},
      {"three frames of 12650x12650", test::gif_of_pixel_frames(12650, 12650, 3),
       "exceeds the limit of 178956970 pixels"},
  };
  const std::string ran = dir / "gifsicle-ran";
  write_file(dir.plugin() + "/gifsicle", "#!/bin/sh\ntouch '" + ran + "'\n");
  ::chmod((dir.plugin() + "/gifsicle").c_str(), 0755);
  for (const bool lossy : {false, true}) {
    cfg.set("isgifsicle", lossy);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (lossy ? ", lossy pass" : ""));
      write_file(source, c.gif);
      try {
        images.doing_gif(source, cfg);
        ADD_FAILURE() << "no error";
      } catch (const ImageError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_NE(message.find("'" + source + "'"), std::string::npos) << message;
      }
      EXPECT_EQ(read_file(source), c.gif);
      EXPECT_EQ(files_listed(), 0u);
      EXPECT_FALSE(fs::exists(scratch(1)));
      EXPECT_FALSE(fs::exists(ran));
    }
  }
}

// Frame scratch files are overwritten by number, and those of a longer earlier animation stay;
// but none numbered past the frame limit, which no later animation would overwrite.
TEST_F(DoingGifTest, FrameScratchFilesPastTheFrameLimitAreRemoved) {
  const std::string tmp = IMAGES::tmpPath() + "/";
  const std::vector<std::string> stale = {"src5001.jpg", "src100000.png", "src99999999999999.jpg"};
  const std::vector<std::string> kept = {"src5000.jpg", "src7.png", "src05001.jpg",
                                         "src5001.jpg.bak", "infile.jpg"};
  for (const std::string& name : stale) write_file(tmp + name, "old");
  for (const std::string& name : kept) write_file(tmp + name, "old");
  write_file(source, encode_animation(3, 60, 40));

  images.doing_gif(source, cfg);

  for (int n = 1; n <= 3; ++n) EXPECT_TRUE(fs::exists(scratch(n))) << n;
  for (const std::string& name : stale) EXPECT_FALSE(fs::exists(tmp + name)) << name;
  for (const std::string& name : kept) EXPECT_EQ(read_file(tmp + name), "old") << name;
}

// The host library doing the same frame loop (palette, RGB, downscale, palette again) must see
// the same pictures in its GIF as we put in ours.
TEST_F(DoingGifTest, FramesMatchTheHostLibrarysFrameLoop) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  const char* script = R"(
import sys
from PIL import Image, ImageSequence
src, out, w = sys.argv[1], sys.argv[2], int(sys.argv[3])
im = Image.open(src)
frames = []
for f in ImageSequence.Iterator(im):
    f = f.copy().convert("RGB").convert("P", palette=Image.ADAPTIVE, colors=256).convert("RGB")
    x, y = f.size
    f = f.resize((w, int(y * w / x)), Image.LANCZOS)
    frames.append(f.convert("RGB").convert("P", palette=Image.ADAPTIVE, colors=256))
frames[0].save(out, "gif", save_all=True, append_images=frames[1:], loop=0,
               duration=im.info["duration"], optimize=True)
)";
  write_file(source, encode_animation(3, 90, 60));
  cfg.set("yswidth", 50);
  cfg.set("outpath", dir / "out");
  const std::string reference = dir / "reference.gif";
  auto st = support::run_program({"/usr/bin/python3", "-c", script, source, reference, "50"},
                                 dir / "python.out");
  if (!st.ok()) GTEST_SKIP() << "the host library is not available: " << st.describe();

  images.doing_gif(source, cfg);

  std::vector<ImagePtr> ours = read_frames(dir.plugin() + "/tmp.gif");
  std::vector<ImagePtr> theirs = read_frames(reference);
  ASSERT_EQ(ours.size(), 3u);
  ASSERT_EQ(theirs.size(), 3u);
  for (size_t i = 0; i < ours.size(); ++i) {
    Image a = imaging::convert(*ours[i], Mode::RGB), b = imaging::convert(*theirs[i], Mode::RGB);
    ASSERT_EQ(a.width(), 50);
    ASSERT_EQ(b.width(), 50);
    ASSERT_EQ(a.height(), b.height());
    size_t differing = 0;
    for (size_t k = 0; k < a.pixels().size(); ++k) differing += a.pixels()[k] != b.pixels()[k];
    EXPECT_EQ(differing, 0u) << "frame " << i;
  }
}

// An animation with a transparent colour keeps it through the compression-only frame loop as
// the host's script of that loop (bench/gif_pillow.py) keeps it: the first frame shows the
// colour transparent, and later frames leave those parts alone where they do not change.
TEST_F(DoingGifTest, TransparencyMatchesTheHostLibrarysFrameLoop) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  const std::string host = std::string(IMG_UTIL_SOURCE_DIR) + "/bench/gif_pillow.py";
  const char* make = R"(
import sys
from PIL import Image, ImageDraw
frames = []
for k in range(3):
    im = Image.new("P", (60, 40), 0)
    im.putpalette([9, 9, 9, 255, 0, 0, 0, 0, 255, 0, 200, 0] + [0] * 756)
    d = ImageDraw.Draw(im)
    d.ellipse((5 + 10 * k, 5, 30 + 10 * k, 35), fill=1)
    d.rectangle((40, 10, 55, 30), fill=2 + k % 2)
    frames.append(im)
frames[0].save(sys.argv[1], save_all=True, append_images=frames[1:], duration=100, loop=0,
               transparency=0, disposal=2)
)";
  fs::create_directories(dir / "host/site");
  auto made = support::run_program({"/usr/bin/python3", "-c", make, source}, dir / "make.out");
  if (!made.ok()) GTEST_SKIP() << "the host library is not available: " << made.describe();
  fs::copy_file(source, dir / "host/site/anim.gif");
  cfg.set("quality", 80);
  Value host_cfg = cfg;
  host_cfg.set("folder", dir / "host/site");
  host_cfg.set("outpath", dir / "host/out");
  write_file(dir / "host/cfg.json", to_json(host_cfg));
  fs::create_directories(dir / "host/plugin");
  auto st = support::run_program(
      {"/usr/bin/python3", host, dir / "host/cfg.json", dir / "host/plugin"}, dir / "host.out");
  ASSERT_TRUE(st.ok()) << read_file(dir / "host.out");

  images.doing_gif(source, cfg);

  std::vector<ImagePtr> ours = read_frames(dir.plugin() + "/tmp.gif");
  std::vector<ImagePtr> theirs = read_frames(dir / "host/plugin/tmp.gif");
  ASSERT_EQ(ours.size(), theirs.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    const Image a = imaging::convert(*ours[i], Mode::RGBA);
    const Image b = imaging::convert(*theirs[i], Mode::RGBA);
    EXPECT_EQ(a.pixels(), b.pixels()) << "frame " << i;
    EXPECT_EQ(a.row(0)[3], 0) << "frame " << i << " lost the transparent background";
  }
}

// Every frame keeps its display time and the animation its loop count (none: plays once),
// through compression and both watermarks; frames without a time get none.
TEST_F(DoingGifTest, FramesKeepTheirTimesAndTheLoopCount) {
  struct Case {
    const char* name;
    std::optional<int> loop;
    std::vector<int> delays;  // empty: the source has no graphic control extensions
    int maskmode;
  };
  const Case cases[] = {
      {"unequal times", 0, {70, 250, 1200}, 4},
      {"equal times", 0, {100, 100, 100}, 4},
      {"plays once", std::nullopt, {70, 250, 1200}, 4},
      {"plays three times", 3, {40, 40, 90}, 2},
      {"no times at all", 0, {}, 3},
  };
  write_file(dir / "logo.png", imaging::encode(Image(Mode::RGBA, 24, 24, {255, 0, 0, 255}), "PNG"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string g = encode_animation(3, 60, 40, false, c.loop);
    write_file(source, c.delays.empty() ? without_gces(g) : with_delays(g, c.delays));
    cfg = config(c.maskmode);
    images.doing_gif(source, cfg);
    EXPECT_EQ(files_listed(), 1u);
    ASSERT_EQ(tail(source), "Bmask");
    EXPECT_EQ(Image::open(source)->info.loop, c.loop);
    const std::vector<int> delays = frame_delays(read_file(source));
    if (c.delays.empty()) {
      for (int d : delays) EXPECT_EQ(d, 0);  // an extension written for disposal only
    } else {
      EXPECT_EQ(delays, c.delays);
    }
  }
}

TEST_F(DoingGifTest, LossyPassTakesWholeAnimationsInCompressionOnlyMode) {
  write_file(source, encode_animation(3, 60, 40));
  const std::string before = read_file(source);
  cfg.set("isgifsicle", true);
  const std::string args = dir / "args";
  write_file(dir.plugin() + "/gifsicle", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args + "'\n");
  ::chmod((dir.plugin() + "/gifsicle").c_str(), 0755);

  images.doing_gif(source, cfg);

  EXPECT_EQ(read_file(args), source + "\n-O3\n--colors\n256\n--lossy=20\n");
  EXPECT_FALSE(fs::exists(scratch(1)));
  EXPECT_EQ(read_file(source), before);  // the tool wrote nothing: rejected
  EXPECT_EQ(files_listed(), 0u);
}

TEST_F(DoingGifTest, LossyPassNeedsTheModeOnlyWhenEnabled) {
  write_file(source, encode_animation(2, 60, 40));
  cfg.set("isgifsicle", true);
  cfg.erase("maskmode");
  EXPECT_THROW(images.doing_gif(source, cfg), KeyError);
}

TEST_F(DoingGifTest, OutputFolderKeepsTheSource) {
  write_file(source, encode_animation(2, 60, 40));
  const std::string before = read_file(source);
  cfg = config(4);
  cfg.set("outpath", dir / "out");
  images.doing_gif(source, cfg);
  EXPECT_EQ(read_file(source), before);
  EXPECT_EQ(tail(dir / "out/anim.gif"), "Bmask");
}

TEST_F(DoingGifTest, ReplacingTheSourceKeepsItsPermissions) {
  write_file(source, encode_animation(2, 60, 40));
  ::chmod(source.c_str(), 0640);
  cfg = config(4);
  images.doing_gif(source, cfg);
  EXPECT_EQ(tail(source), "Bmask");
  EXPECT_EQ(read_frames(source).size(), 2u);
  EXPECT_EQ(fs::status(source).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(DoingGifTest, FailedWriteLeavesTheSourceWhole) {
  write_file(source, encode_animation(2, 60, 40));
  const std::string before = read_file(source);
  cfg = config(4);
  {
    FileOpsOverride restore;
    file_ops().renameat = [](int, const char*, int, const char*) {
      errno = ENOSPC;
      return -1;
    };
    EXPECT_THROW(images.doing_gif(source, cfg), OSError);
  }
  EXPECT_EQ(read_file(source), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(site()), fs::directory_iterator()), 1);
}

TEST_F(DoingGifTest, DebugLineBeforeTheFrames) {
  std::vector<std::string> lines;
  set_line_sink([&](const std::string& l) { lines.push_back(l); });
  set_debug(true);
  write_file(source, encode_animation(2, 60, 40));
  cfg = config(4);
  images.doing_gif(source, cfg);
  set_debug(false);
  set_line_sink(nullptr);
  const std::string start = "(" + py_repr(std::string_view(source)) + ", 'start', '..')";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), start), 1) << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace img_util
