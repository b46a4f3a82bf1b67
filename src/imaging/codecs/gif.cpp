// GIF through giflib: the record-level reading API (so frames stream one at a time and the
// header scan skips compressed data without decoding it) and the EGifPut* writing API.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {
namespace {

// ---- reading --------------------------------------------------------------------------------

std::string gif_error(int err) {
  const char* text = GifErrorString(err);
  return text ? text : "error " + std::to_string(err);
}

struct MemoryInput {
  const unsigned char* data;
  size_t size;
  size_t pos = 0;
};

extern "C" int read_memory(GifFileType* gif, GifByteType* out, int n) {
  auto* in = static_cast<MemoryInput*>(gif->UserData);
  size_t have = std::min(static_cast<size_t>(std::max(n, 0)), in->size - in->pos);
  std::memcpy(out, in->data + in->pos, have);
  in->pos += have;
  return static_cast<int>(have);
}

struct DGifCloser {
  void operator()(GifFileType* gif) const {
    int err = 0;
    DGifCloseFile(gif, &err);
  }
};
using DGifPtr = std::unique_ptr<GifFileType, DGifCloser>;

// What a graphic control extension says about the image that follows it.
struct Control {
  int disposal = 0;
  std::optional<int> transparency;
  std::optional<int> duration_ms;
};

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

std::vector<Rgba> palette_of(const ColorMapObject* map) {
  std::vector<Rgba> pal;
  if (!map || !map->Colors) return pal;
  int n = std::clamp(map->ColorCount, 0, 256);
  pal.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) pal.push_back({map->Colors[i].Red, map->Colors[i].Green,
                                             map->Colors[i].Blue, 255});
  return pal;
}

std::vector<Rgba> grey_palette() {
  std::vector<Rgba> pal(256);
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 255};
  return pal;
}

// Walks a GIF's records in order; one frame's indices at a time.
class Decoder {
 public:
  Decoder(std::string_view data, const std::string& name)
      : input_{reinterpret_cast<const unsigned char*>(data.data()), data.size()}, name_(name) {
    int err = 0;
    gif_.reset(DGifOpen(&input_, read_memory, &err));
    if (!gif_)
      throw ImageError("cannot read GIF header (" + gif_error(err) + ") in " +
                           quoted(name),
                       name);
    check_size(gif_->SWidth, gif_->SHeight, name);
    global_ = palette_of(gif_->SColorMap);
    background_ = gif_->SBackGroundColor;
  }

  int width() const { return gif_->SWidth; }
  int height() const { return gif_->SHeight; }
  const std::vector<Rgba>& global_palette() const { return global_; }
  int background() const { return background_; }
  std::optional<int> loop() const { return loop_; }
  const std::string& name() const { return name_; }

  // Reads records up to the next image descriptor. False at the end of the stream, also when
  // the data ends or breaks between images (what came before stays valid).
  bool next_image(Control& ctl, Rect& rect, std::vector<Rgba>& palette, bool& interlaced) {
    ctl = Control{};
    for (;;) {
      GifRecordType type;
      if (DGifGetRecordType(gif_.get(), &type) == GIF_ERROR) return false;
      if (type == TERMINATE_RECORD_TYPE) return false;
      if (type == EXTENSION_RECORD_TYPE) {
        if (!read_extension(ctl)) return false;
        continue;
      }
      if (type != IMAGE_DESC_RECORD_TYPE) return false;
      if (DGifGetImageDesc(gif_.get()) == GIF_ERROR) return false;
      const GifImageDesc& d = gif_->Image;
      rect = {d.Left, d.Top, d.Width, d.Height};
      interlaced = d.Interlace;
      palette = d.ColorMap ? palette_of(d.ColorMap) : global_;
      if (palette.empty()) palette = grey_palette();
      return true;
    }
  }

  // Decodes the current image row by row, calling on_row(y, indices) for each row y of the
  // image (in the order the rows are stored), so no image-sized buffer is needed. Returns
  // false when the data ended or broke inside the image: the rows before stay given.
  template <class OnRow>
  bool read_rows(const Rect& r, bool interlaced, OnRow&& on_row) {
    if (r.w <= 0 || r.h <= 0) return skip_image();  // an empty frame draws nothing
    check_size(r.w, r.h, name_);
    row_.resize(static_cast<size_t>(r.w));
    static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    const int passes = interlaced ? 4 : 1;
    for (int p = 0; p < passes; ++p) {
      for (int y = interlaced ? kStart[p] : 0; y < r.h; y += interlaced ? kStep[p] : 1) {
        if (DGifGetLine(gif_.get(), row_.data(), r.w) == GIF_ERROR) return false;
        on_row(y, row_.data());
      }
    }
    return true;
  }

