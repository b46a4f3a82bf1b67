#include "imaging/text.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H
#include FT_BITMAP_H

#include <fcntl.h>
#include <fribidi.h>
#include <hb-ft.h>
#include <hb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <iterator>
#include <new>

#include "img_util/errors.hpp"

namespace img_util::imaging {
namespace {

// FreeType's own messages, from its error list (the library is built without them).
const char* ft_message(FT_Error code) {
#undef FTERRORS_H_
#define FT_ERRORDEF(e, v, s) {e, s},
#define FT_ERROR_START_LIST {
#define FT_ERROR_END_LIST \
  { 0, nullptr }          \
  }                       \
  ;
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

struct HbFontDeleter {
  void operator()(hb_font_t* font) const noexcept { hb_font_destroy(font); }
};
struct HbBufferDeleter {
  void operator()(hb_buffer_t* buffer) const noexcept { hb_buffer_destroy(buffer); }
};
using HbFontPtr = std::unique_ptr<hb_font_t, HbFontDeleter>;
using HbBufferPtr = std::unique_ptr<hb_buffer_t, HbBufferDeleter>;

// One glyph of a laid-out line: the pen moves by the advance after it, and the glyph is drawn
// at the pen plus the offset (all in 1/64 pixel, y up).
struct Placed {
  FT_UInt index;
  long x_advance, y_advance;
  long x_offset, y_offset;
};

// A piece of a line shaped in one go: one embedding level and one script.
struct Run {
  size_t start = 0, length = 0;
  hb_direction_t direction = HB_DIRECTION_LTR;
  hb_script_t script = HB_SCRIPT_COMMON;
};

// Paired punctuation, each opening character followed by its closing one, in code point order.
constexpr uint32_t kPairs[] = {
    0x0028, 0x0029, 0x003c, 0x003e, 0x005b, 0x005d, 0x007b, 0x007d, 0x00ab, 0x00bb, 0x2018, 0x2019,
    0x201c, 0x201d, 0x2039, 0x203a, 0x3008, 0x3009, 0x300a, 0x300b, 0x300c, 0x300d, 0x300e, 0x300f,
    0x3010, 0x3011, 0x3014, 0x3015, 0x3016, 0x3017, 0x3018, 0x3019, 0x301a, 0x301b};

// Index of `ch` in kPairs (even: opening, odd: closing), or -1.
int pair_index(uint32_t ch) {
  const uint32_t* end = std::end(kPairs);
  const uint32_t* it = std::lower_bound(std::begin(kPairs), end, ch);
  return it != end && *it == ch ? static_cast<int>(it - std::begin(kPairs)) : -1;
}

// The script of every character, with characters of no script of their own (spaces, digits,
// punctuation, combining marks) taking their neighbours': the one before them, the one after
// them at the start of the line, and for a closing bracket that of its opening one. This is how
// the host library's layout splits a line, so a digit after Arabic letters is shaped with them.
std::vector<hb_script_t> resolve_scripts(const std::vector<uint32_t>& text) {
  hb_unicode_funcs_t* ucd = hb_unicode_funcs_get_default();
  std::vector<hb_script_t> script(text.size());
  for (size_t i = 0; i < text.size(); ++i) script[i] = hb_unicode_script(ucd, text[i]);
  struct Open {
    int pair;
    hb_script_t script;
  };
  std::vector<Open> open;
  hb_script_t last = HB_SCRIPT_INVALID;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && script[i] == HB_SCRIPT_COMMON) {
      int pair = pair_index(text[i]);
      if (pair >= 0 && pair % 2 == 0) {
        open.push_back({pair, last});
      } else if (pair >= 0) {
        while (!open.empty() && open.back().pair != pair - 1) open.pop_back();
        if (!open.empty()) last = open.back().script;
      }
      script[i] = last;
    } else if (i > 0 && script[i] == HB_SCRIPT_INHERITED) {
      script[i] = last;
    } else {
      last = script[i];
    }
  }
  for (size_t i = text.size(); i-- > 1;) {
    hb_script_t& s = script[i - 1];
    if (s == HB_SCRIPT_COMMON || s == HB_SCRIPT_INHERITED) s = script[i];
  }
  return script;
}

