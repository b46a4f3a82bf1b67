#include "imaging/codecs/jpeg_scans.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>

namespace img_util::imaging::codec::jpeg_scans {
namespace {

uint8_t at(std::string_view d, size_t i) { return static_cast<uint8_t>(d[i]); }

// Where the entropy-coded data from `i` ends: at the next marker other than a stuffed 0xFF or a
// restart marker. Nothing when the data runs out first.
std::optional<size_t> entropy_end(std::string_view d, size_t i) {
  for (;;) {
    const void* p = std::memchr(d.data() + i, 0xFF, d.size() - i);
    if (!p) return std::nullopt;
    i = static_cast<size_t>(static_cast<const char*>(p) - d.data());
    if (i + 1 >= d.size()) return std::nullopt;
    const uint8_t next = at(d, i + 1);
    if (next != 0x00 && (next < 0xD0 || next > 0xD7)) return i;
    i += 2;
  }
}

bool overlaps(const Scan& a, const Scan& b) {
  if (a.se < b.ss || b.se < a.ss) return false;
  for (int c : a.components)
    if (std::find(b.components.begin(), b.components.end(), c) != b.components.end()) return true;
  return false;
}

}  // namespace

std::optional<Layout> parse(std::string_view d) {
  if (d.size() < 4 || at(d, 0) != 0xFF || at(d, 1) != 0xD8) return std::nullopt;
  Layout layout;
  // Per component id: the bit each coefficient is known down to (-1: not yet seen).
  std::map<int, std::array<int, 64>> bits;
  bool progressive = false;
  size_t i = 2;
  for (;;) {
    if (i + 1 >= d.size() || at(d, i) != 0xFF) return std::nullopt;
    while (i + 1 < d.size() && at(d, i + 1) == 0xFF) ++i;  // fill bytes
    if (i + 1 >= d.size()) return std::nullopt;
    const uint8_t marker = at(d, i + 1);
    if (marker == 0xD9) {
      layout.end = i + 2;
      break;
    }
    if (i + 3 >= d.size()) return std::nullopt;
    const size_t length = size_t{at(d, i + 2)} << 8 | at(d, i + 3);
    const size_t body = i + 4, next = i + 2 + length;
    if (length < 2 || next > d.size()) return std::nullopt;
    // Markers without a length (SOI, RSTn, TEM) have no place here.
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) return std::nullopt;
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      // Frame header: only one, and progressive with Huffman coding.
      if (marker != 0xC2 || progressive || length < 8) return std::nullopt;
      progressive = true;
      const size_t n = at(d, body + 5);
      if (n < 1 || length != 8 + 3 * n) return std::nullopt;
      for (size_t k = 0; k < n; ++k) bits[at(d, body + 6 + 3 * k)].fill(-1);
    } else if (marker == 0xDA) {
      if (!progressive || length < 6) return std::nullopt;
      Scan scan;
      const size_t n = at(d, body);
      if (n < 1 || length != 6 + 2 * n) return std::nullopt;
      for (size_t k = 0; k < n; ++k) scan.components.push_back(at(d, body + 1 + 2 * k));
      scan.ss = at(d, body + 1 + 2 * n);
      scan.se = at(d, body + 2 + 2 * n);
      scan.ah = at(d, body + 3 + 2 * n) >> 4;
      scan.al = at(d, body + 3 + 2 * n) & 15;
      if (scan.ss > scan.se || scan.se > 63 || (scan.ss > 0 && n != 1)) return std::nullopt;
      for (int c : scan.components) {
        auto it = bits.find(c);
        if (it == bits.end()) return std::nullopt;
        for (int k = scan.ss; k <= scan.se; ++k) {
          // Each scan must take up exactly where the earlier ones left off.
          if (scan.ah != std::max(it->second[k], 0)) return std::nullopt;
          it->second[k] = scan.al;
        }
      }
      scan.begin = i;
      std::optional<size_t> end = entropy_end(d, next);
      if (!end) return std::nullopt;
      scan.end = *end;
      layout.scans.push_back(std::move(scan));
      i = *end;
      continue;
    }
    i = next;
  }
  if (layout.scans.empty()) return std::nullopt;
  for (const auto& [id, known] : bits)
    for (int b : known)
      if (b != 0) return std::nullopt;
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

std::vector<std::string_view> stream(std::string_view data, const Layout& layout, const Plan& plan,
                                     int d) {
  std::vector<std::string_view> spans;
  size_t from = 0;  // start of what is not yet placed
  for (size_t s = 0; s < layout.scans.size(); ++s) {
    const Scan& scan = layout.scans[s];
    if (plan.decoder[s] == d) continue;
    spans.push_back(data.substr(from, scan.begin - from));
    from = scan.end;
  }
  spans.push_back(data.substr(from, layout.end - from));
  return spans;
}

}  // namespace img_util::imaging::codec::jpeg_scans
