// watermark_word: a configured text stamped across the image as a diagonal, repeating,
// semi-transparent pattern. See watermark_text_layout.hpp for how only the visible tile of
// the pattern is computed.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "imaging/color.hpp"
#include "imaging/geometry.hpp"
#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"
#include "imaging/text.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/count.hpp"
#include "operations/watermark_common.hpp"
#include "operations/watermark_text_layout.hpp"

namespace img_util {
namespace watermark {
namespace {

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Folds the draws that cover (x, y) in drawing order. With `bounded` false the grid is taken
// as endless, which gives the periodic value away from the layer's edges.
uint8_t fold_alpha(const TextGrid& grid, const imaging::TextStamp& stamp, uint8_t ink_alpha,
                   int64_t x, int64_t y, bool bounded) {
  if (stamp.lines.empty()) return 0;
  int64_t i_lo = floor_div(x - stamp.right, grid.step_x) + 1,
          i_hi = floor_div(x - stamp.left, grid.step_x);
  int64_t j_lo = floor_div(y - stamp.bottom, grid.step_y) + 1,
          j_hi = floor_div(y - stamp.top, grid.step_y);
  if (bounded) {
    i_lo = std::max<int64_t>(i_lo, 0), i_hi = std::min(i_hi, grid.columns() - 1);
    j_lo = std::max<int64_t>(j_lo, 0), j_hi = std::min(j_hi, grid.rows() - 1);
  }
  uint8_t a = 0;
  for (int64_t i = i_lo; i <= i_hi; ++i) {
    for (int64_t j = j_lo; j <= j_hi; ++j) {
      for (const imaging::TextMask& line : stamp.lines) {
        int64_t mx = x - i * grid.step_x - line.dx, my = y - j * grid.step_y - line.dy;
        if (mx < 0 || my < 0 || mx >= line.width || my >= line.height) continue;
        uint8_t m = line.at(static_cast<int>(mx), static_cast<int>(my));
        if (m) a = imaging::blend255(m, a, ink_alpha);
      }
    }
  }
  return a;
}

// The layer's alpha over one grid cell, and the part of the layer where that cell repeats.
class AlphaLookup {
 public:
  AlphaLookup(const TextGrid& grid, const imaging::TextStamp& stamp, uint8_t ink_alpha,
              int64_t max_cell)
      : grid_(grid), stamp_(stamp), ink_alpha_(ink_alpha) {
    if (stamp.lines.empty()) return;
    if (grid.step_x * grid.step_y > max_cell) return;
    cell_.resize(static_cast<size_t>(grid.step_x * grid.step_y));
    for (int64_t v = 0; v < grid.step_y; ++v)
      for (int64_t u = 0; u < grid.step_x; ++u)
        cell_[v * grid.step_x + u] = fold_alpha(grid, stamp, ink_alpha, u, v, false);
    // Every draw that can cover a point of this box exists.
    x_lo_ = stamp.right - grid.step_x, x_hi_ = grid.columns() * grid.step_x + stamp.left;
    y_lo_ = stamp.bottom - grid.step_y, y_hi_ = grid.rows() * grid.step_y + stamp.top;
  }

  uint8_t operator()(int64_t x, int64_t y) const {
    if (!cell_.empty() && x >= x_lo_ && x < x_hi_ && y >= y_lo_ && y < y_hi_)
      return cell_[floor_mod(y, grid_.step_y) * grid_.step_x + floor_mod(x, grid_.step_x)];
    return fold_alpha(grid_, stamp_, ink_alpha_, x, y, true);
  }

