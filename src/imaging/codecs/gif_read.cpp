// Reading GIFs through giflib's record-level API, so frames stream one at a time and the header
// scan skips compressed data without decoding it: the header, the first frame (what load()
// gives), and every frame composited onto the screen as a viewer shows it (disposal included).
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imaging/codecs/gif.hpp"

namespace img_util::imaging::codec {
namespace gif_detail {

std::string gif_error(int err) {
  const char* text = GifErrorString(err);
  return text ? text : "error " + std::to_string(err);
}

std::vector<Rgba> grey_palette() {
  std::vector<Rgba> pal(256);
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 255};
  return pal;
}

}  // namespace gif_detail

namespace {

using gif_detail::gif_error;
using gif_detail::grey_palette;
using gif_detail::Rect;

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

// An image record: what its control extension said, where it lies, its colours.
struct Record {
  Control ctl;
  Rect rect;
  std::vector<Rgba> palette;
  bool interlaced = false;
};

std::vector<Rgba> palette_of(const ColorMapObject* map) {
  std::vector<Rgba> pal;
  if (!map || !map->Colors) return pal;
  int n = std::clamp(map->ColorCount, 0, 256);
  pal.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    pal.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue, 255});
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
      throw ImageError("cannot read GIF header (" + gif_error(err) + ") in " + quoted(name), name);
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
  bool next_image(Record& image) {
    image.ctl = Control{};
    for (;;) {
      GifRecordType type;
      if (DGifGetRecordType(gif_.get(), &type) == GIF_ERROR) return false;
      if (type == TERMINATE_RECORD_TYPE) return false;
      if (type == EXTENSION_RECORD_TYPE) {
        if (!read_extension(image.ctl)) return false;
        continue;
      }
      if (type != IMAGE_DESC_RECORD_TYPE) return false;
      if (DGifGetImageDesc(gif_.get()) == GIF_ERROR) return false;
      const GifImageDesc& d = gif_->Image;
      image.rect = {d.Left, d.Top, d.Width, d.Height};
      image.interlaced = d.Interlace;
      image.palette = d.ColorMap ? palette_of(d.ColorMap) : global_;
      if (image.palette.empty()) image.palette = grey_palette();
      return true;
    }
  }

  // Decodes the current image row by row, calling on_row(y, indices) for each row y of the
  // image (in the order the rows are stored), so no image-sized buffer is needed. Returns
  // false when the data ended or broke inside the image: the rows before stay given.
  template <class OnRow>
  bool read_rows(const Record& image, OnRow&& on_row) {
    const Rect& r = image.rect;
    const bool interlaced = image.interlaced;
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

// Describes a frame read with `dec` as a GIF's frame.
void describe(Image& frame, const Control& ctl, const Decoder& dec) {
  frame.info.format = "GIF";
  frame.info.duration = ctl.duration_ms;
  frame.info.loop = dec.loop();
}

[[noreturn]] void no_image(const std::string& name) {
  throw ImageError("GIF holds no image: " + quoted(name), name);
}

// The first frame as Pillow shows it: a P image of the screen size, the frame's indices at its
// place (put in row by row as they arrive), the rest filled with the transparent index (or 0).
// A cut-off frame shows the rows that arrived; `whole` tells whether all did.
Image read_first(Decoder& dec, const Record& image, bool& whole) {
  const Control& ctl = image.ctl;
  const Rect& r = image.rect;
  const Rect c = on_screen(r, dec.width(), dec.height());
  Image out(Mode::P, dec.width(), dec.height(),
            {static_cast<uint8_t>(ctl.transparency.value_or(0)), 0, 0, 0});
  whole = dec.read_rows(image, [&](int y, const uint8_t* row) {
    const int sy = r.y + y;
    if (c.w == 0 || sy < c.y || sy >= c.y + c.h) return;
    std::memcpy(out.row(sy) + c.x, row + (c.x - r.x), static_cast<size_t>(c.w));
  });
  out.palette = image.palette;
  if (ctl.transparency) {
    out.info.transparency = ctl.transparency;
    if (*ctl.transparency < static_cast<int>(out.palette.size()))
      out.palette[*ctl.transparency][3] = 0;
  }
  describe(out, ctl, dec);
  return out;
}

}  // namespace

Header gif_header(std::string_view data, const std::string& name) {
  Decoder dec(data, name);
  Header h;
  h.mode = Mode::P;
  h.width = dec.width();
  h.height = dec.height();
  h.info.format = "GIF";
  Record image;
  h.frames = 0;
  while (dec.next_image(image)) {
    if (h.frames++ == 0) {
      h.info.duration = image.ctl.duration_ms;
      h.info.transparency = image.ctl.transparency;
      h.palette = image.palette;
      if (image.ctl.transparency && *image.ctl.transparency < static_cast<int>(h.palette.size()))
        h.palette[*image.ctl.transparency][3] = 0;
    }
    if (!dec.skip_image()) break;
  }
  if (h.frames == 0) no_image(name);
  h.info.loop = dec.loop();
  return h;
}