// The runs of a line in visual order (left to right). The paragraph's direction comes from its
// first strong character; each stretch of one embedding level is split where the script
// changes, and a right-to-left stretch lists its pieces from its logical end.
std::vector<Run> visual_runs(const std::vector<uint32_t>& text) {
  const auto n = static_cast<FriBidiStrIndex>(text.size());
  std::vector<FriBidiCharType> types(text.size());
  std::vector<FriBidiBracketType> brackets(text.size());
  std::vector<FriBidiLevel> levels(text.size());
  fribidi_get_bidi_types(text.data(), n, types.data());
  fribidi_get_bracket_types(text.data(), n, types.data(), brackets.data());
  FriBidiParType base = FRIBIDI_PAR_ON;
  if (!fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), n, &base, levels.data()))
    throw std::bad_alloc();
  // White space at the end of the line takes the paragraph's level.
  for (size_t i = text.size(); i-- > 0 && FRIBIDI_IS_EXPLICIT_OR_BN_OR_WS(types[i]);)
    levels[i] = FRIBIDI_DIR_TO_LEVEL(base);

  struct Stretch {
    size_t start, length;
    FriBidiLevel level;
  };
  std::vector<Stretch> order;
  for (size_t i = 0, j = 0; i < text.size(); i = j) {
    while (j < text.size() && levels[j] == levels[i]) ++j;
    order.push_back({i, j - i, levels[i]});
  }
  // From the highest level down, every sequence of stretches at that level or above turns round.
  const FriBidiLevel top = *std::max_element(levels.begin(), levels.end());
  for (int level = top; level > 0; --level) {
    for (size_t i = 0, j = 0; i < order.size(); i = j + 1) {
      for (j = i; j < order.size() && order[j].level >= level;) ++j;
      std::reverse(order.begin() + static_cast<ptrdiff_t>(i),
                   order.begin() + static_cast<ptrdiff_t>(j));
    }
  }

  const std::vector<hb_script_t> script = resolve_scripts(text);
  std::vector<Run> runs;
  for (const Stretch& s : order) {
    const bool rtl = FRIBIDI_LEVEL_IS_RTL(s.level);
    const size_t first = runs.size();
    for (size_t k = 0; k < s.length; ++k) {
      size_t at = rtl ? s.start + s.length - 1 - k : s.start + k;
      if (runs.size() > first && runs.back().script == script[at]) {
        ++runs.back().length;
        if (rtl) runs.back().start = at;
      } else {
        runs.push_back({at, 1, rtl ? HB_DIRECTION_RTL : HB_DIRECTION_LTR, script[at]});
      }
    }
  }
  return runs;
}

}  // namespace

struct Font::Impl {
  LibraryPtr library;
  FacePtr face;
  HbFontPtr shaper;  // over `face`, so released before it
  std::string path;

  [[noreturn]] void fail(FT_Error err) const {
    throw OSError(0, path,
                  std::string("cannot render text with font '") + path + "': " + ft_message(err));
  }

  void load(FT_UInt index, FT_Int32 flags) const {
    if (FT_Error err = FT_Load_Glyph(face.get(), index, flags)) fail(err);
  }

  // The glyphs of one line in visual order, shaped as the host library's layout shapes them:
  // bidi runs from FriBidi, each shaped by HarfBuzz over the FreeType face with the whole line
  // as context (so Arabic letters join across runs), in the language of the process's locale.
  // HarfBuzz measures unhinted advances and applies the font's GPOS (or `kern`) kerning.
  std::vector<Placed> layout(std::u32string_view line) const {
    std::vector<Placed> out;
    if (line.empty()) return out;
    if (line.size() > static_cast<size_t>(INT_MAX))
      throw ValueError("text is too long to draw: " + std::to_string(line.size()) + " characters");
    // A character that maps to no glyph goes to the shaper as it is (the font has no glyph for
    // it either) and counts as an unknown symbol for the bidi and script analysis.
    std::vector<uint32_t> codes(line.begin(), line.end()), analysed(codes);
    std::replace(analysed.begin(), analysed.end(), uint32_t{kNoCharacter}, uint32_t{0xFFFD});

    HbBufferPtr buffer(hb_buffer_create());
    for (const Run& run : visual_runs(analysed)) {
      hb_buffer_t* b = buffer.get();
      hb_buffer_clear_contents(b);
      hb_buffer_add_codepoints(b, codes.data(), static_cast<int>(codes.size()),
                               static_cast<unsigned>(run.start), static_cast<int>(run.length));
      hb_buffer_set_script(b, run.script);
      hb_buffer_set_language(b, hb_language_get_default());
      hb_buffer_set_direction(b, run.direction);
      hb_buffer_set_flags(b,
                          static_cast<hb_buffer_flags_t>(HB_BUFFER_FLAG_BOT | HB_BUFFER_FLAG_EOT));
      hb_shape(shaper.get(), b, nullptr, 0);
      if (!hb_buffer_allocation_successful(b)) throw std::bad_alloc();
      unsigned count = 0;
      const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(b, &count);
      const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(b, nullptr);
      for (unsigned k = 0; k < count; ++k)
        out.push_back({info[k].codepoint, pos[k].x_advance, pos[k].y_advance, pos[k].x_offset,
                       pos[k].y_offset});
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
      long px = pixel(position + g.x_offset), py = pixel(g.y_offset);
      position += g.x_advance;
      b.x_max = std::max(b.x_max, pixel(position));
      load(g.index, FT_LOAD_DEFAULT);
      FT_Glyph raw = nullptr;
      if (FT_Error err = FT_Get_Glyph(face->glyph, &raw)) fail(err);
      GlyphPtr glyph(raw);
      FT_BBox box;
      FT_Glyph_Get_CBox(glyph.get(), FT_GLYPH_BBOX_PIXELS, &box);
      b.x_max = std::max<long>(b.x_max, box.xMax + px);
      b.x_min = std::min<long>(b.x_min, box.xMin + px);
      b.y_max = std::max<long>(b.y_max, box.yMax + py);
      b.y_min = std::min<long>(b.y_min, box.yMin + py);
    }
    return b;
  }

