// Palette reduction by median cut, for images without alpha (the octree for images with alpha
// is in quantize_octree.cpp). It makes the same box choices, palette averages and nearest-entry
// search as Pillow's ADAPTIVE quantizer, so palette images come out the way the host's did: a
// colour histogram (exact while it has at most 65536 colours, otherwise on colours with their
// low bits dropped, one bit at a time until it fits), median cut of the histogram into boxes,
// one palette entry per box (the mean of its pixels), then every pixel mapped to its nearest
// entry, searched from its own box's entry outwards with a cache per colour.
#include "imaging/quantize.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "img_util/errors.hpp"

namespace img_util::imaging {
namespace {

constexpr uint32_t kEmpty = 0xffffffffu;
constexpr size_t kMaxHistogramColours = 65536;

inline uint32_t pack(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }
inline uint32_t channel(uint32_t key, int c) { return (key >> (8 * c)) & 0xff; }

// Open-addressing map from a packed colour to a 32-bit value; grows at half load. A key and
// its value share a slot, so a lookup touches one cache line.
class ColourMap {
 public:
  explicit ColourMap(size_t expected = 1024) { rebuild(std::max<size_t>(64, expected * 2)); }
  size_t size() const { return size_; }
  // Slot of `key`, inserting it with `init` when absent; `inserted` tells which.
  uint32_t& find_or_insert(uint32_t key, uint32_t init, bool& inserted) {
    if ((size_ + 1) * 2 > slots_.size()) [[unlikely]]
      grow();
    Slot& s = slots_[slot(key)];
    inserted = s.key == kEmpty;
    if (inserted) s.key = key, s.value = init, ++size_;
    return s.value;
  }
  const uint32_t* find(uint32_t key) const {
    const Slot& s = slots_[slot(key)];
    return s.key == kEmpty ? nullptr : &s.value;
  }

 private:
  struct Slot {
    uint32_t key, value;
  };
  size_t slot(uint32_t key) const {
    size_t i = (key * 0x9E3779B1u) >> shift_;
    while (slots_[i].key != kEmpty && slots_[i].key != key) i = (i + 1) & (slots_.size() - 1);
    return i;
  }
  void rebuild(size_t capacity) {
    size_t cap = 64;
    while (cap < capacity) cap <<= 1;
    slots_.assign(cap, Slot{kEmpty, 0});
    shift_ = 32 - __builtin_ctzll(cap);
    size_ = 0;
  }
  [[gnu::noinline]] void grow() {
    std::vector<Slot> old = std::move(slots_);
    rebuild(old.size() * 2);
    for (const Slot& o : old)
      if (o.key != kEmpty) slots_[slot(o.key)] = o, ++size_;
  }
  std::vector<Slot> slots_;
  int shift_ = 26;
  size_t size_ = 0;
};

// Calls fn(packed rgb) for every pixel; grey modes give r = g = b, alpha is ignored.
template <class Fn>
void for_each_colour(const Image& im, Fn&& fn) {
  const int bands = im.bands();
  const bool grey = im.mode() == Mode::L || im.mode() == Mode::LA;
  for (int y = 0; y < im.height(); ++y) {
    const uint8_t* p = im.row(y);
    if (grey) {
      for (int x = 0; x < im.width(); ++x, p += bands) fn(pack(p[0], p[0], p[0]));
    } else {
      for (int x = 0; x < im.width(); ++x, p += bands) fn(pack(p[0], p[1], p[2]));
    }
  }
}

// The colour a palette index shows once expanded to RGB: indices beyond a short palette read
// as the grey of their own value, as convert() expands them.
uint32_t palette_colour(const Image& im, int i) {
  if (i < static_cast<int>(im.palette.size()))
    return pack(im.palette[i][0], im.palette[i][1], im.palette[i][2]);
  return pack(uint32_t(i), uint32_t(i), uint32_t(i));
}

uint32_t scaled(uint32_t colour, int scale) {
  return pack(channel(colour, 0) >> scale, channel(colour, 1) >> scale,
              channel(colour, 2) >> scale);
}

// A histogram bin: colour with `scale` low bits dropped per channel, and the exact sums of
// the pixels that fell into it (the palette entry is their mean).
struct Bin {
  uint32_t key;
  uint64_t count = 0;
  uint64_t sum[3] = {0, 0, 0};
  int box = -1;
};

struct Histogram {
  int scale = 0;
  std::vector<Bin> bins;
  ColourMap index;  // scaled colour -> position in bins
  // Whether each pixel's bin position was noted as the histogram was built (possible while
  // there are no more than 256 bins).
  bool recorded = false;
  // While the histogram is exact a bin's sums follow from its colour and count, so they are
  // only filled in when the bins are first merged, or at the end.
  bool sums_filled = false;

