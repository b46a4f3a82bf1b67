// GIF: header facts, every frame composited as a viewer shows it, animated writing.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "imaging/codec_util.hpp"
#include "imaging/imaging.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

using imaging::encode;
using imaging::EncodeOptions;
using imaging::FrameReader;

// ---- GIFs written by hand with giflib, so every field is ours to choose ----------------------

struct HandFrame {
  HandFrame(int x_, int y_, int w_, int h_, std::string idx_, int disposal_ = 0,
            std::optional<int> transparency_ = std::nullopt,
            std::optional<int> delay_cs_ = std::nullopt, bool interlace_ = false)
      : x(x_),
        y(y_),
        w(w_),
        h(h_),
        idx(std::move(idx_)),
        disposal(disposal_),
        transparency(transparency_),
        delay_cs(delay_cs_),
        interlace(interlace_) {}
  int x, y, w, h;
  std::string idx;  // w*h palette indices
  int disposal = 0;
  std::optional<int> transparency;
  std::optional<int> delay_cs;  // no GCE when absent and nothing else needs one
  bool interlace = false;
};

extern "C" int to_string(GifFileType* gif, const GifByteType* d, int n) {
  static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(d), n);
  return n;
}

// Palette: 0 black, 1 red, 2 green, 3 blue.
std::string hand_gif(int sw, int sh, const std::vector<HandFrame>& frames,
                     std::optional<int> loop = std::nullopt) {
  std::string out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, to_string, &err);
  EGifSetGifVersion(gif, true);
  GifColorType colors[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifPutScreenDesc(gif, sw, sh, 8, 0, map);
  if (loop) {
    unsigned char sub[] = {1, static_cast<unsigned char>(*loop), 0};
    EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
    EGifPutExtensionBlock(gif, 3, sub);
    EGifPutExtensionTrailer(gif);
  }
  for (const auto& f : frames) {
    if (f.delay_cs || f.transparency || f.disposal) {
      unsigned char gce[4] = {
          static_cast<unsigned char>(f.disposal << 2 | (f.transparency ? 1 : 0)),
          static_cast<unsigned char>(f.delay_cs.value_or(0)), 0,
          static_cast<unsigned char>(f.transparency.value_or(0))};
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, gce);
    }
    EGifPutImageDesc(gif, f.x, f.y, f.w, f.h, f.interlace, nullptr);
    std::vector<int> order;
    if (f.interlace) {
      for (int p : {0, 1, 2, 3})
        for (int y = std::array{0, 4, 2, 1}[p]; y < f.h; y += std::array{8, 8, 4, 2}[p])
          order.push_back(y);
    } else {
      for (int y = 0; y < f.h; ++y) order.push_back(y);
    }
    for (int y : order) {
      std::string row = f.idx.substr(static_cast<size_t>(y) * f.w, f.w);
      EGifPutLine(gif, reinterpret_cast<GifPixelType*>(row.data()), f.w);
    }
  }
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  return out;
}

std::string idx(std::initializer_list<int> v) {
  std::string s;
  for (int i : v) s += static_cast<char>(i);
  return s;
}

// One letter per pixel of an RGBA or P frame: K R G B for the opaque palette colours,
// '_' for transparent, '?' for anything else.
std::string letters(const Image& im) {
  std::string s;
  for (int y = 0; y < im.height(); ++y) {
    if (y) s += '/';
    for (int x = 0; x < im.width(); ++x) {
      Rgba c{};
      if (im.mode() == Mode::P) {
        int i = im.row(y)[x];
        c = im.info.transparency == i ? Rgba{0, 0, 0, 0} : im.palette.at(i);
      } else {
        const uint8_t* p = im.row(y) + 4 * x;
        c = {p[0], p[1], p[2], p[3]};
      }
      if (c[3] == 0)
        s += '_';
      else if (c == Rgba{0, 0, 0, 255})
        s += 'K';
      else if (c == Rgba{255, 0, 0, 255})
        s += 'R';
      else if (c == Rgba{0, 255, 0, 255})
        s += 'G';
      else if (c == Rgba{0, 0, 255, 255})
        s += 'B';
      else
        s += '?';
    }
  }
  return s;
}

