// The tiled diagonal text watermark, computed for the visible tile only.
//
// The watermark is defined on a transparent layer three times the image's width and height:
// the text is drawn on a grid (columns `step_x` apart, rows 200 apart, column by column), the
// layer is turned 45 degrees clockwise about its centre with nearest-neighbour sampling, and
// its middle tile is composited over the image. Instead of building that layer we map each
// output pixel back into the unturned layer (with the exact arithmetic of the host library's
// rotation) and look up which text placements cover that point; the layer's alpha is periodic
// with the grid away from its edges, so one grid cell's worth is rendered once and reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/text.hpp"
#include "img_util/image.hpp"

namespace img_util::watermark {

// Vertical distance between rows of text, independent of the font size.
inline constexpr int kRowStep = 200;

// Horizontal spacing per character for a font size: 40 px at 36 px, scaled and truncated.
int char_spacing(double font_size);

// Where the text is drawn on the layer.
struct TextGrid {
  int layer_width = 0;   // 3 w
  int layer_height = 0;  // 3 h
  int64_t step_x = 0;    // characters x spacing
  int64_t step_y = kRowStep;
  // Draw points: x = 0, step_x, ... < layer_width; y = 0, 200, ... < layer_height.
  int64_t columns() const { return (layer_width + step_x - 1) / step_x; }
  int64_t rows() const { return (layer_height + step_y - 1) / step_y; }
  int64_t draws() const { return columns() * rows(); }
};

// The grid for an image of w x h and a text of `chars` characters. Throws ValueError when the
// horizontal step is not positive (an empty text, or a font size below one pixel).
TextGrid text_grid(int w, int h, size_t chars, double font_size);

// The layer's turn by -45 degrees about its centre as the host library computes it: for a
// pixel of the turned layer, the pixel of the unturned layer it is copied from.
class LayerTurn {
 public:
  LayerTurn(int layer_width, int layer_height);

  // Consecutive rows of the turned layer, from `first_row` on. (Where the host library works in
  // floating point its row starts are running sums, so rows are walked in order.)
  class Rows {
   public:
    Rows(const LayerTurn& turn, int first_row);
    // Source pixels of the current row, columns x0 .. x0 + n - 1, then moves to the next row.
    // A source outside the layer is reported as (-1, -1).
    void next(int x0, int n, int* sx, int* sy);

   private:
    const LayerTurn& turn_;
    int y_;
    double xo_ = 0, yo_ = 0;
  };

  // Source pixels of one row (walks the rows before it in floating point).
  void row(int y, int x0, int n, int* sx, int* sy) const { Rows(*this, y).next(x0, n, sx, sy); }
  bool fixed_point() const { return fixed_; }

 private:
  int width_, height_;
  bool fixed_;
  double a_[6];
  int64_t fa_[6];
};

// The alpha of the text layer at (x, y) before the turn: the draws that cover it, in drawing
// order, each blending the ink's alpha over it by its coverage.
uint8_t layer_alpha(const TextGrid& grid, const imaging::TextStamp& stamp, uint8_t ink_alpha,
                    int64_t x, int64_t y);

// The watermarked image: `im` (RGB or RGBA) with the turned text layer composited over it,
// as an RGBA image of the same size.
Image stamp_text(const Image& im, const imaging::TextStamp& stamp, Rgba ink, const TextGrid& grid);

}  // namespace img_util::watermark