  void fill_sums() {
    if (sums_filled) return;
    for (Bin& b : bins)
      for (int c = 0; c < 3; ++c) b.sum[c] = b.count * channel(b.key, c);
    sums_filled = true;
  }

  // Adds `count` pixels of the exact `colour`; returns the bin's position.
  uint32_t add(uint32_t colour, uint64_t count) {
    bool inserted = false;
    uint32_t pos =
        index.find_or_insert(scaled(colour, scale), static_cast<uint32_t>(bins.size()), inserted);
    if (inserted) [[unlikely]]
      pos = new_bin(colour);
    tally(pos, colour, count);
    return pos;
  }

  // The bin just entered in the index for `colour`, made; the histogram is coarsened when
  // that makes too many. Returns the position of the colour's bin.
  [[gnu::noinline]] uint32_t new_bin(uint32_t colour) {
    bins.push_back(Bin{scaled(colour, scale)});
    if (bins.size() <= kMaxHistogramColours) return static_cast<uint32_t>(bins.size() - 1);
    while (bins.size() > kMaxHistogramColours) coarsen();
    return *index.find(scaled(colour, scale));
  }

  // Counts `count` more pixels of the exact `colour` in the bin at `pos`.
  void tally(uint32_t pos, uint32_t colour, uint64_t count) {
    Bin& b = bins[pos];
    b.count += count;
    if (sums_filled)
      for (int c = 0; c < 3; ++c) b.sum[c] += count * channel(colour, c);
  }

  // Drops one more bit per channel, merging bins that now coincide.
  void coarsen() {
    fill_sums();
    ++scale;
    std::vector<Bin> old = std::move(bins);
    bins.clear();
    index = ColourMap(old.size());
    for (const Bin& b : old) {
      uint32_t key = pack(channel(b.key, 0) >> 1, channel(b.key, 1) >> 1, channel(b.key, 2) >> 1);
      bool inserted = false;
      uint32_t& pos = index.find_or_insert(key, static_cast<uint32_t>(bins.size()), inserted);
      if (inserted) bins.push_back(Bin{key});
      Bin& t = bins[pos];
      t.count += b.count;
      for (int c = 0; c < 3; ++c) t.sum[c] += b.sum[c];
    }
  }
};

// The histogram of the image's colours (a P image: of the colours it shows). The bins, their
// sums and the scale depend only on the multiset of colours, not on the order of the pixels
// or of the bins, and neither does anything the median cut derives from them. While there are
// at most 256 bins, each pixel's bin position is written to `record` (one byte a pixel), so
// that the pixels need not be looked up again.
Histogram build_histogram(const Image& im, uint8_t* record) {
  Histogram h;
  if (im.mode() == Mode::P) {
    // Four tallies taken in turn, so that a run of one index does not wait on its own count.
    uint64_t counts[4][256] = {};
    const std::vector<uint8_t>& px = im.pixels();
    size_t i = 0;
    for (; i + 4 <= px.size(); i += 4)
      ++counts[0][px[i]], ++counts[1][px[i + 1]], ++counts[2][px[i + 2]], ++counts[3][px[i + 3]];
    for (; i < px.size(); ++i) ++counts[0][px[i]];
    for (int v = 0; v < 256; ++v) {
      const uint64_t n = counts[0][v] + counts[1][v] + counts[2][v] + counts[3][v];
      if (n) h.add(palette_colour(im, v), n);
    }
  } else {
    uint32_t last = kEmpty, last_pos = 0;
    for_each_colour(im, [&](uint32_t colour) {
      if (colour == last) {
        h.tally(last_pos, colour, 1);
      } else {
        last_pos = h.add(colour, 1);
        last = colour;
        if (h.bins.size() > 256) record = nullptr;
      }
      if (record) *record++ = static_cast<uint8_t>(last_pos);
    });
    h.recorded = record != nullptr;
  }
  h.fill_sums();
  return h;
}

struct Box {
  std::vector<uint32_t> members;  // positions in the histogram's bins
  uint64_t pixels = 0;
  int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
  int left = -1, right = -1;
  int64_t volume() const {
    if (members.empty()) return 0;
    return int64_t(hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1);
  }
};

class MedianCut {
 public:
  explicit MedianCut(std::vector<Bin>& bins) : bins_(bins) {}