std::vector<std::string> all_frames(const std::string& gif) {
  auto im = Image::open_bytes(gif, "x.gif");
  FrameReader reader(*im);
  std::vector<std::string> out;
  while (auto f = reader.next()) out.push_back(letters(*f));
  return out;
}

TEST(Gif, HeaderGivesFramesDurationLoopAndPalette) {
  std::string gif = hand_gif(2, 1,
                             {{0, 0, 2, 1, idx({1, 2}), 0, std::nullopt, 7},
                              {0, 0, 2, 1, idx({3, 3}), 0, std::nullopt, 20}},
                             0);
  auto im = Image::open_bytes(gif, "a.gif");
  EXPECT_EQ(im->info.format, "GIF");
  EXPECT_EQ(im->mode(), Mode::P);
  EXPECT_EQ(im->frame_count(), 2);
  EXPECT_TRUE(im->is_animated());
  EXPECT_EQ(im->info.duration, 70);
  EXPECT_EQ(im->info.loop, 0);
  im->load();
  EXPECT_EQ(letters(*im), "RG");

  auto still = Image::open_bytes(hand_gif(1, 1, {{0, 0, 1, 1, idx({2})}}), "s.gif");
  EXPECT_EQ(still->frame_count(), 1);
  EXPECT_FALSE(still->info.duration.has_value());
  EXPECT_FALSE(still->info.loop.has_value());
}

