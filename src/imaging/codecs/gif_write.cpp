// Writing GIFs through giflib's EGifPut* API: images turned into frames of indices and placed on
// the first frame's screen, the write paths of a single image and of an animation (streamed
// when the caller vouches that no frame has transparency, held otherwise), and the encoder
// every frame goes out through. The frame optimiser they call is in gif_optimize.cpp.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imaging/codecs/gif.hpp"

namespace img_util::imaging::codec {

using namespace gif_detail;

namespace {

// ---- frames ---------------------------------------------------------------------------------

Frame to_frame(const Image& src) {
  Frame f;
  f.width = src.width();
  f.height = src.height();
  std::optional<Image> converted;
  if (src.mode() != Mode::P && src.mode() != Mode::L) converted.emplace(convert(src, Mode::P));
  const Image& p = converted ? *converted : src;
  if (converted)
    f.own(std::move(converted->pixels()));
  else
    f.idx = src.pixels().data();
  if (p.mode() == Mode::L) {
    f.palette = grey_palette();
  } else {
    f.palette = p.palette.empty() ? grey_palette() : p.palette;
    if (f.palette.size() > 256) f.palette.resize(256);
    f.transparency = p.info.transparency;
    if (f.transparency && (*f.transparency < 0 || *f.transparency > 255)) f.transparency.reset();
    // Indices beyond the palette show black; the colour table written must hold every index the
    // pixels and the transparency use, or readers disagree on what such a pixel is.
    const size_t n = static_cast<size_t>(f.width) * f.height;
    const int top =
        std::max<int>(n ? *std::max_element(f.idx, f.idx + n) : 0, f.transparency.value_or(0));
    if (static_cast<size_t>(top) >= f.palette.size())
      f.palette.resize(static_cast<size_t>(top) + 1, Rgba{0, 0, 0, 255});
    if (!f.transparency)
      for (size_t i = 0; i < f.palette.size(); ++i)
        if (f.palette[i][3] == 0) {
          f.transparency = static_cast<int>(i);
          break;
        }
  }
  f.rect = {0, 0, f.width, f.height};
  return f;
}

// Places a later frame on the first one's screen of `sw` x `sh`: at the top left, clipped.
void place_on_screen(Frame& f, int sw, int sh) {
  if (!f.transparency && (f.width < sw || f.height < sh)) {
    // The uncovered part shows through as transparent: an index the pixels do not use, so
    // that none of them turns transparent too. (A frame that uses all 256 loses its last.)
    make_transparent(f, unused_index(f).value_or(255));
  }
  // A frame without transparency covers the screen: the fill never shows.
  std::vector<uint8_t> placed(static_cast<size_t>(sw) * sh,
                              static_cast<uint8_t>(f.transparency.value_or(0)));
  for (int y = 0; y < std::min(sh, f.height); ++y)
    std::memcpy(&placed[static_cast<size_t>(y) * sw], f.idx + static_cast<size_t>(y) * f.width,
                static_cast<size_t>(std::min(sw, f.width)));
  f.own(std::move(placed));
  f.width = sw, f.height = sh;
  f.rect = {0, 0, sw, sh};
}

// ---- giflib's encoder -----------------------------------------------------------------------

extern "C" int write_memory(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<std::string*>(gif->UserData);
  try {
    out->append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
  } catch (...) {
    return 0;
  }
  return n;
}

struct MapDeleter {
  void operator()(ColorMapObject* m) const { GifFreeMapObject(m); }
};
using MapPtr = std::unique_ptr<ColorMapObject, MapDeleter>;

struct EGifCloser {
  void operator()(GifFileType* gif) const {
    int err = 0;
    EGifCloseFile(gif, &err);
  }
};

// The size of the colour table that holds `pal`: giflib's tables hold a power of two entries,
// at least two.
int table_size(const std::vector<Rgba>& pal) {
  int n = 2;
  while (n < static_cast<int>(pal.size())) n *= 2;
  return n;
}

MapPtr make_map(const std::vector<Rgba>& pal) {
  const int n = table_size(pal);
  std::vector<GifColorType> colors(static_cast<size_t>(n), GifColorType{0, 0, 0});
  for (size_t i = 0; i < pal.size(); ++i) colors[i] = {pal[i][0], pal[i][1], pal[i][2]};
  MapPtr map(GifMakeMapObject(n, colors.data()));
  if (!map) throw ImageError("out of memory writing GIF");
  return map;
}

bool same_palette(const ColorMapObject* map, const std::vector<Rgba>& pal) {
  if (map->ColorCount != table_size(pal)) return false;
  for (size_t i = 0; i < pal.size(); ++i)
    if (map->Colors[i].Red != pal[i][0] || map->Colors[i].Green != pal[i][1] ||
        map->Colors[i].Blue != pal[i][2])
      return false;
  return true;
}

[[noreturn]] void write_failed(int err) { throw ImageError("cannot write GIF: " + gif_error(err)); }

// The giflib encoder with its output: the header goes out with the first frame, whose palette
// becomes the global one.
class Output {
 public:
  // Writes `f`; the first frame with the screen (its size) and, for an animation, the loop
  // count.
  void put(const Frame& f, bool animated, std::optional<int> loop) {
    const bool first = !gif_;
    if (first) start(f, animated, loop);
    if (f.duration_ms >= 0 || f.transparency || f.disposal) {
      int delay = f.duration_ms >= 0 ? std::min(f.duration_ms / 10, 65535) : 0;
      unsigned char gce[4] = {
          static_cast<unsigned char>((f.disposal & 7) << 2 | (f.transparency ? 1 : 0)),
          static_cast<unsigned char>(delay & 0xFF), static_cast<unsigned char>(delay >> 8),
          static_cast<unsigned char>(f.transparency.value_or(0))};
      if (EGifPutExtension(gif_.get(), GRAPHICS_EXT_FUNC_CODE, 4, gce) == GIF_ERROR)
        write_failed(gif_->Error);
    }
    MapPtr local;
    if (!first && !same_palette(global_.get(), f.palette)) local = make_map(f.palette);
    // giflib keeps a copy of an image's local map until the next image replaces it, but an
    // image without one drops the copy unfreed: it is freed here instead.
    if (!local && gif_->Image.ColorMap) {
      GifFreeMapObject(gif_->Image.ColorMap);
      gif_->Image.ColorMap = nullptr;
    }
    if (EGifPutImageDesc(gif_.get(), f.rect.x, f.rect.y, f.rect.w, f.rect.h, false, local.get()) ==
        GIF_ERROR)
      write_failed(gif_->Error);
    line_.resize(static_cast<size_t>(f.rect.w));
    for (int y = f.rect.y; y < f.rect.y + f.rect.h; ++y) {
      // giflib masks the line in place, so it gets a copy in any case.
      const uint8_t* from = f.idx + static_cast<size_t>(y) * f.width + f.rect.x;
      for (size_t x = 0; x < line_.size(); ++x) line_[x] = f.remap[from[x]];
      if (EGifPutLine(gif_.get(), line_.data(), f.rect.w) == GIF_ERROR) write_failed(gif_->Error);
    }
  }