  // Splits boxes (most pixels first) until there are `colors` or none can be split; the
  // leaves, left to right, become the palette entries. Returns the number of entries.
  int run(uint64_t total_pixels, int colors) {
    Box root;
    root.members.resize(bins_.size());
    std::iota(root.members.begin(), root.members.end(), 0u);
    root.pixels = total_pixels;
    bound(root);
    boxes_.push_back(std::move(root));
    heap_.assign(1, -1);  // 1-based
    push(0);
    for (int n = colors; --n;) {
      int node = -1;
      do {
        node = pop();
        if (node < 0) goto done;
      } while (boxes_[node].volume() == 1);
      split(node);
      push(boxes_[node].left);
      push(boxes_[node].right);
    }
  done:
    int next = 0;
    number_leaves(0, next);
    return next;
  }

  const std::vector<Box>& boxes() const { return boxes_; }

 private:
  void bound(Box& b) const {
    for (uint32_t m : b.members)
      for (int c = 0; c < 3; ++c) {
        int v = static_cast<int>(channel(bins_[m].key, c));
        b.lo[c] = std::min(b.lo[c], v), b.hi[c] = std::max(b.hi[c], v);
      }
  }

  // The axis with the widest luminance-weighted range; the upper half (by pixel count,
  // never splitting a value) goes left.
  void split(int node) {
    std::vector<uint32_t> members = std::move(boxes_[node].members);
    const uint64_t pixels = boxes_[node].pixels;
    const Box& b = boxes_[node];
    const int weight[3] = {77, 150, 29};
    int axis = 0, best = (b.hi[0] - b.lo[0]) * weight[0];
    for (int c = 1; c < 3; ++c)
      if (best < (b.hi[c] - b.lo[c]) * weight[c]) best = (b.hi[c] - b.lo[c]) * weight[c], axis = c;
    auto value = [&](uint32_t m) { return channel(bins_[m].key, axis); };
    // Descending by value. Which members end up on which side depends only on the values and
    // counts, never on the order of equal values, so a counting sort serves.
    {
      size_t start[256] = {};
      for (uint32_t m : members) ++start[value(m)];
      size_t at = 0;
      for (int v = 255; v >= 0; --v) {
        const size_t n = start[v];
        start[v] = at;
        at += n;
      }
      std::vector<uint32_t> sorted(members.size());
      for (uint32_t m : members) sorted[start[value(m)]++] = m;
      members = std::move(sorted);
    }

    size_t cut = 0;
    uint64_t acc = 0;
    while (cut < members.size()) {
      acc += bins_[members[cut]].count;
      ++cut;
      if (acc * 2 > pixels) break;
    }
    if (cut < members.size()) {
      uint32_t v = value(members[cut - 1]);
      while (cut < members.size() && value(members[cut]) == v) ++cut;
    }
    if (cut == members.size()) {
      uint32_t v = value(members.back());
      while (cut > 0 && value(members[cut - 1]) == v) --cut;
    }
    Box l, r;
    l.members.assign(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(cut));
    r.members.assign(members.begin() + static_cast<std::ptrdiff_t>(cut), members.end());
    for (uint32_t m : l.members) l.pixels += bins_[m].count;
    for (uint32_t m : r.members) r.pixels += bins_[m].count;
    bound(l);
    bound(r);
    boxes_.push_back(std::move(l));
    boxes_.push_back(std::move(r));
    boxes_[node].left = static_cast<int>(boxes_.size()) - 2;
    boxes_[node].right = static_cast<int>(boxes_.size()) - 1;
  }

  void number_leaves(int node, int& next) {
    Box& b = boxes_[node];
    if (b.left >= 0) {
      number_leaves(b.left, next);
      number_leaves(b.right, next);
      return;
    }
    if (b.members.empty()) return;
    for (uint32_t m : b.members) bins_[m].box = next;
    ++next;
  }