TEST(Gif, FramesAreCompositedByDisposalAndTransparency) {
  struct Case {
    const char* name;
    std::vector<HandFrame> frames;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"keep then transparent hole",
       {{0, 0, 4, 1, idx({1, 1, 1, 1}), 1},
        {1, 0, 2, 1, idx({2, 0}), 1, 0},
        {3, 0, 1, 1, idx({3}), 1}},
       {"RRRR", "RGRR", "RGRB"}},
      {"restore to background (transparent frame)",
       {{0, 0, 4, 1, idx({1, 1, 1, 1}), 1},
        {1, 0, 2, 1, idx({2, 0}), 2, 0},
        {3, 0, 1, 1, idx({3}), 1}},
       {"RRRR", "RGRR", "R__B"}},
      {"restore to background colour (opaque frame)",
       {{0, 0, 4, 1, idx({1, 1, 1, 1}), 1}, {1, 0, 2, 1, idx({2, 2}), 2}, {3, 0, 1, 1, idx({3})}},
       {"RRRR", "RGGR", "RKKB"}},
      {"restore to previous",
       {{0, 0, 4, 1, idx({1, 1, 1, 1}), 1}, {0, 0, 2, 1, idx({2, 2}), 3}, {3, 0, 1, 1, idx({3})}},
       {"RRRR", "GGRR", "RRRB"}},
      {"first frame smaller than the screen, transparent fill",
       {{1, 0, 1, 1, idx({3}), 0, 0}},
       {"_B"}},
      {"later frames build on the first as shown, its fill included",
       {{1, 0, 1, 1, idx({3})}, {1, 0, 1, 1, idx({2})}},
       {"KB", "KG"}},
      {"frame reaching past the screen is clipped",
       {{0, 0, 2, 1, idx({1, 1})}, {1, 0, 3, 1, idx({2, 3, 3})}},
       {"RR", "RG"}},
      {"interlaced",
       {{0, 0, 1, 5, idx({1, 2, 3, 0, 1}), 0, std::nullopt, std::nullopt, true}},
       {"R/G/B/K/R"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int sw = 0, sh = 0;
    for (const auto& f : c.frames) sw = std::max(sw, f.x + f.w);
    for (const auto& f : c.frames) sh = std::max(sh, f.y + f.h);
    if (std::string(c.name).find("clipped") != std::string::npos) sw = 2;  // frame 2 overhangs
    EXPECT_EQ(all_frames(hand_gif(sw, sh, c.frames)), c.expected);
  }
}

TEST(Gif, FrameDurationsComeWithEachFrame) {
  std::string gif = hand_gif(1, 1,
                             {{0, 0, 1, 1, idx({1}), 0, std::nullopt, 5},
                              {0, 0, 1, 1, idx({2}), 0, std::nullopt, 9},
                              {0, 0, 1, 1, idx({3})}});
  auto im = Image::open_bytes(gif, "d.gif");
  FrameReader reader(*im);
  EXPECT_EQ(reader.next()->info.duration, 50);
  EXPECT_EQ(reader.next()->info.duration, 90);
  EXPECT_FALSE(reader.next()->info.duration.has_value());
  EXPECT_EQ(reader.next(), nullptr);
}

Image solid_p(int w, int h, std::vector<Rgba> palette, std::vector<uint8_t> pixels) {
  Image im(Mode::P, w, h);
  im.palette = std::move(palette);
  im.pixels() = std::move(pixels);
  return im;
}

TEST(Gif, AnimatedWriteReadsBackFrameByFrame) {
  const std::vector<Rgba> pal = {{0, 0, 0, 255},
                                 {255, 0, 0, 255},
                                 {0, 255, 0, 255},
                                 {0, 0, 255, 255},
                                 {9, 9, 9, 255}};  // entry 4 never used
  Image a = solid_p(3, 2, pal, {1, 1, 1, 1, 1, 1});
  auto b = std::make_shared<Image>(solid_p(3, 2, pal, {1, 2, 1, 1, 1, 1}));
  auto same_as_b = std::make_shared<Image>(*b);
  auto c = std::make_shared<Image>(
      solid_p(3, 2, {{0, 0, 255, 255}, {0, 255, 0, 255}}, {0, 0, 0, 1, 1, 1}));
  for (bool optimize : {false, true}) {
    SCOPED_TRACE(optimize ? "optimize" : "plain");
    EncodeOptions o;
    o.save_all = true;
    o.append_images = {b, same_as_b, c};
    o.loop = 0;
    o.duration = 120;
    o.optimize = optimize;
    std::string gif = encode(a, "GIF", o);
    auto im = Image::open_bytes(gif, "anim.gif");
    EXPECT_EQ(im->width(), 3);
    EXPECT_EQ(im->height(), 2);
    EXPECT_EQ(im->info.loop, 0);
    EXPECT_EQ(im->info.duration, 120);
    if (optimize) {
      // The repeated frame is merged into the one before it, which shows twice as long.
      EXPECT_EQ(im->frame_count(), 3);
      EXPECT_EQ(all_frames(gif), (std::vector<std::string>{"RRR/RRR", "RGR/RRR", "BBB/GGG"}));
      FrameReader reader(*im);
      reader.next();
      EXPECT_EQ(reader.next()->info.duration, 240);
      EXPECT_LE(im->palette.size(), 2u);  // unused entries dropped
    } else {
      EXPECT_EQ(im->frame_count(), 4);
      EXPECT_EQ(all_frames(gif),
                (std::vector<std::string>{"RRR/RRR", "RGR/RRR", "RGR/RRR", "BBB/GGG"}));
    }
  }
}

// Frames are compared by the colours they show, not by their indices: the same indices over
// another palette are a change, other indices of the same colour are none.
TEST(Gif, OptimizeComparesFramesByColourNotByIndex) {
  const Rgba R{255, 0, 0, 255}, G{0, 255, 0, 255}, B{0, 0, 255, 255};
  Image first = solid_p(3, 2, {R, G}, {0, 0, 0, 1, 1, 1});
  auto recoloured = std::make_shared<Image>(solid_p(3, 2, {B, G}, {0, 0, 0, 1, 1, 1}));
  auto reindexed = std::make_shared<Image>(solid_p(3, 2, {G, G, B}, {2, 2, 2, 0, 1, 0}));
  EncodeOptions o;
  o.save_all = true;
  o.append_images = {recoloured, reindexed};
  o.duration = 100;
  o.optimize = true;
  std::string gif = encode(first, "GIF", o);
  EXPECT_EQ(all_frames(gif), (std::vector<std::string>{"RRR/GGG", "BBB/GGG"}));
  auto im = Image::open_bytes(gif, "c.gif");
  FrameReader reader(*im);
  reader.next();
  EXPECT_EQ(reader.next()->info.duration, 200);  // the look-alike third frame merged into it
}

// Frames given one at a time make the same bytes as one encode() of them all; a writer told
// that no frame has transparency writes them as it goes and gives the same bytes again.
TEST(Gif, WriterFrameByFrameMatchesOneEncode) {
  const Rgba K{0, 0, 0, 255}, R{255, 0, 0, 255}, G{0, 255, 0, 255}, B{0, 0, 255, 255};
  auto p = [](std::vector<Rgba> pal, std::vector<uint8_t> px) {
    return std::make_shared<const Image>(solid_p(3, 2, std::move(pal), std::move(px)));
  };
  auto see_through = [&](std::vector<uint8_t> px) {
    auto im = std::make_shared<Image>(solid_p(3, 2, {K, R, G}, std::move(px)));
    im->info.transparency = 0;
    return std::shared_ptr<const Image>(im);
  };
  const auto a = p({R, G}, {0, 0, 0, 1, 1, 1}), b = p({B, G, R}, {2, 0, 2, 1, 1, 1}),
             c = p({G, B}, {1, 1, 1, 0, 0, 0});
  const struct {
    const char* name;
    std::vector<std::shared_ptr<const Image>> frames;
    bool opaque;
  } cases[] = {{"one_frame", {a}, true},
               {"repeats_merged", {a, a, b, b, b, c, a}, true},
               {"all_the_same", {a, a, a}, true},
               {"changes", {a, b, c}, true},
               {"transparency_in_the_middle", {a, see_through({0, 1, 2, 2, 1, 0}), c}, false}};
  for (const auto& tc : cases) {
    for (bool optimize : {false, true}) {
      SCOPED_TRACE(std::string(tc.name) + (optimize ? " optimize" : " plain"));
      EncodeOptions o;
      o.save_all = true;
      o.loop = 0;
      o.duration = 70;
      o.optimize = optimize;
      o.append_images.assign(tc.frames.begin() + 1, tc.frames.end());
      const std::string whole = encode(*tc.frames.front(), "GIF", o);
      o.append_images.clear();
      for (bool opaque : {false, true}) {
        if (opaque && !tc.opaque) continue;
        imaging::GifWriter writer(o, opaque);
        for (const auto& f : tc.frames) writer.add(f);
        EXPECT_EQ(writer.finish(), whole) << (opaque ? "opaque" : "held");
      }
    }
  }
}

TEST(Gif, WriterRefusesWhatItWasToldNotToExpect) {
  EncodeOptions o;
  o.save_all = true;
  imaging::GifWriter none(o, true);
  EXPECT_THROW(none.finish(), ValueError);

  auto first = std::make_shared<const Image>(solid_p(2, 1, {{255, 0, 0, 255}}, {0, 0}));
  auto transparent = std::make_shared<Image>(solid_p(2, 1, {{255, 0, 0, 255}}, {0, 0}));
  transparent->info.transparency = 0;
  auto larger = std::make_shared<const Image>(solid_p(3, 1, {{255, 0, 0, 255}}, {0, 0, 0}));
  for (const auto& odd : {std::shared_ptr<const Image>(transparent), larger}) {
    imaging::GifWriter writer(o, true);
    writer.add(first);
    EXPECT_THROW(writer.add(odd), ValueError);
  }
}

TEST(Gif, TransparencyIndexIsKept) {
  Image a = solid_p(2, 1, {{0, 0, 0, 255}, {255, 0, 0, 255}}, {0, 1});
  a.info.transparency = 0;
  auto im = Image::open_bytes(encode(a, "GIF"), "t.gif");
  EXPECT_EQ(im->info.transparency, 0);
  im->load();
  EXPECT_EQ(letters(*im), "_R");
}

TEST(Gif, OtherModesAreWrittenThroughAPalette) {
  for (Mode mode : {Mode::L, Mode::RGB, Mode::RGBA}) {
    SCOPED_TRACE(mode_name(mode));
    Image src(mode, 4, 2, {0, 0, 255, 255});
    auto im = Image::open_bytes(encode(src, "GIF"), "m.gif");
    EXPECT_EQ(im->mode(), Mode::P);
    im->load();
    const Rgba& c = im->palette.at(im->row(1)[3]);
    if (mode == Mode::L)
      EXPECT_EQ(c, (Rgba{0, 0, 0, 255}));
    else
      EXPECT_EQ(c, (Rgba{0, 0, 255, 255}));
  }
}

TEST(Gif, TruncatedAnimationYieldsTheFramesThatArrived) {
  std::vector<HandFrame> frames;
  for (int i = 0; i < 4; ++i)
    frames.push_back({0, 0, 16, 16, std::string(256, char(1 + i % 3)), 1});
  std::string gif = hand_gif(16, 16, frames);
  for (size_t n = 0; n < gif.size(); n += 5) {
    try {
      auto im = Image::open_bytes(gif.substr(0, n), "cut.gif");
      im->load();
      FrameReader reader(*im);
      int count = 0;
      while (reader.next()) ++count;
      EXPECT_LE(count, im->frame_count());
    } catch (const ImageError&) {
    }
  }
  auto cut = Image::open_bytes(gif.substr(0, gif.size() - 3), "cut.gif");
  EXPECT_EQ(cut->frame_count(), 4);
  EXPECT_EQ(all_frames(gif.substr(0, gif.size() - 3)).size(), 4u);
}

// ---- limits on animations --------------------------------------------------------------------

// The pixel limit for one test, restored however the test ends.
class PixelLimitFor {
 public:
  explicit PixelLimitFor(int64_t pixels) : saved_(pixel_limit()) { set_pixel_limit(pixels); }
  ~PixelLimitFor() { set_pixel_limit(saved_); }
  PixelLimitFor(const PixelLimitFor&) = delete;
  PixelLimitFor& operator=(const PixelLimitFor&) = delete;

 private:
  int64_t saved_;
};

struct AnimationCase {
  const char* what;
  int width, height, frames;
  const char* refusal;  // empty: every frame is read
};

// Frames of one pixel on a large screen cost a few bytes each in the file and a whole screen
// each to decode and work on: the limits look at the screen, and refuse before anything is
// decoded or allocated.
TEST(GifLimits, AnimationsBeyondTheFrameOrPixelLimitAreRefusedBeforeDecoding) {
  const AnimationCase cases[] = {
      {"as many frames as allowed", 1, 1, imaging::kFrameLimit, ""},
      {"one frame more", 1, 1, imaging::kFrameLimit + 1,
       "animation of 5001 frames exceeds the limit of 5000 frames: 'x.gif'"},
      {"three frames of 12650x12650", 12650, 12650, 3,
       "animation of 3 frames of 12650x12650 pixels (480067500 in all) exceeds the limit of "
       "178956970 pixels: 'x.gif'"},
  };
  for (const AnimationCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto im = Image::open_bytes(gif_of_pixel_frames(c.width, c.height, c.frames), "x.gif");
    EXPECT_EQ(im->frame_count(), c.frames);  // opening counts the frames and decodes nothing
    try {
      FrameReader reader(*im);
      int read = 0;
      while (reader.next()) ++read;
      EXPECT_EQ(std::string(c.refusal), "") << "read " << read << " frames";
      EXPECT_EQ(read, c.frames);
    } catch (const ImageError& e) {
      EXPECT_EQ(std::string(e.what()), c.refusal);
    }
  }
}

TEST(GifLimits, FramesCountTogetherAgainstThePixelLimit) {
  PixelLimitFor limit(3 * 40 * 30);
  EXPECT_EQ(all_frames(gif_of_pixel_frames(40, 30, 3)).size(), 3u);
  EXPECT_THROW(all_frames(gif_of_pixel_frames(40, 30, 4)), ImageError);
  // A still image is held to the limit on its own, as every image is.
  auto still = Image::open_bytes(gif_of_pixel_frames(60, 60, 1), "still.gif");
  EXPECT_EQ(FrameReader(*still).next()->width(), 60);
}

}  // namespace
}  // namespace img_util::test