Image gif_decode(std::string_view data, const std::string& name, ReduceHint) {
  Decoder dec(data, name);
  Record image;
  if (!dec.next_image(image)) no_image(name);
  bool whole = false;
  return read_first(dec, image, whole);
}

// ---- frames one by one ----------------------------------------------------------------------

struct GifFrames::Impl {
  std::shared_ptr<const std::string> data;
  Decoder dec;
  int index = 0;
  bool done = false;
  std::vector<uint8_t> canvas;  // RGBA, screen size, as a viewer shows it now
  Record last;                  // how the last frame leaves the canvas before the next is drawn
  std::vector<uint8_t> saved;   // the canvas under the last frame, for disposal 3

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
      if (save)
        std::memcpy(sv, cv, row);
      else
        std::memcpy(cv, sv, row);
    }
  }

  // Leaves the canvas as the previous frame's disposal method asks.
  void dispose() {
    Rect c = clip(last.rect);
    if (c.w == 0 || c.h == 0) return;
    if (last.ctl.disposal == 2) {
      // By convention transparent when the frame had a transparent index, else the background.
      Rgba color{0, 0, 0, 0};
      const auto& g = dec.global_palette();
      if (last.ctl.transparency) {
        if (*last.ctl.transparency < static_cast<int>(last.palette.size()))
          color = last.palette[*last.ctl.transparency];
        color[3] = 0;
      } else if (dec.background() < static_cast<int>(g.size())) {
        color = g[dec.background()];
      }
      const size_t sw = static_cast<size_t>(dec.width()) * 4;
      for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x)
          std::memcpy(&canvas[(c.y + y) * sw + (c.x + x) * 4], color.data(), 4);
    } else if (last.ctl.disposal == 3 && !saved.empty()) {
      copy_region(c, saved, false);
    }
  }

  // Keeps what a frame disposed of by restoring (disposal 3) will cover.
  void save_under(const Record& image) {
    if (image.ctl.disposal == 3)
      copy_region(clip(image.rect), saved, true);
    else
      saved.clear();
  }

  // The first frame, as read_first gives it; later frames build on it as it was shown, fill
  // included.
  ImagePtr take_first(const Record& image) {
    bool whole = false;
    auto out = std::make_shared<Image>(read_first(dec, image, whole));
    if (!whole) done = true;
    const auto& px = out->pixels();
    const auto& pal = out->palette;
    for (size_t i = 0; i < px.size(); ++i) {
      // A transparent pixel keeps its palette colour under alpha 0, as the host library has it
      // (it shows when the frame is later flattened to RGB).
      Rgba c = px[i] < pal.size() ? pal[px[i]] : Rgba{0, 0, 0, 255};
      if (out->info.transparency == px[i]) c[3] = 0;
      std::memcpy(&canvas[i * 4], c.data(), 4);
    }
    return out;
  }

  // A later frame, drawn onto the canvas row by row as it is decoded (a cut-off frame shows
  // the rows that arrived): the canvas as an RGBA image.
  ImagePtr take_later(const Record& image) {
    const bool whole =
        dec.read_rows(image, [&](int y, const uint8_t* row) { draw_row(image, y, row); });
    if (!whole) done = true;
    auto out = std::make_shared<Image>(Mode::RGBA, dec.width(), dec.height());
    std::memcpy(out->pixels().data(), canvas.data(), canvas.size());
    describe(*out, image.ctl, dec);
    return out;
  }

  // Draws row `y` of `image` onto the canvas; its transparent index leaves the canvas as it is.
  void draw_row(const Record& image, int y, const uint8_t* row) {
    const Rect& r = image.rect;
    const Rect c = clip(r);
    const int sy = r.y + y;
    if (c.w == 0 || sy < c.y || sy >= c.y + c.h) return;  // not on screen
    const int t = image.ctl.transparency.value_or(-1);
    const int n = static_cast<int>(image.palette.size());
    const uint8_t* s = row + (c.x - r.x);
    uint8_t* d = &canvas[(static_cast<size_t>(sy) * dec.width() + c.x) * 4];
    for (int x = 0; x < c.w; ++x, d += 4) {
      int i = s[x];
      if (i == t) continue;
      if (i < n)
        std::memcpy(d, image.palette[i].data(), 3);
      else
        d[0] = d[1] = d[2] = 0;
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
  if (s.index > 0) s.dispose();
  Record image;
  if (!s.dec.next_image(image)) {
    s.done = true;
    if (s.index == 0) no_image(s.dec.name());
    return nullptr;
  }
  s.save_under(image);
  ImagePtr out = s.index == 0 ? s.take_first(image) : s.take_later(image);
  s.last = std::move(image);
  ++s.index;
  return out;
}

}  // namespace img_util::imaging::codec