  std::string finish() {
    int err = 0;
    if (EGifCloseFile(gif_.release(), &err) == GIF_ERROR) write_failed(err);
    return std::move(out_);
  }

 private:
  void start(const Frame& f, bool animated, std::optional<int> loop) {
    int err = 0;
    gif_.reset(EGifOpen(&out_, write_memory, &err));
    if (!gif_) write_failed(err);
    EGifSetGifVersion(gif_.get(), true);
    global_ = make_map(f.palette);
    if (EGifPutScreenDesc(gif_.get(), f.width, f.height, 8, 0, global_.get()) == GIF_ERROR)
      write_failed(gif_->Error);
    if (animated && loop) {
      const unsigned char app[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
      const unsigned char sub[] = {1, static_cast<unsigned char>(*loop & 0xFF),
                                   static_cast<unsigned char>((*loop >> 8) & 0xFF)};
      if (EGifPutExtensionLeader(gif_.get(), APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
          EGifPutExtensionBlock(gif_.get(), sizeof app, app) == GIF_ERROR ||
          EGifPutExtensionBlock(gif_.get(), sizeof sub, sub) == GIF_ERROR ||
          EGifPutExtensionTrailer(gif_.get()) == GIF_ERROR)
        write_failed(gif_->Error);
    }
  }

  std::string out_;  // declared before gif_: giflib writes into it until closed
  std::unique_ptr<GifFileType, EGifCloser> gif_;
  MapPtr global_;
  std::vector<GifPixelType> line_;
};

}  // namespace

// ---- the write paths ------------------------------------------------------------------------

// Frames in, GIF out. Every frame is placed on the first one's screen and, with optimize,
// compared with the last one kept. Frames are held until finish() (whether any frame has
// transparency decides how all are written), except when the caller vouches that none has:
// then each frame is written as soon as the next one shows that it will not be merged with it.
struct GifAssembler {
  GifAssembler(const EncodeOptions& o, bool opaque_frames)
      : optimize(o.optimize), loop(o.loop), duration(o.duration), opaque(opaque_frames) {}

