// Palette reduction for images with alpha: the fast octree over r, g, b and a that Pillow uses
// for RGBA sources, so palette images made from RGBA come out the way the host's did. Pixels
// are counted in a fine 8x16x8x8 cube; every used cell of a coarse 4x4x4x4 cube gets an entry
// and the most used fine cells the rest; each pixel then takes the entry of its cell.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "imaging/pixel_util.hpp"
#include "imaging/quantize.hpp"
#include "img_util/errors.hpp"

namespace img_util::imaging {
namespace {

// A 4-D histogram with `bits` levels per channel (r, g, b, a); a bucket's count doubles as a
// palette index once the cube is used for lookup.
struct Cube {
  struct Bucket {
    uint32_t count = 0;
    uint64_t sum[4] = {0, 0, 0, 0};
  };
  int bits[4];
  std::vector<Bucket> buckets;

  Cube(int r, int g, int b, int a) : bits{r, g, b, a}, buckets(size_t(1) << (r + g + b + a)) {}
  size_t pos(const unsigned v[4]) const {
    return (size_t(v[0]) << (bits[1] + bits[2] + bits[3])) | (size_t(v[1]) << (bits[2] + bits[3])) |
           (size_t(v[2]) << bits[3]) | v[3];
  }
  Bucket& at(const uint8_t px[4]) {
    unsigned v[4];
    for (int c = 0; c < 4; ++c) v[c] = px[c] >> (8 - bits[c]);
    return buckets[pos(v)];
  }
  size_t used() const {
    return size_t(
        std::count_if(buckets.begin(), buckets.end(), [](const Bucket& b) { return b.count > 0; }));
  }
  // The same histogram with other depths: finer cells repeat their coarse cell's values,
  // coarser cells add up their finer ones.
  Cube resized(int r, int g, int b, int a) const {
    Cube out(r, g, b, a);
    const int nb[4] = {r, g, b, a};
    int src_shift[4], dst_shift[4];
    unsigned width[4];
    for (int c = 0; c < 4; ++c) {
      src_shift[c] = std::max(0, nb[c] - bits[c]);
      dst_shift[c] = std::max(0, bits[c] - nb[c]);
      width[c] = 1u << std::max(nb[c], bits[c]);
    }
    unsigned v[4], sv[4], dv[4];
    for (v[0] = 0; v[0] < width[0]; ++v[0])
      for (v[1] = 0; v[1] < width[1]; ++v[1])
        for (v[2] = 0; v[2] < width[2]; ++v[2])
          for (v[3] = 0; v[3] < width[3]; ++v[3]) {
            for (int c = 0; c < 4; ++c) sv[c] = v[c] >> src_shift[c], dv[c] = v[c] >> dst_shift[c];
            const Bucket& from = buckets[pos(sv)];
            Bucket& to = out.buckets[out.pos(dv)];
            to.count += from.count;
            for (int c = 0; c < 4; ++c) to.sum[c] += from.sum[c];
          }
    return out;
  }
};

// A bucket's mean colour, in single precision and truncated as the host's octree does.
Rgba bucket_mean(const Cube::Bucket& b) {
  Rgba out{0, 0, 0, 0};
  if (b.count == 0) return out;
  const float count = static_cast<float>(b.count);
  for (int c = 0; c < 4; ++c)
    out[c] = detail::clip8(static_cast<int>(static_cast<float>(b.sum[c]) / count));
  return out;
}

std::vector<Cube::Bucket> by_count(const Cube& cube) {
  std::vector<Cube::Bucket> sorted = cube.buckets;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Cube::Bucket& a, const Cube::Bucket& b) { return a.count > b.count; });
  return sorted;
}

void subtract(Cube& coarse, const std::vector<Cube::Bucket>& fine, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (fine[i].count == 0) continue;
    Rgba mean = bucket_mean(fine[i]);
    Cube::Bucket& m = coarse.at(mean.data());
    m.count -= fine[i].count;
    for (int c = 0; c < 4; ++c) m.sum[c] -= fine[i].sum[c];
  }
}

