#include "imaging/codecs/jpeg_scans.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>

namespace img_util::imaging::codec::jpeg_scans {
namespace {

// Reads a ByteSource a window at a time, so that finding the scans of a file read from disk
// holds only a window of it.
class Window {
 public:
  explicit Window(const ByteSource& src) : src_(src) {}

  // The byte at `i`, or -1 past the end or when it cannot be read.
  int at(uint64_t i) {
    if (!covers(i) && !load(i)) return -1;
    return static_cast<uint8_t>(view_[static_cast<size_t>(i - start_)]);
  }
  // Where the entropy-coded data from `i` ends: at the next marker other than a stuffed 0xFF
  // or a restart marker. Nothing when the data runs out first.
  std::optional<uint64_t> entropy_end(uint64_t i) {
    for (;;) {
      if (!covers(i) && !load(i)) return std::nullopt;
      const char* from = view_.data() + (i - start_);
      const void* p = std::memchr(from, 0xFF, view_.size() - static_cast<size_t>(i - start_));
      if (!p) {
        i = start_ + view_.size();
        continue;
      }
      i += static_cast<uint64_t>(static_cast<const char*>(p) - from);
      const int next = at(i + 1);
      if (next < 0) return std::nullopt;
      if (next != 0x00 && (next < 0xD0 || next > 0xD7)) return i;
      i += 2;
    }
  }

 private:
  bool covers(uint64_t i) const { return i >= start_ && i - start_ < view_.size(); }
  bool load(uint64_t i) {
    std::optional<std::string_view> v = src_.read(i, kBytes, scratch_);
    if (!v || v->empty()) return false;
    view_ = *v;
    start_ = i;
    return true;
  }

