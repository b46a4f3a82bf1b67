#include "imaging/text.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H
#include FT_BITMAP_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

#include "img_util/errors.hpp"

namespace img_util::imaging {
namespace {

// FreeType's own messages, from its error list (the library is built without them).
const char* ft_message(FT_Error code) {
#undef FTERRORS_H_
#define FT_ERRORDEF(e, v, s) {e, s},
#define FT_ERROR_START_LIST {
#define FT_ERROR_END_LIST {0, nullptr}};
  static const struct {
    int code;
    const char* message;
  } table[] =
#include FT_ERRORS_H
      ;
  for (const auto& entry : table)
    if (entry.message && entry.code == code) return entry.message;
  return "unknown freetype error";
}

struct LibraryDeleter {
  void operator()(FT_Library lib) const noexcept { FT_Done_FreeType(lib); }
};
struct FaceDeleter {
  void operator()(FT_Face face) const noexcept { FT_Done_Face(face); }
};
struct GlyphDeleter {
  void operator()(FT_Glyph glyph) const noexcept { FT_Done_Glyph(glyph); }
};
using LibraryPtr = std::unique_ptr<FT_LibraryRec_, LibraryDeleter>;
using FacePtr = std::unique_ptr<FT_FaceRec_, FaceDeleter>;
using GlyphPtr = std::unique_ptr<FT_GlyphRec_, GlyphDeleter>;

// An FT_Bitmap owned together with the library that allocated it.
class OwnedBitmap {
 public:
  explicit OwnedBitmap(FT_Library lib) : lib_(lib) { FT_Bitmap_Init(&bitmap_); }
  ~OwnedBitmap() { FT_Bitmap_Done(lib_, &bitmap_); }
  OwnedBitmap(const OwnedBitmap&) = delete;
  OwnedBitmap& operator=(const OwnedBitmap&) = delete;
  FT_Bitmap* get() { return &bitmap_; }

 private:
  FT_Library lib_;
  FT_Bitmap bitmap_;
};

// A 26.6 coordinate rounded to whole pixels, halves up.
long pixel(long v) { return ((v + 32) & -64) >> 6; }

struct Placed {
  FT_UInt index;
  FT_Pos advance;  // 26.6
};

}  // namespace

struct Font::Impl {
  LibraryPtr library;
  FacePtr face;
  std::string path;

  [[noreturn]] void fail(FT_Error err) const {
    throw OSError(0, path, std::string("cannot render text with font '") + path + "': " + ft_message(err));
  }

  void load(FT_UInt index, FT_Int32 flags) const {
    if (FT_Error err = FT_Load_Glyph(face.get(), index, flags)) fail(err);
  }

  // Glyphs and hinted advances; a pair found in the font's kerning table moves the first
  // glyph's advance by the rounded kerning, in 1/64 pixel units, as the host's simple layout
  // does.
  std::vector<Placed> layout(std::u32string_view line) const {
    std::vector<Placed> out;
    out.reserve(line.size());
    bool kerning = FT_HAS_KERNING(face.get());
    FT_UInt last = 0;
    for (char32_t ch : line) {
      FT_UInt index = ch == kNoCharacter ? 0 : FT_Get_Char_Index(face.get(), ch);
      load(index, FT_LOAD_DEFAULT);
      if (kerning && last && index && !out.empty()) {
        FT_Vector delta;
        if (FT_Get_Kerning(face.get(), last, index, FT_KERNING_DEFAULT, &delta) == 0)
          out.back().advance += pixel(delta.x);
      }
      out.push_back({index, face->glyph->metrics.horiAdvance});
      last = index;
    }
    return out;
  }

  struct Box {
    long x_min = 0, x_max = 0, y_min = 0, y_max = 0;  // pixels, y up
  };