// Calls fn(px) for every pixel of an RGBA image, in order, where every fully transparent pixel
// shows the colour of the first one.
template <class Fn>
void for_each_pixel(const Image& im, Fn&& fn) {
  bool seen_transparent = false;
  uint8_t transparent[3] = {0, 0, 0};
  for (int y = 0; y < im.height(); ++y) {
    const uint8_t* p = im.row(y);
    for (int x = 0; x < im.width(); ++x, p += 4) {
      uint8_t px[4] = {p[0], p[1], p[2], p[3]};
      if (p[3] == 0) {
        if (!seen_transparent) {
          seen_transparent = true;
          transparent[0] = p[0], transparent[1] = p[1], transparent[2] = p[2];
        } else {
          px[0] = transparent[0], px[1] = transparent[1], px[2] = transparent[2];
        }
      }
      fn(px);
    }
  }
}

// The image counted in the fine 8x16x8x8 cube.
Cube fine_histogram(const Image& im) {
  Cube fine(3, 4, 3, 3);
  for_each_pixel(im, [&](const uint8_t px[4]) {
    Cube::Bucket& b = fine.at(px);
    ++b.count;
    for (int c = 0; c < 4; ++c) b.sum[c] += px[c];
  });
  return fine;
}

// The palette's cells: the first `coarse` entries are coarse (4x4x4x4) cells, the rest fine.
struct Entries {
  std::vector<Cube::Bucket> cells;
  size_t coarse = 0;
};

// Every used coarse cell gets an entry, the most used fine cells the rest; a coarse cell
// emptied by the fine entries taken from it frees its place for another.
Entries choose_entries(const Cube& fine, size_t n_quant) {
  Cube coarse = fine.resized(2, 2, 2, 2);
  size_t n_coarse = std::min(coarse.used(), n_quant);
  size_t n_fine = n_quant - n_coarse;
  const std::vector<Cube::Bucket> fine_sorted = by_count(fine);
  subtract(coarse, fine_sorted, 0, n_fine);
  while (n_coarse > coarse.used()) {
    const size_t done = n_fine;
    n_coarse = coarse.used();
    n_fine = n_quant - n_coarse;
    subtract(coarse, fine_sorted, done, n_fine);
  }
  const std::vector<Cube::Bucket> coarse_sorted = by_count(coarse);
  Entries e;
  e.coarse = n_coarse;
  e.cells.assign(coarse_sorted.begin(), coarse_sorted.begin() + std::ptrdiff_t(n_coarse));
  e.cells.insert(e.cells.end(), fine_sorted.begin(), fine_sorted.begin() + std::ptrdiff_t(n_fine));
  return e;
}

// The fine cube with each cell's count set to the index of its entry: coarse entries first,
// spread over the fine cells, then the fine entries; lower indices win where entries share a
// cell.
Cube lookup_cube(const Entries& e) {
  Cube coarse_lookup(2, 2, 2, 2);
  for (size_t i = e.coarse; i-- > 0;)
    coarse_lookup.at(bucket_mean(e.cells[i]).data()).count = uint32_t(i);
  Cube lookup = coarse_lookup.resized(3, 4, 3, 3);
  for (size_t i = e.cells.size(); i-- > e.coarse;)
    lookup.at(bucket_mean(e.cells[i]).data()).count = uint32_t(i);
  return lookup;
}

}  // namespace

Image quantize_octree(const Image& im, int colors) {
  if (colors < 1 || colors > 256) throw ValueError("bad number of colors");
  if (im.mode() != Mode::RGBA) throw ValueError("octree quantization needs an RGBA image");
  const size_t n_quant = size_t(colors);
  const Entries entries = choose_entries(fine_histogram(im), n_quant);
  Cube lookup = lookup_cube(entries);
  Image out(Mode::P, im.width(), im.height());
  uint8_t* dst = out.pixels().data();
  for_each_pixel(im, [&](const uint8_t px[4]) { *dst++ = uint8_t(lookup.at(px).count); });
  out.palette.resize(n_quant);
  for (size_t i = 0; i < n_quant; ++i) out.palette[i] = bucket_mean(entries.cells[i]);
  return out;
}

}  // namespace img_util::imaging