  static constexpr size_t kBytes = size_t{1} << 20;
  const ByteSource& src_;
  std::string scratch_;
  std::string_view view_;
  uint64_t start_ = 0;
};

bool overlaps(const Scan& a, const Scan& b) {
  if (a.se < b.ss || b.se < a.ss) return false;
  for (int c : a.components)
    if (std::find(b.components.begin(), b.components.end(), c) != b.components.end()) return true;
  return false;
}

// Per component id: the bit each coefficient is known down to (-1: not yet seen).
using Known = std::map<int, std::array<int, 64>>;

// A marker segment: where its marker stands (after any fill bytes), where its body starts and
// where the next segment does. The end marker (EOI) has no body.
struct Segment {
  int marker = 0;
  uint64_t start = 0, body = 0, length = 0, next = 0;
};

// The segment at `i`, or nothing where no well-formed one is.
std::optional<Segment> segment_at(Window& d, uint64_t i, uint64_t size) {
  if (d.at(i) != 0xFF) return std::nullopt;
  while (d.at(i + 1) == 0xFF) ++i;  // fill bytes
  Segment seg;
  seg.marker = d.at(i + 1);
  seg.start = i;
  if (seg.marker < 0) return std::nullopt;
  if (seg.marker == 0xD9) {
    seg.next = i + 2;
    return seg;
  }
  // Markers without a length (SOI, RSTn, TEM) have no place here.
  const int m = seg.marker;
  if (m == 0xD8 || (m >= 0xD0 && m <= 0xD7) || m == 0x01) return std::nullopt;
  const int hi = d.at(i + 2), lo = d.at(i + 3);
  if (hi < 0 || lo < 0) return std::nullopt;
  seg.length = static_cast<uint64_t>(hi << 8 | lo);
  seg.body = i + 4;
  seg.next = i + 2 + seg.length;
  if (seg.length < 2 || seg.next > size) return std::nullopt;
  return seg;
}

bool is_frame_header(int marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// A frame header: only one, and progressive with Huffman coding. Notes its components in `bits`.
bool read_frame(Window& d, const Segment& seg, bool& progressive, Known& bits) {
  if (seg.marker != 0xC2 || progressive || seg.length < 8) return false;
  progressive = true;
  auto byte = [&](uint64_t k) { return d.at(seg.body + k); };  // within the segment: readable
  const int n = byte(5);
  if (n < 1 || seg.length != 8 + 3 * static_cast<uint64_t>(n)) return false;
  for (int k = 0; k < n; ++k) bits[byte(6 + 3 * static_cast<uint64_t>(k))].fill(-1);
  return true;
}

// A scan header: its components and parameters, which must take up exactly where the earlier
// scans left off (noted in `bits`). Its end is not known yet.
std::optional<Scan> read_scan(Window& d, const Segment& seg, Known& bits) {
  if (seg.length < 6) return std::nullopt;
  auto byte = [&](uint64_t k) { return d.at(seg.body + k); };  // within the segment: readable
  Scan scan;
  scan.begin = seg.start;
  const int n = byte(0);
  if (n < 1 || seg.length != 6 + 2 * static_cast<uint64_t>(n)) return std::nullopt;
  const uint64_t params = 1 + 2 * static_cast<uint64_t>(n);
  for (int k = 0; k < n; ++k) {
    scan.components.push_back(byte(1 + 2 * static_cast<uint64_t>(k)));
    scan.tables.push_back(byte(2 + 2 * static_cast<uint64_t>(k)));
  }
  scan.ss = byte(params);
  scan.se = byte(params + 1);
  scan.ah = byte(params + 2) >> 4;
  scan.al = byte(params + 2) & 15;
  if (scan.ss > scan.se || scan.se > 63 || (scan.ss > 0 && n != 1)) return std::nullopt;
  for (int c : scan.components) {
    auto it = bits.find(c);
    if (it == bits.end()) return std::nullopt;
    for (int k = scan.ss; k <= scan.se; ++k) {
      if (scan.ah != std::max(it->second[static_cast<size_t>(k)], 0)) return std::nullopt;
      it->second[static_cast<size_t>(k)] = scan.al;
    }
  }
  return scan;
}

// Whether every coefficient of every component is known to its last bit.
bool complete(const Known& bits) {
  for (const auto& [id, known] : bits)
    for (int b : known)
      if (b != 0) return false;
  return true;
}

}  // namespace

std::optional<Layout> parse(const ByteSource& data) {
  Window d(data);
  if (d.at(0) != 0xFF || d.at(1) != 0xD8) return std::nullopt;
  Layout layout;
  Known bits;
  bool progressive = false;
  unsigned restart_interval = 0;
  std::vector<Span> huffman_segments;
  uint64_t i = 2;
  for (;;) {
    const std::optional<Segment> seg = segment_at(d, i, data.size());
    if (!seg) return std::nullopt;
    if (seg->marker == 0xD9) {
      layout.end = seg->next;
      break;
    }
    if (is_frame_header(seg->marker)) {
      if (!read_frame(d, *seg, progressive, bits)) return std::nullopt;
    } else if (seg->marker == 0xDA) {
      if (!progressive) return std::nullopt;
      std::optional<Scan> scan = read_scan(d, *seg, bits);
      if (!scan) return std::nullopt;
      const std::optional<uint64_t> end = d.entropy_end(seg->next);
      if (!end) return std::nullopt;
      scan->end = *end;
      scan->data = seg->next;
      scan->restart_interval = restart_interval;
      scan->huffman_segments = std::move(huffman_segments);
      huffman_segments.clear();
      layout.scans.push_back(std::move(*scan));
      i = *end;
      continue;
    } else if (seg->marker == 0xC4) {
      huffman_segments.push_back({seg->body, seg->length - 2});
    } else if (seg->marker == 0xDD) {
      if (seg->length != 4) return std::nullopt;
      restart_interval = static_cast<unsigned>(d.at(seg->body) << 8 | d.at(seg->body + 1));
    }
    i = seg->next;
  }
  if (layout.scans.empty() || !complete(bits)) return std::nullopt;
  layout.components = bits.size();
  return layout;
}

Plan plan(const Layout& layout) {
  const size_t n = layout.scans.size();
  Plan p;
  p.decoder.assign(n, 0);
  p.waits.resize(n);
  std::vector<size_t> finish(n, 0);
  std::array<size_t, 2> busy_until{0, 0};
  for (size_t s = 0; s < n; ++s) {
    const Scan& scan = layout.scans[s];
    const size_t cost = scan.end - scan.begin;
    // When each decoder could have this scan read, counting in bytes.
    std::array<size_t, 2> done{};
    for (int d = 0; d < 2; ++d) {
      size_t start = busy_until[static_cast<size_t>(d)];
      for (size_t t = 0; t < s; ++t)
        if (p.decoder[t] != d && overlaps(layout.scans[t], scan))
          start = std::max(start, finish[t]);
      done[static_cast<size_t>(d)] = start + cost;
    }
    const int d = done[1] < done[0] ? 1 : 0;
    p.decoder[s] = d;
    finish[s] = busy_until[static_cast<size_t>(d)] = done[static_cast<size_t>(d)];
    for (size_t t = 0; t < s; ++t)
      if (p.decoder[t] != d && overlaps(layout.scans[t], scan)) p.waits[s].push_back(t);
  }
  return p;
}

std::vector<Span> stream(const Layout& layout, const Plan& plan, int d) {
  std::vector<Span> spans;
  uint64_t from = 0;  // start of what is not yet placed
  for (size_t s = 0; s < layout.scans.size(); ++s) {
    const Scan& scan = layout.scans[s];
    if (plan.decoder[s] == d) continue;
    spans.push_back({from, scan.begin - from});
    from = scan.end;
  }
  spans.push_back({from, layout.end - from});
  return spans;
}

}  // namespace img_util::imaging::codec::jpeg_scans