  // The text's box: every glyph's grid-fitted box and the pen line from 0 to the advance.
  Box bounds(const std::vector<Placed>& glyphs) const {
    Box b;
    long position = 0;
    for (const Placed& g : glyphs) {
      long px = pixel(position);
      position += g.advance;
      b.x_max = std::max(b.x_max, pixel(position));
      load(g.index, FT_LOAD_DEFAULT);
      FT_Glyph raw = nullptr;
      if (FT_Error err = FT_Get_Glyph(face->glyph, &raw)) fail(err);
      GlyphPtr glyph(raw);
      FT_BBox box;
      FT_Glyph_Get_CBox(glyph.get(), FT_GLYPH_BBOX_PIXELS, &box);
      b.x_max = std::max<long>(b.x_max, box.xMax + px);
      b.x_min = std::min<long>(b.x_min, box.xMin + px);
      b.y_max = std::max<long>(b.y_max, box.yMax);
      b.y_min = std::min<long>(b.y_min, box.yMin);
    }
    return b;
  }
};

bool decode_utf8(std::string_view bytes, std::u32string& out) {
  std::u32string text;
  text.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    auto b0 = static_cast<unsigned char>(bytes[i]);
    int len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > bytes.size()) return false;
    char32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
      auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    text.push_back(cp);
    i += len;
  }
  out = std::move(text);
  return true;
}

Font::Font(const std::string& path, double size_px) : impl_(std::make_unique<Impl>()) {
  impl_->path = path;
  if (!(size_px > 0) || size_px * 64 > static_cast<double>(INT_MAX))
    throw ValueError("invalid font size: " + std::to_string(size_px));
  // Report an unreadable file with the system's reason rather than FreeType's generic one.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_errno(path);
  ::close(fd);

  FT_Library lib = nullptr;
  if (FT_Error err = FT_Init_FreeType(&lib))
    throw OSError(0, path, std::string("cannot initialise FreeType: ") + ft_message(err));
  impl_->library.reset(lib);
  FT_Face face = nullptr;
  if (FT_Error err = FT_New_Face(lib, path.c_str(), 0, &face))
    throw OSError(0, path, "cannot load font '" + path + "': " + ft_message(err));
  impl_->face.reset(face);

  FT_Size_RequestRec req{};
  req.type = FT_SIZE_REQUEST_TYPE_NOMINAL;
  req.width = req.height = static_cast<FT_Long>(size_px * 64);
  if (FT_Error err = FT_Request_Size(face, &req))
    throw OSError(0, path, "cannot set the size of font '" + path + "': " + ft_message(err));
}

Font::~Font() = default;
Font::Font(Font&&) noexcept = default;
Font& Font::operator=(Font&&) noexcept = default;

int Font::ascent() const { return static_cast<int>(pixel(impl_->face->size->metrics.ascender)); }

TextMask Font::render_line(std::u32string_view line) const {
  const Impl& f = *impl_;
  TextMask mask;
  std::vector<Placed> glyphs = f.layout(line);
  Impl::Box box = f.bounds(glyphs);
  long y_anchor = ascent();
  mask.dx = static_cast<int>(box.x_min);
  mask.dy = static_cast<int>(y_anchor - box.y_max);
  long width = box.x_max - box.x_min, height = box.y_max - box.y_min;
  if (glyphs.empty() || width <= 0 || height <= 0) return mask;
  // The same limit as for images: a mask this large is a mistake, not a watermark.
  if (width > INT_MAX || height > INT_MAX || width * height > pixel_limit())
    throw ValueError("text is too large to draw: " + std::to_string(width) + "x" + std::to_string(height) +
                     " pixels at this font size");
  mask.width = static_cast<int>(width);
  mask.height = static_cast<int>(height);
  mask.coverage.assign(static_cast<size_t>(width) * height, 0);

  // Where the rendered bitmaps reach left and up decides the pen's start in the mask.
  FT_Face face = f.face.get();
  long pen = 0, left = 0, top = 0;
  for (const Placed& g : glyphs) {
    f.load(g.index, FT_LOAD_DEFAULT | FT_LOAD_RENDER);
    top = std::max<long>(top, face->glyph->bitmap_top);
    left = std::min<long>(left, face->glyph->bitmap_left + pixel(pen));
    pen += g.advance;
  }

  OwnedBitmap converted(f.library.get());
  pen = -left * 64;
  const long pen_y = -top * 64;
  for (const Placed& g : glyphs) {
    long px = pixel(pen), py = pixel(pen_y);
    f.load(g.index, FT_LOAD_DEFAULT | FT_LOAD_RENDER);
    FT_GlyphSlot slot = face->glyph;
    FT_Bitmap bitmap = slot->bitmap;
    long xx = px + slot->bitmap_left;
    long yy = -(py + slot->bitmap_top);
    pen += g.advance;
    if (!bitmap.buffer) continue;
    unsigned scale = 1;
    switch (bitmap.pixel_mode) {
      case FT_PIXEL_MODE_MONO: scale = 255; break;
      case FT_PIXEL_MODE_GRAY2: scale = 255 / 3; break;
      case FT_PIXEL_MODE_GRAY4: scale = 255 / 15; break;
      case FT_PIXEL_MODE_GRAY: break;
      default: throw OSError(0, f.path, "unsupported bitmap pixel mode in font '" + f.path + "'");
    }
    if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY) {
      if (FT_Error err = FT_Bitmap_Convert(f.library.get(), &bitmap, converted.get(), 1)) f.fail(err);
      bitmap = *converted.get();
    }
    long x0 = std::max<long>(0, -xx);
    long x1 = std::min<long>(bitmap.width, width - xx);
    const unsigned char* source = bitmap.buffer;
    for (unsigned row = 0; row < bitmap.rows; ++row, ++yy, source += bitmap.pitch) {
      if (yy < 0 || yy >= height) continue;
      uint8_t* target = mask.coverage.data() + yy * width + xx;
      for (long k = x0; k < x1; ++k) {
        unsigned a = source[k] * scale;
        // Overlapping glyphs keep the stronger coverage.
        if (target[k] < a) target[k] = static_cast<uint8_t>(a);
      }
    }
  }
  return mask;
}

