// Text rendering: a font face at a pixel size, the coverage mask of a line of text laid out the
// way the host's image library lays it out (bidi runs from FriBidi, shaped by HarfBuzz over the
// FreeType face: ligatures, joined scripts, GPOS kerning, unhinted advances; each glyph drawn
// hinted by FreeType at its shaped position; the left end of the ascender line as the drawing
// point), and drawing such a mask onto an RGBA image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "img_util/image.hpp"

namespace img_util::imaging {

// Anti-aliased coverage (0..255) of some text, and where its top-left corner lies relative
// to the point the text is drawn at.
struct TextMask {
  int width = 0;
  int height = 0;
  int dx = 0;
  int dy = 0;
  std::vector<uint8_t> coverage;  // width * height, row by row
  uint8_t at(int x, int y) const { return coverage[static_cast<size_t>(y) * width + x]; }
};

// A text as drawn: its lines' masks in drawing order (one for a single line).
struct TextStamp {
  std::vector<TextMask> lines;
  // Union of the line boxes relative to the drawing point (empty when nothing is inked).
  int left = 0, top = 0, right = 0, bottom = 0;
};

// Character that maps to no glyph (drawn as the font's missing-glyph box).
inline constexpr char32_t kNoCharacter = 0xFFFFFFFF;

// UTF-8 to code points. Returns false when `bytes` is not valid UTF-8 (`out` is then unset).
bool decode_utf8(std::string_view bytes, std::u32string& out);

// A font face loaded from a file at a size in pixels. Move-only; owns its FreeType objects.
class Font {
 public:
  // Throws OSError naming the file when it cannot be read or is no font FreeType knows;
  // ValueError when the size is not positive.
  Font(const std::string& path, double size_px);
  ~Font();
  Font(Font&&) noexcept;
  Font& operator=(Font&&) noexcept;
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  // One line of text (no line breaks) as drawn at a point: anchored at the left end of the
  // ascender line, its direction that of its first strong character. Throws OSError when a
  // glyph cannot be loaded.
  TextMask render_line(std::u32string_view line) const;
  // The whole text: lines split at "\n", each drawn `line_spacing()` below the previous one.
  TextStamp render(std::u32string_view text) const;
  // Distance between the tops of consecutive lines: the bottom of "A"'s box below the drawing
  // point plus 4 pixels.
  int line_spacing() const;
  // Ascender above the baseline, in whole pixels.
  int ascent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Draws `mask` onto an RGBA image with its top-left corner at (x, y), clipped to the image.
// Each covered pixel's alpha becomes ink alpha blended over it by the coverage; its colour
// becomes the ink's where it was fully transparent, else the colour blended by the coverage
// (so on a transparent layer the text takes the ink's colour exactly).
void draw_mask(Image& rgba, int x, int y, const TextMask& mask, Rgba ink);
// Draws every line of `stamp` at the point (x, y).
void draw_text(Image& rgba, int x, int y, const TextStamp& stamp, Rgba ink);
// Convenience: render and draw in one step.
void draw_text(Image& rgba, int x, int y, const Font& font, std::u32string_view text, Rgba ink);

// Blending of one 8-bit value over another by an 8-bit weight, rounded as the host's library
// rounds it: (a * (255 - w) + b * w) / 255.
inline uint8_t blend255(uint8_t w, uint8_t a, uint8_t b) {
  uint32_t t = static_cast<uint32_t>(a) * (255u - w) + static_cast<uint32_t>(b) * w + 128u;
  return static_cast<uint8_t>(((t >> 8) + t) >> 8);
}

}  // namespace img_util::imaging