  // Passes over the current image's compressed data without decoding it.
  bool skip_image() {
    int code_size = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(gif_.get(), &code_size, &block) == GIF_ERROR) return false;
    while (block)
      if (DGifGetCodeNext(gif_.get(), &block) == GIF_ERROR) return false;
    return true;
  }

 private:
  bool read_extension(Control& ctl) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif_.get(), &code, &block) == GIF_ERROR) return false;
    bool netscape = false;
    if (block && code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4) {
      ctl.disposal = (block[1] >> 2) & 7;
      ctl.duration_ms = (block[2] | block[3] << 8) * 10;
      if (block[1] & 1) ctl.transparency = block[4];
    } else if (block && code == APPLICATION_EXT_FUNC_CODE && block[0] >= 11 &&
               std::memcmp(block + 1, "NETSCAPE2.0", 11) == 0) {
      netscape = true;
    }
    for (;;) {
      if (DGifGetExtensionNext(gif_.get(), &block) == GIF_ERROR) return false;
      if (!block) return true;
      if (netscape && block[0] >= 3 && block[1] == 1) loop_ = block[2] | block[3] << 8;
    }
  }

  MemoryInput input_;
  std::string name_;
  DGifPtr gif_;
  std::vector<Rgba> global_;
  int background_ = 0;
  std::optional<int> loop_;
  std::vector<GifPixelType> row_;
};

// The part of the screen a frame covers.
Rect on_screen(const Rect& r, int sw, int sh) {
  Rect c;
  c.x = std::max(r.x, 0);
  c.y = std::max(r.y, 0);
  c.w = std::max(0, std::min(r.x + r.w, sw) - c.x);
  c.h = std::max(0, std::min(r.y + r.h, sh) - c.y);
  return c;
}

// The first frame as Pillow shows it: a P image of the screen size, the frame's indices at its
// place (put in row by row as they arrive), the rest filled with the transparent index (or 0).
class FirstFrame {
 public:
  FirstFrame(const Rect& r, const Control& ctl, int sw, int sh)
      : r_(r), c_(on_screen(r, sw, sh)),
        out_(Mode::P, sw, sh, {static_cast<uint8_t>(ctl.transparency.value_or(0)), 0, 0, 0}) {}

  // Row `y` of the frame.
  void put(int y, const uint8_t* row) {
    const int sy = r_.y + y;
    if (c_.w == 0 || sy < c_.y || sy >= c_.y + c_.h) return;
    std::memcpy(out_.row(sy) + c_.x, row + (c_.x - r_.x), static_cast<size_t>(c_.w));
  }

  Image finish(const Control& ctl, std::vector<Rgba> palette) && {
    if (ctl.transparency) {
      out_.info.transparency = ctl.transparency;
      if (*ctl.transparency < static_cast<int>(palette.size())) palette[*ctl.transparency][3] = 0;
    }
    out_.palette = std::move(palette);
    return std::move(out_);
  }

 private:
  Rect r_, c_;
  Image out_;
};

}  // namespace

Header gif_header(std::string_view data, const std::string& name) {
  Decoder dec(data, name);
  Header h;
  h.mode = Mode::P;
  h.width = dec.width();
  h.height = dec.height();
  h.info.format = "GIF";
  Control ctl;
  Rect rect;
  std::vector<Rgba> palette;
  bool interlaced = false;
  h.frames = 0;
  while (dec.next_image(ctl, rect, palette, interlaced)) {
    if (h.frames++ == 0) {
      h.info.duration = ctl.duration_ms;
      h.info.transparency = ctl.transparency;
      if (ctl.transparency && *ctl.transparency < static_cast<int>(palette.size()))
        palette[*ctl.transparency][3] = 0;
      h.palette = palette;
    }
    if (!dec.skip_image()) break;
  }
  if (h.frames == 0) throw ImageError("GIF holds no image: " + quoted(name), name);
  h.info.loop = dec.loop();
  return h;
}