  void add(const Image& src, std::shared_ptr<const Image> keep) {
    Frame f = to_frame(src);
    f.keep = std::move(keep);
    // Durations: one for all when given, else each image's own.
    auto d = duration ? duration : src.info.duration;
    if (d) f.duration_ms = std::max(0, *d);
    if (added == 0) {
      sw = f.width, sh = f.height;
      if (!loop) loop = src.info.loop;
    } else if (f.width != sw || f.height != sh) {
      if (opaque)
        throw ValueError("a GIF frame of another size than the first, where none was expected");
      place_on_screen(f, sw, sh);
    }
    ++added;
    if (!opaque) return held.push_back(std::move(f));
    // Only the first frame may have a transparent colour: later frames are drawn over it where
    // their colours differ from the frame before, so its transparent parts stay transparent
    // where the picture does not change, as Pillow writes such an animation.
    if (f.transparency && added > 1)
      throw ValueError("a GIF frame with transparency, where none was expected");
    stream(std::move(f));
  }

  std::string finish() {
    if (!opaque) {
      std::vector<Frame> frames = std::move(held);
      if (any_transparent(frames)) return finish_transparent(std::move(frames));
      // Nothing transparent after all: written as a vouched-opaque stream is.
      for (Frame& f : frames) stream(std::move(f));
    }
    put(*last, /*animated=*/written > 0, /*last_frame=*/true);
    return out.finish();
  }

 private:
  // The next frame of an animation without transparency. It is written once the frame after
  // it is known not to look the same. Optimized, every frame is drawn over the last (disposal
  // 1) once a second one comes in, cropped to its change.
  void stream(Frame f) {
    if (!last) {
      last = std::move(f);
      return;
    }
    if (optimize) {
      last->disposal = f.disposal = 1;
      Rect r = changed_rect(*last, f, /*see_transparency=*/false);
      if (r.w == 0) return merge_into(*last, f);
      f.rect = r;
    }
    put(*last, /*animated=*/true, /*last_frame=*/false);
    last = std::move(f);
  }

  // A transparent pixel of a cropped frame would let the older picture show through, so an
  // animation with transparency keeps whole frames, each replacing the last (disposal 2).
  std::string finish_transparent(std::vector<Frame> frames) {
    if (frames.size() > 1) {
      if (optimize) frames = without_repeats(std::move(frames));
      for (Frame& f : frames) f.disposal = 2;
    }
    const bool animated = frames.size() > 1;
    for (Frame& f : frames) put(f, animated, /*last_frame=*/&f == &frames.back());
    return out.finish();
  }

  // Every write path sends its frames here, in order: optimized, the palette is cut down to
  // the colours of the part written; a frame disposed of (2) before another one gets a
  // transparent index.
  void put(Frame& f, bool animated, bool last_frame) {
    if (optimize) drop_unused_colors(f);
    if (f.disposal == 2 && !last_frame) give_transparent_index(f);
    out.put(f, animated, loop);
    ++written;
  }

  static bool any_transparent(const std::vector<Frame>& frames) {
    return std::any_of(frames.begin(), frames.end(),
                       [](const Frame& f) { return f.transparency.has_value(); });
  }

  const bool optimize;
  std::optional<int> loop;
  const std::optional<int> duration;
  const bool opaque;
  int sw = 0, sh = 0;
  size_t added = 0, written = 0;
  std::vector<Frame> held;    // every frame, unless vouched opaque
  std::optional<Frame> last;  // streamed: the last frame kept, not yet written
  Output out;
};

std::string gif_encode(const Image& im, const EncodeOptions& opts) {
  // The images outlive the call, so the frames read them where they are.
  GifAssembler gif(opts, /*opaque_frames=*/false);
  gif.add(im, nullptr);
  if (opts.save_all)
    for (const auto& extra : opts.append_images)
      if (extra) gif.add(*extra, nullptr);
  return gif.finish();
}

}  // namespace img_util::imaging::codec

namespace img_util::imaging {

GifWriter::GifWriter(const EncodeOptions& opts, bool opaque_frames)
    : gif_(std::make_unique<codec::GifAssembler>(opts, opaque_frames)) {}

GifWriter::~GifWriter() = default;

void GifWriter::add(std::shared_ptr<const Image> frame) {
  const Image& im = *frame;
  gif_->add(im, std::move(frame));
  ++frames_;
}

std::string GifWriter::finish() {
  if (frames_ == 0) throw ValueError("a GIF needs at least one frame");
  return gif_->finish();
}

}  // namespace img_util::imaging