int Font::line_spacing() const {
  std::vector<Placed> glyphs = impl_->layout(U"A");
  Impl::Box box = impl_->bounds(glyphs);
  // bottom of the box = (ascent - y_max) + (y_max - y_min)
  return static_cast<int>(ascent() - box.y_min) + 4;
}

TextStamp Font::render(std::u32string_view text) const {
  TextStamp stamp;
  int spacing = 0;
  bool multiline = text.find(U'\n') != std::u32string_view::npos;
  if (multiline) spacing = line_spacing();
  int top = 0;
  bool any = false;
  size_t start = 0;
  while (true) {
    size_t end = text.find(U'\n', start);
    std::u32string_view line = text.substr(start, end == std::u32string_view::npos ? std::u32string_view::npos : end - start);
    TextMask mask = render_line(line);
    mask.dy += top;
    if (mask.width > 0 && mask.height > 0) {
      if (!any) {
        stamp.left = mask.dx, stamp.top = mask.dy;
        stamp.right = mask.dx + mask.width, stamp.bottom = mask.dy + mask.height;
        any = true;
      } else {
        stamp.left = std::min(stamp.left, mask.dx);
        stamp.top = std::min(stamp.top, mask.dy);
        stamp.right = std::max(stamp.right, mask.dx + mask.width);
        stamp.bottom = std::max(stamp.bottom, mask.dy + mask.height);
      }
      stamp.lines.push_back(std::move(mask));
    }
    if (end == std::u32string_view::npos) break;
    start = end + 1;
    top += spacing;
  }
  return stamp;
}

void draw_mask(Image& rgba, int x, int y, const TextMask& mask, Rgba ink) {
  if (rgba.mode() != Mode::RGBA) throw ValueError("text is drawn on RGBA images only");
  const int x0 = std::max(0, -x), x1 = std::min(mask.width, rgba.width() - x);
  const int y0 = std::max(0, -y), y1 = std::min(mask.height, rgba.height() - y);
  for (int my = y0; my < y1; ++my) {
    uint8_t* out = rgba.row(y + my) + static_cast<size_t>(x + x0) * 4;
    const uint8_t* cov = mask.coverage.data() + static_cast<size_t>(my) * mask.width;
    for (int mx = x0; mx < x1; ++mx, out += 4) {
      uint8_t m = cov[mx];
      if (m == 0) continue;
      // Colour bands see full coverage where the pixel was fully transparent.
      uint8_t cm = out[3] == 0 ? 255 : m;
      out[0] = blend255(cm, out[0], ink[0]);
      out[1] = blend255(cm, out[1], ink[1]);
      out[2] = blend255(cm, out[2], ink[2]);
      out[3] = blend255(m, out[3], ink[3]);
    }
  }
}

void draw_text(Image& rgba, int x, int y, const TextStamp& stamp, Rgba ink) {
  for (const TextMask& line : stamp.lines) draw_mask(rgba, x + line.dx, y + line.dy, line, ink);
}

void draw_text(Image& rgba, int x, int y, const Font& font, std::u32string_view text, Rgba ink) {
  draw_text(rgba, x, y, font.render(text), ink);
}

}  // namespace img_util::imaging