  // Where the rendered bitmaps reach left of and above the pen's start, in pixels: that decides
  // where the pen starts in the mask.
  std::pair<long, long> ink_reach(const std::vector<Placed>& glyphs) const {
    long pen_x = 0, pen_y = 0, left = 0, top = 0;
    for (const Placed& g : glyphs) {
      load(g.index, FT_LOAD_DEFAULT | FT_LOAD_RENDER);
      top = std::max<long>(top, face->glyph->bitmap_top + pixel(pen_y + g.y_offset));
      left = std::min<long>(left, face->glyph->bitmap_left + pixel(pen_x + g.x_offset));
      pen_x += g.x_advance;
      pen_y += g.y_advance;
    }
    return {left, top};
  }

  // The rendered glyph in the slot as 8-bit coverage (converted into `converted` when it is
  // not), and the factor that brings its levels to 0..255.
  FT_Bitmap gray_bitmap(OwnedBitmap& converted, unsigned& scale) const {
    FT_Bitmap bitmap = face->glyph->bitmap;
    scale = 1;
    switch (bitmap.pixel_mode) {
      case FT_PIXEL_MODE_MONO: scale = 255; break;
      case FT_PIXEL_MODE_GRAY2: scale = 255 / 3; break;
      case FT_PIXEL_MODE_GRAY4: scale = 255 / 15; break;
      case FT_PIXEL_MODE_GRAY: return bitmap;
      default: throw OSError(0, path, "unsupported bitmap pixel mode in font '" + path + "'");
    }
    if (FT_Error err = FT_Bitmap_Convert(library.get(), &bitmap, converted.get(), 1)) fail(err);
    return *converted.get();
  }
};

namespace {

// Draws `bitmap` with its top-left at (xx, yy) of the mask, clipped; overlapping glyphs keep
// the stronger coverage.
void draw_coverage(TextMask& mask, const FT_Bitmap& bitmap, long xx, long yy, unsigned scale) {
  const long width = mask.width, height = mask.height;
  const long x0 = std::max<long>(0, -xx);
  const long x1 = std::min<long>(bitmap.width, width - xx);
  const unsigned char* source = bitmap.buffer;
  for (unsigned row = 0; row < bitmap.rows; ++row, ++yy, source += bitmap.pitch) {
    if (yy < 0 || yy >= height) continue;
    uint8_t* target = mask.coverage.data() + yy * width + xx;
    for (long k = x0; k < x1; ++k) {
      const unsigned a = source[k] * scale;
      if (target[k] < a) target[k] = static_cast<uint8_t>(a);
    }
  }
}

}  // namespace

bool decode_utf8(std::string_view bytes, std::u32string& out) {
  std::u32string text;
  text.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    auto b0 = static_cast<unsigned char>(bytes[i]);
    int len = b0 < 0x80           ? 1
              : (b0 >> 5) == 0x6  ? 2
              : (b0 >> 4) == 0xE  ? 3
              : (b0 >> 3) == 0x1E ? 4
                                  : 0;
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
  // The shaper reads the size from the face, so it comes after the size is set.
  impl_->shaper.reset(hb_ft_font_create_referenced(face));
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
    throw ValueError("text is too large to draw: " + std::to_string(width) + "x" +
                     std::to_string(height) + " pixels at this font size");
  mask.width = static_cast<int>(width);
  mask.height = static_cast<int>(height);
  mask.coverage.assign(static_cast<size_t>(width) * height, 0);

  OwnedBitmap converted(f.library.get());
  const auto [left, top] = f.ink_reach(glyphs);
  long pen_x = -left * 64, pen_y = -top * 64;
  for (const Placed& g : glyphs) {
    const long px = pixel(pen_x + g.x_offset), py = pixel(pen_y + g.y_offset);
    pen_x += g.x_advance;
    pen_y += g.y_advance;
    f.load(g.index, FT_LOAD_DEFAULT | FT_LOAD_RENDER);
    const FT_GlyphSlot slot = f.face->glyph;
    if (!slot->bitmap.buffer) continue;
    const long xx = px + slot->bitmap_left, yy = -(py + slot->bitmap_top);
    unsigned scale = 1;
    const FT_Bitmap bitmap = f.gray_bitmap(converted, scale);
    draw_coverage(mask, bitmap, xx, yy, scale);
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
    std::u32string_view line = text.substr(
        start, end == std::u32string_view::npos ? std::u32string_view::npos : end - start);
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