  // A binary max-heap on pixel count with the same sift rules as the host's quantizer, so
  // boxes of equal size are split in the same order.
  int cmp(int a, int b) const {
    uint64_t x = boxes_[a].pixels, y = boxes_[b].pixels;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  void push(int v) {
    heap_.push_back(v);
    size_t k = heap_.size() - 1;
    while (k != 1) {
      if (cmp(v, heap_[k / 2]) <= 0) break;
      heap_[k] = heap_[k / 2];
      k >>= 1;
    }
    heap_[k] = v;
  }
  int pop() {
    if (heap_.size() <= 1) return -1;
    int top = heap_[1];
    int v = heap_.back();
    heap_.pop_back();
    size_t count = heap_.size() - 1, k = 1, l = 0;
    for (; k * 2 <= count; k = l) {
      l = k * 2;
      if (l < count && cmp(heap_[l], heap_[l + 1]) < 0) ++l;
      if (cmp(v, heap_[l]) > 0) break;
      heap_[k] = heap_[l];
    }
    if (count > 0) heap_[k] = v;
    return top;
  }

  std::vector<Bin>& bins_;
  std::vector<Box> boxes_;
  std::vector<int> heap_;
};

inline uint32_t distance2(const Rgba& p, uint32_t colour) {
  int dr = int(p[0]) - int(channel(colour, 0)), dg = int(p[1]) - int(channel(colour, 1)),
      db = int(p[2]) - int(channel(colour, 2));
  return uint32_t(dr * dr + dg * dg + db * db);
}

// For each entry, the entries ordered by their distance from it (ties by index): the search
// for a colour's nearest entry starts at its box's entry and stops once the candidates are
// too far away to beat the best found. A search only reads the entries up to four times its
// start distance, so each order is sorted only as far as a search has needed so far.
class NearestEntry {
 public:
  explicit NearestEntry(const std::vector<Rgba>& palette)
      : palette_(palette), n_(palette.size()), rows_(n_) {}

  uint32_t find(uint32_t colour, uint32_t start) {
    uint32_t best = start, best_d = distance2(palette_[start], colour);
    // Only a strictly nearer entry replaces the start, and none is nearer than its own colour.
    if (best_d == 0) return best;
    const uint32_t limit = best_d << 2;  // at most 4 * 3 * 255^2: no overflow
    for (uint32_t key : sorted_up_to(start, limit)) {
      if ((key >> 8) > limit) break;
      const uint32_t idx = key & 0xff;
      uint32_t dd = distance2(palette_[idx], colour);
      if (dd < best_d) best_d = dd, best = idx;
    }
    return best;
  }

 private:
  struct Row {
    bool made = false;
    uint32_t sorted = 0;   // keys_[0, sorted) of the row are in order...
    uint32_t covered = 0;  // ...and are all the entries within this distance
  };

  // The row of entry `i`, in order at least as far as every entry within `limit`. Each key is
  // distance << 8 | index (a distance needs 18 bits, an index 8), so that plain integer
  // order is distance, then index.
  std::span<const uint32_t> sorted_up_to(uint32_t i, uint32_t limit) {
    if (keys_.empty()) keys_.resize(n_ * n_);  // not at all when every colour is an entry's own
    uint32_t* r = &keys_[size_t(i) * n_];
    Row& row = rows_[i];
    if (!row.made) {
      const uint32_t from = pack(palette_[i][0], palette_[i][1], palette_[i][2]);
      for (size_t j = 0; j < n_; ++j) r[j] = distance2(palette_[j], from) << 8 | uint32_t(j);
      row.made = true;
    }
    if (row.sorted < n_ && (row.sorted == 0 || limit > row.covered)) {
      // Doubling the reach keeps the number of passes over a row small.
      const uint32_t reach = std::max(limit, row.covered * 2);
      uint32_t* end = std::partition(r + row.sorted, r + n_,
                                     [reach](uint32_t key) { return (key >> 8) <= reach; });
      std::sort(r + row.sorted, end);
      row.sorted = static_cast<uint32_t>(end - r);
      row.covered = reach;
    }
    return {r, row.sorted};
  }