 private:
  const TextGrid& grid_;
  const imaging::TextStamp& stamp_;
  uint8_t ink_alpha_;
  std::vector<uint8_t> cell_;
  int64_t x_lo_ = 0, x_hi_ = 0, y_lo_ = 0, y_hi_ = 0;
};

}  // namespace

int char_spacing(double font_size) {
  double v = 40.0 * font_size / 36.0;
  if (!(std::fabs(v) < 1e9)) throw ValueError("font size out of range");
  return static_cast<int>(v);
}

TextGrid text_grid(int w, int h, size_t chars, double font_size) {
  TextGrid grid;
  grid.layer_width = 3 * w;
  grid.layer_height = 3 * h;
  grid.step_x = static_cast<int64_t>(chars) * char_spacing(font_size);
  if (chars == 0) throw ValueError("cannot draw the text watermark: 'masktext' is empty");
  if (grid.step_x <= 0)
    throw ValueError("cannot draw the text watermark: font size " + std::to_string(font_size) +
                     " gives no spacing between the texts");
  return grid;
}

uint8_t layer_alpha(const TextGrid& grid, const imaging::TextStamp& stamp, uint8_t ink_alpha,
                    int64_t x, int64_t y) {
  return fold_alpha(grid, stamp, ink_alpha, x, y, true);
}

LayerTurn::LayerTurn(int layer_width, int layer_height)
    : width_(layer_width), height_(layer_height) {
  // The host library's rotate() by -45 degrees: the same matrix as imaging::rotate's, only
  // walked row by row below (its floating-point form accumulates along a row).
  const imaging::RotationMap map = imaging::RotationMap::make(-45.0, layer_width, layer_height);
  std::copy(map.a.begin(), map.a.end(), a_);
  fixed_ = map.fixed;
  fa_[0] = map.f0, fa_[1] = map.f1, fa_[2] = map.f2;
  fa_[3] = map.f3, fa_[4] = map.f4, fa_[5] = map.f5;
}

LayerTurn::Rows::Rows(const LayerTurn& turn, int first_row) : turn_(turn), y_(first_row) {
  if (turn.fixed_) return;
  const double* a = turn.a_;
  xo_ = a[2] + a[1] * 0.5 + a[0] * 0.5, yo_ = a[5] + a[4] * 0.5 + a[3] * 0.5;
  for (int r = 0; r < first_row; ++r) xo_ += a[1], yo_ += a[4];
}

void LayerTurn::Rows::next(int x0, int n, int* sx, int* sy) {
  const LayerTurn& t = turn_;
  auto put = [&](int k, int64_t xin, int64_t yin) {
    if (xin >= 0 && xin < t.width_ && yin >= 0 && yin < t.height_) {
      sx[k] = static_cast<int>(xin), sy[k] = static_cast<int>(yin);
    } else {
      sx[k] = sy[k] = -1;
    }
  };
  const int y = y_++;
  if (t.fixed_) {
    // Integer steps are exact, so the position of any pixel has a closed form.
    const int64_t* fa = t.fa_;
    int64_t xx = fa[2] + y * fa[1] + int64_t{x0} * fa[0];
    int64_t yy = fa[5] + y * fa[4] + int64_t{x0} * fa[3];
    for (int k = 0; k < n; ++k, xx += fa[0], yy += fa[3]) put(k, xx >> 16, yy >> 16);
    return;
  }
  // Floating point: the steps along a row are accumulated too, so we repeat them in order.
  const double* a = t.a_;
  double xx = xo_, yy = yo_;
  xo_ += a[1], yo_ += a[4];
  auto coord = [](double v) -> int64_t { return v < 0.0 ? -1 : static_cast<int64_t>(v); };
  for (int x = 0; x < x0 + n; ++x, xx += a[0], yy += a[3])
    if (x >= x0) put(x - x0, coord(xx), coord(yy));
}

Image stamp_text(const Image& im, const imaging::TextStamp& stamp, Rgba ink, const TextGrid& grid) {
  if (im.mode() != Mode::RGB && im.mode() != Mode::RGBA)
    throw ValueError(std::string("stamp_text needs an RGB or RGBA image, not ") +
                     mode_name(im.mode()));
  const int w = im.width(), h = im.height(), bands = im.bands();
  Image out(Mode::RGBA, w, h);
  const int64_t area = static_cast<int64_t>(w) * h;
  AlphaLookup alpha(grid, stamp, ink[3], std::max<int64_t>(area, 1 << 16));
  LayerTurn turn(grid.layer_width, grid.layer_height);
  // Source positions of one row, one buffer per part of the split.
  std::vector<int> sx[2] = {std::vector<int>(static_cast<size_t>(w)),
                            std::vector<int>(static_cast<size_t>(w))};
  std::vector<int> sy[2] = {std::vector<int>(static_cast<size_t>(w)),
                            std::vector<int>(static_cast<size_t>(w))};
  im.pixels();  // decoded here, not inside the threads
  split_rows(h, static_cast<double>(area), [&](int y0, int y1, int part) {
    int* px = sx[part].data();
    int* py = sy[part].data();
    LayerTurn::Rows rows(turn, y0 + h);
    for (int y = y0; y < y1; ++y) {
      rows.next(w, w, px, py);
      const uint8_t* in = im.row(y);
      uint8_t* o = out.row(y);
      for (int x = 0; x < w; ++x, in += bands, o += 4) {
        uint8_t dst[4] = {in[0], in[1], in[2], bands == 4 ? in[3] : uint8_t{255}};
        uint8_t a = px[x] < 0 ? 0 : alpha(px[x], py[x]);
        if (a == 0) {
          o[0] = dst[0], o[1] = dst[1], o[2] = dst[2], o[3] = dst[3];
        } else {
          const uint8_t src[4] = {ink[0], ink[1], ink[2], a};
          imaging::detail::over_pixel(dst, src, o);
        }
      }
    }
  });
  return out;
}

// The text of `masktext`: text or bytes as UTF-8; bytes that are not UTF-8 are taken one
// character per byte, those outside ASCII drawn as missing glyphs.
std::u32string watermark_text(const Value& v) {
  const std::string* raw = nullptr;
  if (v.is_text())
    raw = &v.as_text();
  else if (v.is_bytes())
    raw = &v.as_bytes().data;
  else
    throw TypeError("'masktext' must be text, not '" + v.type_name() + "'");
  std::u32string text;
  if (imaging::decode_utf8(*raw, text)) return text;
  for (unsigned char c : *raw) text.push_back(c < 0x80 ? char32_t{c} : imaging::kNoCharacter);
  return text;
}

Rgba ink_color(const Value& v) {
  if (!v.truthy()) return imaging::parse_color("#00000080");
  if (v.is_text()) return imaging::parse_color(v.as_text());
  if (v.is_list()) {
    const List& l = v.as_list();
    if (l.size() == 3 || l.size() == 4) {
      Rgba c{0, 0, 0, 255};
      for (size_t k = 0; k < l.size(); ++k) {
        if (!l[k].is_int() && !l[k].is_bool())
          throw TypeError("colour components must be integers");
        c[k] = static_cast<uint8_t>(std::clamp<int64_t>(l[k].as_int(), 0, 255));
      }
      return c;
    }
  }
  throw ValueError("unknown color specifier: " + py_repr(v));
}

}  // namespace watermark

ImagePtr IMAGES::watermark_word(const std::string& fpath, const Value& cfg, ImagePtr im,
                                bool iscount) {
  // A file that is no image is no watermark, and no error; one that cannot be read fails.
  if (!im && !(im = Image::open_if_image(fpath))) {
    note_unchanged("not an image");
    return nullptr;
  }
  std::u32string text = watermark::watermark_text(cfg.at("masktext"));
  std::string font_path = watermark::path_value(cfg.at("fontttf"), "fontttf");
  Value size_v = cfg.get("fontsize");
  double size = size_v.truthy() ? size_v.as_number() : 36.0;
  imaging::Font font(font_path, size);
  Rgba ink = watermark::ink_color(cfg.get("rgba"));

  im->load();
  watermark::TextGrid grid = watermark::text_grid(im->width(), im->height(), text.size(), size);
  imaging::TextStamp stamp = font.render(text);

  Image out = (im->mode() == Mode::RGB || im->mode() == Mode::RGBA)
                  ? watermark::stamp_text(*im, stamp, ink, grid)
                  : watermark::stamp_text(imaging::convert(*im, Mode::RGBA), stamp, ink, grid);
  watermark::keep_metadata(*im, out);
  if (iscount) count_one(cfg, "maskcount");
  return std::make_shared<Image>(std::move(out));
}

}  // namespace img_util
