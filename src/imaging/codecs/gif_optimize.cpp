// The GIF writer's frame optimiser: which part of a frame changed since the last one, frames
// that repeat the last one merged into it, palettes cut down to the colours a frame uses, and
// the transparent index a frame needs. It works on indices and palettes only; gif_write.cpp
// decides when each applies.
#include <algorithm>
#include <cstring>

#include "imaging/codecs/gif.hpp"

namespace img_util::imaging::codec::gif_detail {
namespace {

// What each index shows, packed: transparent as 0, indices beyond the palette opaque black.
// A GIF has no alpha but the transparent index: every other entry shows opaque, whatever alpha
// the palette gave it.
std::array<uint32_t, 256> shown_colours(const Frame& f, bool see_transparency) {
  std::array<uint32_t, 256> shown;
  for (int i = 0; i < 256; ++i) {
    const Rgba c = i < static_cast<int>(f.palette.size()) ? f.palette[i] : Rgba{0, 0, 0, 255};
    shown[i] = uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 | 0xFF000000u;
  }
  if (see_transparency && f.transparency && *f.transparency >= 0 && *f.transparency < 256)
    shown[*f.transparency] = 0;
  return shown;
}

}  // namespace

// Where both frames show their indices alike, equal rows are passed over whole.
Rect changed_rect(const Frame& a, const Frame& b, bool see_transparency) {
  const std::array<uint32_t, 256> ca = shown_colours(a, see_transparency);
  const std::array<uint32_t, 256> cb = shown_colours(b, see_transparency);
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

void merge_into(Frame& kept, const Frame& f) {
  if (f.duration_ms > 0) kept.duration_ms = std::max(0, kept.duration_ms) + f.duration_ms;
}

std::vector<Frame> without_repeats(std::vector<Frame> frames) {
  std::vector<Frame> kept;
  if (frames.empty()) return kept;
  kept.push_back(std::move(frames[0]));
  for (size_t i = 1; i < frames.size(); ++i) {
    if (changed_rect(kept.back(), frames[i]).w == 0)
      merge_into(kept.back(), frames[i]);
    else
      kept.push_back(std::move(frames[i]));
  }
  return kept;
}

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

std::optional<int> unused_index(const Frame& f) {
  std::array<bool, 256> used{};
  for (int y = f.rect.y; y < f.rect.y + f.rect.h; ++y)
    for (int x = f.rect.x; x < f.rect.x + f.rect.w; ++x) used[f.remap[f.at(x, y)]] = true;
  const auto unused = std::find(used.begin(), used.end(), false);
  if (unused == used.end()) return std::nullopt;
  return static_cast<int>(unused - used.begin());
}

void make_transparent(Frame& f, int t) {
  if (static_cast<size_t>(t) >= f.palette.size())
    f.palette.resize(static_cast<size_t>(t) + 1, Rgba{0, 0, 0, 255});
  f.transparency = t;
}

// A frame disposed of (disposal 2) leaves the screen transparent only when it has a transparent
// index; without one, readers that fill the background colour (as ours does) would show that
// colour through the next frame's transparent pixels. An index its pixels do not use is
// declared transparent, which changes nothing the frame shows. A frame using all 256 indices
// keeps none.
void give_transparent_index(Frame& f) {
  if (f.transparency) return;
  if (const std::optional<int> t = unused_index(f)) make_transparent(f, *t);
}

}  // namespace img_util::imaging::codec::gif_detail