Image gif_decode(std::string_view data, const std::string& name, ReduceHint) {
  Decoder dec(data, name);
  Control ctl;
  Rect rect;
  std::vector<Rgba> palette;
  bool interlaced = false;
  if (!dec.next_image(ctl, rect, palette, interlaced))
    throw ImageError("GIF holds no image: " + quoted(name), name);
  FirstFrame first(rect, ctl, dec.width(), dec.height());
  // A cut-off frame shows the rows that arrived.
  dec.read_rows(rect, interlaced, [&](int y, const uint8_t* row) { first.put(y, row); });
  Image out = std::move(first).finish(ctl, std::move(palette));
  out.info.format = "GIF";
  out.info.duration = ctl.duration_ms;
  out.info.loop = dec.loop();
  return out;
}

// ---- frames one by one ----------------------------------------------------------------------

struct GifFrames::Impl {
  std::shared_ptr<const std::string> data;
  Decoder dec;
  int index = 0;
  bool done = false;
  std::vector<uint8_t> canvas;  // RGBA, screen size, as a viewer shows it now
  // How the last frame leaves the canvas before the next one is drawn.
  Control last;
  Rect last_rect;
  std::vector<Rgba> last_palette;
  std::vector<uint8_t> saved;  // the canvas under the last frame, for disposal 3

  Impl(std::shared_ptr<const std::string> d, const std::string& name)
      : data(std::move(d)), dec(*data, name) {
    canvas.assign(static_cast<size_t>(dec.width()) * dec.height() * 4, 0);
  }

  Rect clip(const Rect& r) const { return on_screen(r, dec.width(), dec.height()); }

  void copy_region(const Rect& c, std::vector<uint8_t>& to, bool save) {
    const size_t sw = static_cast<size_t>(dec.width()) * 4, row = static_cast<size_t>(c.w) * 4;
    if (save) to.resize(row * c.h);
    if (row == 0 || c.h == 0) return;
    for (int y = 0; y < c.h; ++y) {
      uint8_t* cv = &canvas[(c.y + y) * sw + c.x * 4];
      uint8_t* sv = &to[y * row];
      if (save) std::memcpy(sv, cv, row);
      else std::memcpy(cv, sv, row);
    }
  }

  // Leaves the canvas as the previous frame's disposal method asks.
  void dispose() {
    Rect c = clip(last_rect);
    if (c.w == 0 || c.h == 0) return;
    if (last.disposal == 2) {
      // By convention transparent when the frame had a transparent index, else the background.
      Rgba color{0, 0, 0, 0};
      const auto& g = dec.global_palette();
      if (last.transparency) {
        if (*last.transparency < static_cast<int>(last_palette.size()))
          color = last_palette[*last.transparency];
        color[3] = 0;
      } else if (dec.background() < static_cast<int>(g.size())) {
        color = g[dec.background()];
      }
      const size_t sw = static_cast<size_t>(dec.width()) * 4;
      for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x)
          std::memcpy(&canvas[(c.y + y) * sw + (c.x + x) * 4], color.data(), 4);
    } else if (last.disposal == 3 && !saved.empty()) {
      copy_region(c, saved, false);
    }
  }

  // Draws row `y` of a frame at `r` onto the canvas; its transparent index leaves the canvas
  // as it is.
  void draw_row(const Rect& r, int y, const uint8_t* row, const Control& ctl,
                const std::vector<Rgba>& palette) {
    const Rect c = clip(r);
    const int sy = r.y + y;
    if (c.w == 0 || sy < c.y || sy >= c.y + c.h) return;  // not on screen
    const int t = ctl.transparency.value_or(-1);
    const int n = static_cast<int>(palette.size());
    const uint8_t* s = row + (c.x - r.x);
    uint8_t* d = &canvas[(static_cast<size_t>(sy) * dec.width() + c.x) * 4];
    for (int x = 0; x < c.w; ++x, d += 4) {
      int i = s[x];
      if (i == t) continue;
      if (i < n) std::memcpy(d, palette[i].data(), 3);
      else d[0] = d[1] = d[2] = 0;
      d[3] = 255;
    }
  }
};

