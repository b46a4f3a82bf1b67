// What the GIF codec's files share: gif_read.cpp reads files (decoding, disposal), gif_write.cpp
// writes them (frames placed on the screen, giflib's encoder), and gif_optimize.cpp holds the
// frame optimiser, which works on the frames ready for writing declared here.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec::gif_detail {

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

// giflib's text for error code `err`.
std::string gif_error(int err);

// The palette of an L image, and of a GIF image that comes without one.
std::vector<Rgba> grey_palette();

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

// ---- the frame optimiser (gif_optimize.cpp) -------------------------------------------------

// The smallest rectangle outside which `b` looks like `a` (both of the same size); empty (w 0)
// when they look the same. Without `see_transparency` a transparent index counts as its
// palette colour, as Pillow compares frames when it crops them.
Rect changed_rect(const Frame& a, const Frame& b, bool see_transparency = true);

// `f` looks the same as `kept`, the frame before it: `kept` is shown longer instead.
void merge_into(Frame& kept, const Frame& f);

// The frames, each merged into the one before where it looks the same.
std::vector<Frame> without_repeats(std::vector<Frame> frames);

// Keeps only the palette entries the written rectangle uses, in their order of first use;
// `remap` then takes each index to its new place.
void drop_unused_colors(Frame& f);

// An index (as written) that no written pixel of `f` uses, if there is one.
std::optional<int> unused_index(const Frame& f);

// Declares index `t` transparent; one beyond the palette first extends it (indices beyond it
// show black, as they did).
void make_transparent(Frame& f, int t);

// Gives a frame that is disposed of (disposal 2) a transparent index where it has none (see
// gif_optimize.cpp for why).
void give_transparent_index(Frame& f);

}  // namespace img_util::imaging::codec::gif_detail