  const std::vector<Rgba>& palette_;
  size_t n_;
  std::vector<uint32_t> keys_;
  std::vector<Row> rows_;
};

// ---- the palette and the pixels -------------------------------------------------------------

// One entry per box, the rounded mean of the exact pixels of its box.
std::vector<Rgba> box_means(const Histogram& h, int entries) {
  std::vector<uint64_t> sums(size_t(entries) * 3, 0), counts(size_t(entries), 0);
  for (const Bin& b : h.bins) {
    counts[b.box] += b.count;
    for (int c = 0; c < 3; ++c) sums[size_t(b.box) * 3 + c] += b.sum[c];
  }
  std::vector<Rgba> palette(static_cast<size_t>(entries));
  for (int i = 0; i < entries; ++i) {
    for (int c = 0; c < 3; ++c)
      palette[i][c] =
          static_cast<uint8_t>(0.5 + double(sums[size_t(i) * 3 + c]) / double(counts[i]));
    palette[i][3] = 255;
  }
  return palette;
}

// Maps pixels whose bin positions build_histogram recorded in `out`'s pixels to their entries.
void map_recorded(const Histogram& h, NearestEntry& nearest, Image& out) {
  std::array<uint8_t, 256> entry_of{};
  for (size_t i = 0; i < h.bins.size(); ++i)
    entry_of[i] = static_cast<uint8_t>(nearest.find(h.bins[i].key, h.bins[i].box));
  for (uint8_t& v : out.pixels()) v = entry_of[v];
}

// Maps a P image's pixels: at most 256 colours, so the histogram is exact, one entry per index.
void map_palette_image(const Image& im, const Histogram& h, NearestEntry& nearest, Image& out) {
  std::array<uint8_t, 256> entry_of{};
  for (int i = 0; i < 256; ++i)
    if (const uint32_t* pos = h.index.find(palette_colour(im, i)))
      entry_of[i] = static_cast<uint8_t>(nearest.find(h.bins[*pos].key, h.bins[*pos].box));
  uint8_t* dst = out.pixels().data();
  for (uint8_t i : im.pixels()) *dst++ = entry_of[i];
}

// Maps every pixel by its colour, remembering the entry of each exact colour seen so far.
// While the histogram is exact its bins serve as that cache directly.
void map_colours(const Image& im, const Histogram& h, NearestEntry& nearest, Image& out) {
  ColourMap cache(h.scale == 0 ? 16 : 4096);
  std::vector<uint32_t> bin_entry;
  if (h.scale == 0) {
    bin_entry.resize(h.bins.size());
    for (size_t i = 0; i < h.bins.size(); ++i)
      bin_entry[i] = nearest.find(h.bins[i].key, h.bins[i].box);
  }
  uint8_t* dst = out.pixels().data();
  uint32_t last = kEmpty, last_entry = 0;
  for_each_colour(im, [&](uint32_t colour) {
    if (colour != last) {
      last = colour;
      if (h.scale == 0) {
        last_entry = bin_entry[*h.index.find(colour)];
      } else {
        bool inserted = false;
        uint32_t& e = cache.find_or_insert(colour, 0, inserted);
        if (inserted) {
          const Bin& b = h.bins[*h.index.find(scaled(colour, h.scale))];
          e = nearest.find(colour, static_cast<uint32_t>(b.box));
        }
        last_entry = e;
      }
    }
    *dst++ = static_cast<uint8_t>(last_entry);
  });
}

}  // namespace

Image quantize_median_cut(const Image& im, int colors) {
  if (colors < 1 || colors > 256) throw ValueError("bad number of colors");
  Image out(Mode::P, im.width(), im.height());
  if (im.width() == 0 || im.height() == 0) return out;
  // While there are few colours, each pixel's bin is noted in `out` as the histogram is built.
  Histogram h = build_histogram(im, out.pixels().data());
  MedianCut cut(h.bins);
  const int entries = cut.run(uint64_t(im.width()) * uint64_t(im.height()), colors);
  out.palette = box_means(h, entries);
  NearestEntry nearest(out.palette);
  if (h.recorded)
    map_recorded(h, nearest, out);
  else if (im.mode() == Mode::P)
    map_palette_image(im, h, nearest, out);
  else
    map_colours(im, h, nearest, out);
  return out;
}

}  // namespace img_util::imaging