GifFrames::GifFrames(std::shared_ptr<const std::string> data, std::string name)
    : impl_(std::make_unique<Impl>(std::move(data), name)) {}

GifFrames::~GifFrames() = default;

ImagePtr GifFrames::next() {
  Impl& s = *impl_;
  if (s.done) return nullptr;
  Control ctl;
  Rect rect;
  std::vector<Rgba> palette;
  bool interlaced = false;
  if (s.index > 0) s.dispose();
  if (!s.dec.next_image(ctl, rect, palette, interlaced)) {
    s.done = true;
    if (s.index == 0) throw ImageError("GIF holds no image: " + quoted(s.dec.name()), s.dec.name());
    return nullptr;
  }
  if (ctl.disposal == 3) {
    Rect c = s.clip(rect);
    s.copy_region(c, s.saved, true);
  } else {
    s.saved.clear();
  }
  // Rows are drawn as they are decoded; a cut-off frame shows the rows that arrived. The
  // first frame is taken as a P image, from which the canvas is then made whole.
  std::optional<FirstFrame> first;
  if (s.index == 0) first.emplace(rect, ctl, s.dec.width(), s.dec.height());
  const bool whole = s.dec.read_rows(rect, interlaced, [&](int y, const uint8_t* row) {
    if (first) first->put(y, row);
    else s.draw_row(rect, y, row, ctl, palette);
  });
  if (!whole) s.done = true;
  s.last = ctl;
  s.last_rect = rect;
  s.last_palette = palette;
  ImagePtr out;
  if (first) {
    out = std::make_shared<Image>(std::move(*first).finish(ctl, palette));
    // Later frames build on the first as it was shown, fill included.
    const auto& px = out->pixels();
    const auto& pal = out->palette;
    for (size_t i = 0; i < px.size(); ++i) {
      // A transparent pixel keeps its palette colour under alpha 0, as the host library has it
      // (it shows when the frame is later flattened to RGB).
      Rgba c = px[i] < pal.size() ? pal[px[i]] : Rgba{0, 0, 0, 255};
      if (out->info.transparency == px[i]) c[3] = 0;
      std::memcpy(&s.canvas[i * 4], c.data(), 4);
    }
  } else {
    out = std::make_shared<Image>(Mode::RGBA, s.dec.width(), s.dec.height());
    std::memcpy(out->pixels().data(), s.canvas.data(), s.canvas.size());
  }
  out->info.format = "GIF";
  out->info.duration = ctl.duration_ms;
  out->info.loop = s.dec.loop();
  ++s.index;
  return out;
}

// ---- writing --------------------------------------------------------------------------------

namespace {

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

// One frame ready for writing: indices over its own palette. The indices are read where
// they are (a P or L image's own pixels) unless the frame had to be made.
struct Frame {
  int width = 0, height = 0;
  const uint8_t* idx = nullptr;  // width * height indices, in `made` or in the source image
  std::vector<uint8_t> made;
  std::shared_ptr<const Image> keep;  // holds the source image, where the writer must
  std::vector<Rgba> palette;
  std::optional<int> transparency;
  int duration_ms = -1;  // -1: none
  Rect rect;             // the part written (the whole frame unless cropped)
  int disposal = 0;
  std::array<uint8_t, 256> remap;  // index as written, for each index in `idx`

  Frame() { std::iota(remap.begin(), remap.end(), uint8_t{0}); }
  // `idx` may point into `made`: a copy would point into the original's storage.
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  Frame(Frame&&) = default;
  Frame& operator=(Frame&&) = default;

  uint8_t at(int x, int y) const { return idx[static_cast<size_t>(y) * width + x]; }
  void own(std::vector<uint8_t> pixels) {
    made = std::move(pixels);
    idx = made.data();
  }
};

Frame to_frame(const Image& src) {
  Frame f;
  f.width = src.width();
  f.height = src.height();
  std::optional<Image> converted;
  if (src.mode() != Mode::P && src.mode() != Mode::L) converted.emplace(convert(src, Mode::P));
  const Image& p = converted ? *converted : src;
  if (converted) f.own(std::move(converted->pixels()));
  else f.idx = src.pixels().data();
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
    const int top = std::max<int>(n ? *std::max_element(f.idx, f.idx + n) : 0,
                                  f.transparency.value_or(0));
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

// Keeps only the palette entries the written rectangle uses, in their order of first use;
// `remap` then takes each index to its new place.
void drop_unused_colors(Frame& f) {
  std::array<int, 256> map;
  map.fill(-1);
  std::vector<Rgba> pal;
  for (int y = f.rect.y; y < f.rect.y + f.rect.h; ++y)
    for (int x = f.rect.x; x < f.rect.x + f.rect.w; ++x) {
      const uint8_t i = f.at(x, y);
      if (map[i] < 0) {
        map[i] = static_cast<int>(pal.size());
        pal.push_back(i < f.palette.size() ? f.palette[i] : Rgba{0, 0, 0, 255});
      }
    }
  for (int i = 0; i < 256; ++i) f.remap[i] = static_cast<uint8_t>(std::max(map[i], 0));
  if (f.transparency) {
    int t = *f.transparency;
    f.transparency = t >= 0 && t < 256 && map[t] >= 0 ? std::optional<int>(map[t]) : std::nullopt;
  }
  f.palette = std::move(pal);
}

// An index (as written) that no written pixel of `f` uses, if there is one.
std::optional<int> unused_index(const Frame& f) {
  std::array<bool, 256> used{};
  for (int y = f.rect.y; y < f.rect.y + f.rect.h; ++y)
    for (int x = f.rect.x; x < f.rect.x + f.rect.w; ++x) used[f.remap[f.at(x, y)]] = true;
  const auto unused = std::find(used.begin(), used.end(), false);
  if (unused == used.end()) return std::nullopt;
  return static_cast<int>(unused - used.begin());
}

// Declares index `t` transparent; one beyond the palette first extends it (indices beyond it
// show black, as they did).
void make_transparent(Frame& f, int t) {
  if (static_cast<size_t>(t) >= f.palette.size())
    f.palette.resize(static_cast<size_t>(t) + 1, Rgba{0, 0, 0, 255});
  f.transparency = t;
}

// What each index shows, packed: transparent as 0, indices beyond the palette opaque black.
// A GIF has no alpha but the transparent index: every other entry shows opaque, whatever alpha
// the palette gave it.
std::array<uint32_t, 256> shown_colours(const Frame& f) {
  std::array<uint32_t, 256> shown;
  for (int i = 0; i < 256; ++i) {
    const Rgba c = i < static_cast<int>(f.palette.size()) ? f.palette[i] : Rgba{0, 0, 0, 255};
    shown[i] = uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 | 0xFF000000u;
  }
  if (f.transparency && *f.transparency >= 0 && *f.transparency < 256) shown[*f.transparency] = 0;
  return shown;
}

// The smallest rectangle outside which `b` looks like `a` (both of the same size); empty when
// they look the same. Where both show their indices alike, equal rows are passed over whole.
Rect changed_rect(const Frame& a, const Frame& b) {
  const std::array<uint32_t, 256> ca = shown_colours(a), cb = shown_colours(b);
  const bool same_colours = ca == cb;
  const size_t w = static_cast<size_t>(b.width);
  int x0 = b.width, y0 = -1, x1 = -1, y1 = -1;
  for (int y = 0; y < b.height; ++y) {
    const uint8_t* pa = a.idx + y * w;
    const uint8_t* pb = b.idx + y * w;
    if (same_colours && std::memcmp(pa, pb, w) == 0) continue;
    int first = 0;
    while (first < b.width && ca[pa[first]] == cb[pb[first]]) ++first;
    if (first == b.width) continue;
    int last = b.width - 1;
    while (ca[pa[last]] == cb[pb[last]]) --last;
    x0 = std::min(x0, first), x1 = std::max(x1, last);
    if (y0 < 0) y0 = y;
    y1 = y;
  }
  if (x1 < 0) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

MapPtr make_map(const std::vector<Rgba>& pal) {
  int n = 2;
  while (n < static_cast<int>(pal.size())) n *= 2;
  std::vector<GifColorType> colors(static_cast<size_t>(n), GifColorType{0, 0, 0});
  for (size_t i = 0; i < pal.size(); ++i) colors[i] = {pal[i][0], pal[i][1], pal[i][2]};
  MapPtr map(GifMakeMapObject(n, colors.data()));
  if (!map) throw ImageError("out of memory writing GIF");
  return map;
}

bool same_palette(const ColorMapObject* map, const std::vector<Rgba>& pal) {
  int n = 2;
  while (n < static_cast<int>(pal.size())) n *= 2;
  if (map->ColorCount != n) return false;
  for (size_t i = 0; i < pal.size(); ++i)
    if (map->Colors[i].Red != pal[i][0] || map->Colors[i].Green != pal[i][1] ||
        map->Colors[i].Blue != pal[i][2])
      return false;
  return true;
}

[[noreturn]] void write_failed(int err) {
  throw ImageError("cannot write GIF: " + gif_error(err));
}

// The giflib encoder with its output: the header goes out with the first frame, whose palette
// becomes the global one.
class Output {
 public:
  // Writes `f`; `first` with the screen (the first frame's size) and, for an animation, the
  // loop count.
  void put(const Frame& f, bool first, bool animated, std::optional<int> loop) {
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
      place_on_screen(f);
    }
    ++added;
    if (!opaque) return held.push_back(std::move(f));
    if (f.transparency) throw ValueError("a GIF frame with transparency, where none was expected");
    stream(std::move(f));
  }

  std::string finish() {
    if (!opaque) {
      std::vector<Frame> frames = std::move(held);
      if (any_transparent(frames)) return finish_transparent(std::move(frames));
      // Nothing transparent after all: written as a vouched-opaque stream is.
      for (Frame& f : frames) stream(std::move(f));
    }
    put(*last, /*animated=*/written > 0);
    return out.finish();
  }

 private:
  // The next frame of an animation without transparency. It is written once the frame after
  // it is known not to look the same (optimized, that one is then cropped to its change).
  void stream(Frame f) {
    if (!last) {
      last = std::move(f);
      return;
    }
    if (optimize) {
      Rect r = changed_rect(*last, f);
      if (r.w == 0) return merge_into(*last, f);
      f.rect = r;
    }
    put(*last, /*animated=*/true);
    last = std::move(f);
  }

  // A transparent pixel of a cropped frame would let the older picture show through, so an
  // animation with transparency keeps whole frames, each replacing the last.
  std::string finish_transparent(std::vector<Frame> frames) {
    if (frames.size() > 1) {
      if (optimize) {
        std::vector<Frame> kept;
        kept.push_back(std::move(frames[0]));
        for (size_t i = 1; i < frames.size(); ++i) {
          if (changed_rect(kept.back(), frames[i]).w == 0) merge_into(kept.back(), frames[i]);
          else kept.push_back(std::move(frames[i]));
        }
        frames = std::move(kept);
      }
      for (Frame& f : frames) f.disposal = 2;
    }
    const bool animated = frames.size() > 1;
    for (Frame& f : frames) {
      if (optimize) drop_unused_colors(f);
      if (animated && &f != &frames.back()) give_transparent_index(f);
      out.put(f, &f == &frames.front(), animated, loop);
    }
    return out.finish();
  }

  // A frame disposed of (disposal 2) leaves the screen transparent only when it has a
  // transparent index; without one, readers that fill the background colour (as ours does)
  // would show that colour through the next frame's transparent pixels. An index its pixels do
  // not use is declared transparent, which changes nothing the frame shows. A frame using all
  // 256 indices keeps none.
  static void give_transparent_index(Frame& f) {
    if (f.transparency) return;
    if (const std::optional<int> t = unused_index(f)) make_transparent(f, *t);
  }

  static bool any_transparent(const std::vector<Frame>& frames) {
    return std::any_of(frames.begin(), frames.end(),
                       [](const Frame& f) { return f.transparency.has_value(); });
  }

  // Looks the same as the frame before: that one is shown longer instead.
  static void merge_into(Frame& kept, const Frame& f) {
    if (f.duration_ms > 0) kept.duration_ms = std::max(0, kept.duration_ms) + f.duration_ms;
  }

  // Later frames are placed at the top left and clipped to the first frame's size.
  void place_on_screen(Frame& f) const {
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

  // Writes a frame of a stream without transparency: each replaces the last (or, optimized,
  // is cropped to its change) once more than one frame came in.
  void put(Frame& f, bool animated) {
    if (optimize && added > 1) f.disposal = 1;
    if (optimize) drop_unused_colors(f);
    out.put(f, written == 0, animated, loop);
    ++written;
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
