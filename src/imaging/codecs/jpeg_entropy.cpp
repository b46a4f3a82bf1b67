#include "imaging/codecs/jpeg_entropy.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace img_util::imaging::codec::jpeg_entropy {
namespace {

// Zigzag position k holds the coefficient at natural position kNatural[k].
constexpr std::array<uint8_t, 64> kNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// ---- bits --------------------------------------------------------------------------------

// A scan's entropy-coded data with its stuffed zero bytes taken out, a piece at a time. It
// fails where the data holds a restart marker, or may go on past where the layout ends the
// scan (fill bytes before a zero byte make a data byte too).
class Unstuffer {
 public:
  Unstuffer(const ByteSource& data, const jpeg_scans::Scan& scan, std::string& scratch)
      : data_(data), at_(scan.data), end_(scan.end), scratch_(scratch) {}

  // Up to `room` bytes into `out`; how many. Fewer only once the data is done.
  size_t take(uint8_t* out, size_t room) {
    size_t n = 0;
    while (n < room && !done_) {
      if (view_.empty() && !next_piece()) break;
      const auto* p = reinterpret_cast<const uint8_t*>(view_.data());
      if (after_ff_) {
        if (*p != 0) return fail();
        after_ff_ = false;
        view_.remove_prefix(1);
        continue;
      }
      const size_t span = std::min(view_.size(), room - n);
      const auto* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, span));
      const size_t copy = ff ? static_cast<size_t>(ff - p) + 1 : span;
      std::memcpy(out + n, p, copy);
      n += copy;
      view_.remove_prefix(copy);
      after_ff_ = ff != nullptr;
    }
    return n;
  }
  bool done() const { return done_; }
  bool failed() const { return failed_; }

 private:
  // The next piece of the file, or the end: then the data must not go on past the marker.
  bool next_piece() {
    if (at_ == end_) {
      done_ = true;
      const std::optional<std::string_view> marker = data_.read(end_, 2, scratch_);
      if (after_ff_ || !marker || marker->size() != 2 || static_cast<uint8_t>((*marker)[1]) == 0xFF)
        failed_ = true;
      return false;
    }
    const std::optional<std::string_view> got =
        data_.read(at_, static_cast<size_t>(std::min<uint64_t>(end_ - at_, kPiece)), scratch_);
    if (!got || got->empty()) {
      fail();
      return false;
    }
    at_ += got->size();
    view_ = *got;
    return true;
  }
  size_t fail() {
    done_ = failed_ = true;
    return 0;
  }

  static constexpr size_t kPiece = size_t{256} << 10;
  const ByteSource& data_;
  uint64_t at_, end_;
  std::string& scratch_;
  std::string_view view_;
  bool after_ff_ = false, done_ = false, failed_ = false;
};

// The unstuffed data of a scan, a window of it at a time.
class Window {
 public:
  // Bytes a block takes at most (64 codes of 16 bits with 15 more each, rounded up): the
  // window always holds that much from where a block starts (data, or zeros after its end).
  static constexpr size_t kBlockBytes = 512;

  explicit Window(Unstuffer& src) : src_(src), bytes_(kSize + 2 * kBlockBytes) {
    end_ = bytes_.data();
    slide(bytes_.data());
  }

  const uint8_t* data() const { return bytes_.data(); }
  // Where a block may start without sliding the window.
  const uint8_t* slide_after() const { return slide_after_; }
  // Moves what is left from `p` on to the window's start and fills the rest; at the end of the
  // data, zeros follow it. Returns where `p` went.
  const uint8_t* slide(const uint8_t* p) {
    uint8_t* w = bytes_.data();
    if (src_.done()) {  // past the data and the zeros after it: damaged
      bad_ = true;
      return w + kBlockBytes;
    }
    const auto keep = static_cast<size_t>(end_ - p);
    std::memmove(w, p, keep);
    passed_ += static_cast<uint64_t>(p - w);
    const size_t n = keep + src_.take(w + keep, kSize - keep);
    end_ = w + n;
    if (src_.done()) {
      std::memset(w + n, 0, 2 * kBlockBytes);
      limit_bits_ = (passed_ + n) * 8;
      slide_after_ = end_ + kBlockBytes;
      bad_ = src_.failed();
    } else {
      slide_after_ = end_ - kBlockBytes;
    }
    return w;
  }
  // Whether reading has gone `bits` short of `p` past the data's end, or the data is bad.
  bool overrun(const uint8_t* p, unsigned bits) const {
    return bad_ || (passed_ + static_cast<uint64_t>(p - bytes_.data())) * 8 - bits > limit_bits_;
  }

 private:
  static constexpr size_t kSize = size_t{128} << 10;
  Unstuffer& src_;
  std::vector<uint8_t> bytes_;
  uint8_t* end_;  // of the data in the window
  const uint8_t* slide_after_ = nullptr;
  uint64_t passed_ = 0;                 // bytes moved out of the window
  uint64_t limit_bits_ = ~uint64_t{0};  // the data's, once its end is in the window
  bool bad_ = false;
};

// Unstuffed data read most significant bit first. `bits_` holds `count_` unread bits at its
// top; a refill tops it up to at least 56 with one 8-byte load. The window slides only between
// blocks, so that a refill is a load and nothing else.
class BitReader {
 public:
  explicit BitReader(Window& window) : window_(&window), p_(window.data()) {}

  // Before each block: false once more bits were taken than the data has, or it is bad.
  bool start_block() {
    if (p_ > window_->slide_after()) p_ = window_->slide(p_);
    return !window_->overrun(p_, count_);
  }
  bool overrun() const { return window_->overrun(p_, count_); }

  void ensure(unsigned n) {
    if (count_ < n) refill();
  }
  // 1 <= n <= 56, with n bits at hand.
  uint64_t peek(unsigned n) const { return bits_ >> (64 - n); }
  void skip(unsigned n) {
    bits_ <<= n;
    count_ -= n;
  }
  uint64_t get(unsigned n) {
    const uint64_t v = peek(n);
    skip(n);
    return v;
  }
  bool get_bit() {
    ensure(1);
    return get(1) != 0;
  }

 private:
  void refill() {
    uint64_t word;
    std::memcpy(&word, p_, 8);
    bits_ |= __builtin_bswap64(word) >> count_;
    p_ += (63 - count_) >> 3;
    count_ |= 56;
  }

  Window* window_;  // not ours: sliding it leaves the reader's state where it is
  const uint8_t* p_;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
};

// The value of `s` bits `v` as the JPEG magnitude categories code it.
inline int extend(uint64_t v, unsigned s) {
  const int x = static_cast<int>(v);
  return x < (1 << (s - 1)) ? x - (1 << s) + 1 : x;
}

// ---- Huffman tables ----------------------------------------------------------------------

// A table as a DHT segment defines it.
struct TableDefinition {
  std::array<uint8_t, 17> counts{};  // [l]: codes of length l
  std::array<uint8_t, 256> symbols{};
  int n = 0;
};

constexpr unsigned kFastBits = 10;

class HuffmanTable {
 public:
  // The codes of `def`; false where libjpeg refuses the table (a DC table's symbols must be
  // magnitude categories).
  bool build(const TableDefinition& def, bool dc) {
    if (dc && std::any_of(def.symbols.begin(), def.symbols.begin() + def.n,
                          [](uint8_t s) { return s > 15; }))
      return false;
    fast_.fill(0);
    maxcode_.fill(-1);
    symbols_ = def.symbols;
    int32_t code = 0;
    int p = 0;
    for (unsigned l = 1; l <= 16; ++l) {
      const int n = def.counts[l];
      // The codes of this length must fit it, and none may be all ones.
      if (code + n >= (int32_t{1} << l)) return false;
      valoffset_[l] = p - code;
      for (int i = 0; i < n; ++i, ++p, ++code) {
        if (l > kFastBits) continue;
        const uint32_t from = static_cast<uint32_t>(code) << (kFastBits - l);
        const uint32_t to = static_cast<uint32_t>(code + 1) << (kFastBits - l);
        for (uint32_t e = from; e < to; ++e)
          fast_[e] = static_cast<uint16_t>(def.symbols[static_cast<size_t>(p)] | l << 8);
      }
      if (n) maxcode_[l] = code - 1;
      code <<= 1;
    }
    if (!dc) fill_coefficients();
    return true;
  }

  // An AC coefficient whose code and value bits both lie in the next ten bits, read at once:
  // its value, the zeros before it and the bits it takes. 0 where the next ten bits hold
  // anything else (an end of band, 16 zeros, a longer code or value).
  int32_t coefficient(uint32_t next_ten_bits) const { return coefficients_[next_ten_bits]; }
  static int value_of(int32_t c) { return c >> 16; }
  static int zeros_of(int32_t c) { return (c >> 8) & 15; }
  static unsigned length_of(int32_t c) { return static_cast<unsigned>(c & 31); }

  // One symbol, with 16 bits at hand; -1 where no code matches.
  int decode(BitReader& in) const {
    const uint16_t e = fast_[in.peek(kFastBits)];
    if (e >> 8) {
      in.skip(e >> 8);
      return e & 0xFF;
    }
    for (unsigned l = kFastBits + 1; l <= 16; ++l) {
      const auto code = static_cast<int32_t>(in.peek(l));
      if (code <= maxcode_[l]) {
        in.skip(l);
        return symbols_[static_cast<size_t>(valoffset_[l] + code)];
      }
    }
    return -1;
  }

 private:
  void fill_coefficients() {
    for (uint32_t bits = 0; bits < coefficients_.size(); ++bits) {
      const uint16_t e = fast_[bits];
      const unsigned length = e >> 8, sym = e & 0xFF, size = sym & 15;
      int32_t c = 0;
      if (length && size && length + size <= kFastBits) {
        const uint32_t v = (bits >> (kFastBits - length - size)) & ((1u << size) - 1);
        c = static_cast<int32_t>(static_cast<uint32_t>(extend(v, size)) << 16) |
            static_cast<int32_t>((sym >> 4) << 8 | (length + size));
      }
      coefficients_[bits] = c;
    }
  }

  std::array<uint16_t, 1 << kFastBits> fast_{};         // symbol | length << 8; length 0: longer
  std::array<int32_t, 1 << kFastBits> coefficients_{};  // see coefficient()
  std::array<int32_t, 17> maxcode_{};                   // [l]: the last code of length l, or -1
  std::array<int32_t, 17> valoffset_{};                 // [l]: symbol index minus code
  std::array<uint8_t, 256> symbols_{};
};

// ---- reading the file --------------------------------------------------------------------

// The tables the file has defined so far: [0] DC, [1] AC.
using Definitions = std::array<std::array<std::optional<TableDefinition>, 4>, 2>;

// Takes in the tables of one DHT segment's body; false where libjpeg would stop at it.
bool read_tables(std::string_view body, Definitions& defs) {
  size_t i = 0;
  while (body.size() - i > 16) {
    const auto index = static_cast<uint8_t>(body[i]);
    TableDefinition def;
    for (size_t l = 1; l <= 16; ++l) {
      def.counts[l] = static_cast<uint8_t>(body[i + l]);
      def.n += def.counts[l];
    }
    i += 17;
    if (def.n > 256 || static_cast<size_t>(def.n) > body.size() - i) return false;
    std::memcpy(def.symbols.data(), body.data() + i, static_cast<size_t>(def.n));
    i += static_cast<size_t>(def.n);
    const bool ac = (index & 0x10) != 0;
    const int slot = ac ? index - 0x10 : index;
    if (slot > 3) return false;
    defs[ac][static_cast<size_t>(slot)] = def;
  }
  return i == body.size();
}

// ---- one scan ----------------------------------------------------------------------------

struct ScanComponent {
  const Component* c;
  HuffmanTable dc, ac;
};

// The blocks of a scan in the order it codes them, each given to `fn` with the index of its
// component in the scan; false as soon as `fn` is, or when the blocks do not fit the arrays.
template <typename Fn>
bool for_each_block(const Frame& f, const std::vector<ScanComponent>& comps, Fn&& fn) {
  if (comps.size() == 1) {
    const Component& c = *comps[0].c;
    if (c.width_in_blocks > c.blocks_per_row || c.height_in_blocks > c.rows) return false;
    for (uint32_t y = 0; y < c.height_in_blocks; ++y) {
      JBLOCKROW row = c.row[y];
      for (uint32_t x = 0; x < c.width_in_blocks; ++x)
        if (!fn(row + x, 0)) return false;
    }
    return true;
  }
  const uint32_t mcus_x = (f.width + 8 * f.max_h - 1) / (8 * f.max_h);
  const uint32_t mcus_y = (f.height + 8 * f.max_v - 1) / (8 * f.max_v);
  for (const ScanComponent& s : comps)
    if (uint64_t{mcus_x} * s.c->h > s.c->blocks_per_row || uint64_t{mcus_y} * s.c->v > s.c->rows)
      return false;
  for (uint32_t my = 0; my < mcus_y; ++my)
    for (uint32_t mx = 0; mx < mcus_x; ++mx)
      for (size_t i = 0; i < comps.size(); ++i) {
        const Component& c = *comps[i].c;
        for (int yi = 0; yi < c.v; ++yi) {
          JBLOCKROW row = c.row[my * static_cast<uint32_t>(c.v) + static_cast<uint32_t>(yi)] +
                          mx * static_cast<uint32_t>(c.h);
          for (int xi = 0; xi < c.h; ++xi)
            if (!fn(row + xi, i)) return false;
        }
      }
  return true;
}

// Per component, per block the picture covers: which coefficients are nonzero, the one at
// zigzag position k as bit 63 - k. Kept through the scans after the first (which are the only
// ones that read AC coefficients), so that a refinement finds the coefficients that take a
// correction bit without looking at each of the 63. Bit 63 - k, so that the bits of a run of
// correction bits, first bit first, deposit onto the positions they are for with one pdep.
using NonzeroMasks = std::vector<std::vector<uint64_t>>;

inline uint64_t position_bit(int k) { return uint64_t{1} << (63 - k); }
// Zigzag positions a to b (none when a > b).
inline uint64_t positions(int a, int b) {
  return a > b ? 0 : (~uint64_t{0} >> a) & (~uint64_t{0} << (63 - b));
}

// Counting bits and depositing them onto the set bits of a mask (pdep), with BMI2 or without.
struct PortableBits {
  static int count(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555;
    x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<int>((x * 0x0101010101010101) >> 56);
  }
  static uint64_t deposit(uint64_t bits, uint64_t mask) {
    uint64_t out = 0;
    for (; mask; mask &= mask - 1, bits >>= 1)
      if (bits & 1) out |= mask & (~mask + 1);
    return out;
  }
};

struct Bmi2Bits {
  __attribute__((target("popcnt"))) static int count(uint64_t x) { return __builtin_popcountll(x); }
  __attribute__((target("bmi2"))) static uint64_t deposit(uint64_t bits, uint64_t mask) {
    return _pdep_u64(bits, mask);
  }
};

template <typename Bits>
class ScanReader {
 public:
  ScanReader(const Frame& f, const jpeg_scans::Scan& s, std::vector<ScanComponent> comps,
             Window& data, uint64_t* masks)
      : frame_(f),
        comps_(std::move(comps)),
        in_(data),
        masks_(masks),
        ss_(s.ss),
        se_(s.se),
        al_(s.al),
        refine_(s.ah != 0) {}

  bool read() {
    // An AC scan has one component, whose blocks come row by row, as their masks do.
    uint64_t* mask = masks_;
    const bool ok = ss_ == 0
                        ? (refine_ ? each([&](JBLOCK& b, size_t) { return dc_refine(b); })
                                   : each([&](JBLOCK& b, size_t i) { return dc_first(b, i); }))
                        : (refine_ ? each([&](JBLOCK& b, size_t) { return ac_refine(b, *mask++); })
                                   : each([&](JBLOCK& b, size_t) { return ac_first(b, *mask++); }));
    return ok && !in_.overrun();
  }

 private:
  template <typename Fn>
  bool each(Fn&& fn) {
    return for_each_block(frame_, comps_,
                          [&](JBLOCKROW b, size_t i) { return in_.start_block() && fn(*b, i); });
  }

  bool dc_first(JBLOCK& block, size_t i) {
    in_.ensure(32);
    const int s = comps_[i].dc.decode(in_);
    if (s < 0) return false;
    const int diff = s ? extend(in_.get(static_cast<unsigned>(s)), static_cast<unsigned>(s)) : 0;
    int& pred = dc_pred_[i];
    pred += diff;
    // Far beyond any real DC value: libjpeg may stop such a file where the sum would overflow.
    if (pred > (1 << 24) || pred < -(1 << 24)) return false;
    block[0] = static_cast<JCOEF>(static_cast<unsigned>(pred) << al_);
    return true;
  }

  bool dc_refine(JBLOCK& block) {
    if (in_.get_bit()) block[0] = static_cast<JCOEF>(block[0] | (1 << al_));
    return true;
  }

  bool ac_first(JBLOCK& block, uint64_t& mask) {
    if (eobrun_) {
      --eobrun_;
      return true;
    }
    const HuffmanTable& table = comps_[0].ac;
    for (int k = ss_; k <= se_; ++k) {
      in_.ensure(32);
      if (const int32_t c = table.coefficient(static_cast<uint32_t>(in_.peek(kFastBits)))) {
        k += HuffmanTable::zeros_of(c);
        if (k > se_) return false;
        in_.skip(HuffmanTable::length_of(c));
        const auto coef =
            static_cast<JCOEF>(static_cast<unsigned>(HuffmanTable::value_of(c)) << al_);
        block[kNatural[static_cast<size_t>(k)]] = coef;
        if (coef) mask |= position_bit(k);
        continue;
      }
      const int sym = table.decode(in_);
      if (sym < 0) return false;
      const int r = sym >> 4, s = sym & 15;
      if (s) {
        k += r;
        if (k > se_) return false;
        const int v = extend(in_.get(static_cast<unsigned>(s)), static_cast<unsigned>(s));
        const auto coef = static_cast<JCOEF>(static_cast<unsigned>(v) << al_);
        block[kNatural[static_cast<size_t>(k)]] = coef;
        if (coef) mask |= position_bit(k);
      } else if (r == 15) {
        k += 15;
      } else {
        eobrun_ = 1u << r;
        if (r) eobrun_ += static_cast<unsigned>(in_.get(static_cast<unsigned>(r)));
        --eobrun_;
        break;
      }
    }
    return true;
  }

  // The correction bits of the nonzero coefficients at `nonzero`, which come first to last in
  // zigzag order: those that are 1 go into `raise`.
  void take_corrections(uint64_t nonzero, uint64_t& raise) {
    int n = Bits::count(nonzero);
    if (n > 48) {  // the first ones (the high bits) on their own
      const uint64_t last_32 = Bits::deposit(0xFFFFFFFF, nonzero);
      in_.ensure(56);
      raise |= Bits::deposit(in_.get(static_cast<unsigned>(n - 32)), nonzero & ~last_32);
      nonzero = last_32;
      n = 32;
    }
    if (n == 0) return;
    in_.ensure(static_cast<unsigned>(n));
    raise |= Bits::deposit(in_.get(static_cast<unsigned>(n)), nonzero);
  }

  // A correction bit of 1 adds the bit being coded to the magnitude (where it is not there yet).
  void correct(JBLOCK& block, uint64_t raise) const {
    const int p1 = 1 << al_;
    for (; raise; raise &= raise - 1) {
      JCOEF& coef = block[kNatural[static_cast<size_t>(63 - __builtin_ctzll(raise))]];
      const int v = coef;
      if ((v & p1) == 0) coef = static_cast<JCOEF>(v >= 0 ? v + p1 : v - p1);
    }
  }

  bool ac_refine(JBLOCK& block, uint64_t& mask) {
    int k = ss_;
    uint64_t raise = 0;
    if (eobrun_ == 0) {
      const HuffmanTable& table = comps_[0].ac;
      for (; k <= se_; ++k) {
        in_.ensure(32);
        int r = 0, value = 0;  // value: 0 for ZRL, else the sign of a newly nonzero one
        if (const int32_t c = table.coefficient(static_cast<uint32_t>(in_.peek(kFastBits)))) {
          value = HuffmanTable::value_of(c);
          if (value != 1 && value != -1) return false;  // only one bit of magnitude is new
          r = HuffmanTable::zeros_of(c);
          in_.skip(HuffmanTable::length_of(c));
        } else {
          const int sym = table.decode(in_);
          if (sym < 0) return false;
          r = sym >> 4;
          if (const int s = sym & 15) {
            if (s != 1) return false;
            value = in_.get(1) ? 1 : -1;
          } else if (r != 15) {
            eobrun_ = 1u << r;
            if (r) eobrun_ += static_cast<unsigned>(in_.get(static_cast<unsigned>(r)));
            break;
          }
        }
        // The zero coefficient r zeros on, which becomes `value` (ZRL: 15 zeros on, which
        // stays zero); the nonzero ones passed take their correction bits.
        const uint64_t zeros = ~mask & positions(k, se_);
        const int count = Bits::count(zeros);
        const int target =
            count > r ? 63 - __builtin_ctzll(Bits::deposit(uint64_t{1} << (count - r - 1), zeros))
                      : se_ + 1;
        take_corrections(mask & positions(k, target - 1), raise);
        k = target;
        if (value != 0) {
          if (k > se_) return false;
          block[kNatural[static_cast<size_t>(k)]] = static_cast<JCOEF>(value * (1 << al_));
          mask |= position_bit(k);
        }
      }
    }
    if (eobrun_ > 0) {
      take_corrections(mask & positions(k, se_), raise);
      --eobrun_;
    }
    correct(block, raise);
    return true;
  }

  const Frame& frame_;
  std::vector<ScanComponent> comps_;
  BitReader in_;
  uint64_t* masks_;  // of the AC scan's component
  int ss_, se_, al_;
  bool refine_;
  unsigned eobrun_ = 0;
  std::array<int, 4> dc_pred_{};
};

bool read_scan_portable(const Frame& f, const jpeg_scans::Scan& s, std::vector<ScanComponent> comps,
                        Window& data, uint64_t* masks) {
  return ScanReader<PortableBits>(f, s, std::move(comps), data, masks).read();
}

// Everything inlined into it, so that the bit instructions are.
__attribute__((target("bmi2,popcnt"), flatten)) bool read_scan_bmi2(
    const Frame& f, const jpeg_scans::Scan& s, std::vector<ScanComponent> comps, Window& data,
    uint64_t* masks) {
  return ScanReader<Bmi2Bits>(f, s, std::move(comps), data, masks).read();
}

// Where pdep is a fast instruction: AMD's first two Zen generations have it in microcode, a
// hundred cycles and more, slower than the portable loop.
bool fast_pdep() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt") &&
         !__builtin_cpu_is("znver1") && !__builtin_cpu_is("znver2");
}

std::atomic<bool> g_portable_only{false};

bool read_scan(const Frame& f, const jpeg_scans::Scan& s, std::vector<ScanComponent> comps,
               Window& data, uint64_t* masks) {
  static const bool bmi2 = fast_pdep();
  return bmi2 && !g_portable_only.load(std::memory_order_relaxed)
             ? read_scan_bmi2(f, s, std::move(comps), data, masks)
             : read_scan_portable(f, s, std::move(comps), data, masks);
}

// The components of `scan` with the tables it codes them with; nothing where libjpeg would
// refuse the scan.
std::optional<std::vector<ScanComponent>> scan_components(const Frame& f,
                                                          const jpeg_scans::Scan& scan,
                                                          const Definitions& defs) {
  const bool dc = scan.ss == 0;
  if ((dc && scan.se != 0) || (!dc && scan.components.size() != 1)) return std::nullopt;
  if ((scan.ah != 0 && scan.al != scan.ah - 1) || scan.al > 13) return std::nullopt;
  if (scan.components.size() > 4) return std::nullopt;
  std::vector<ScanComponent> comps;
  int blocks = 0;
  for (size_t i = 0; i < scan.components.size(); ++i) {
    const int id = scan.components[i];
    auto c = std::find_if(f.components.begin(), f.components.end(),
                          [&](const Component& c) { return c.id == id; });
    if (c == f.components.end()) return std::nullopt;
    for (const ScanComponent& earlier : comps)
      if (earlier.c == &*c) return std::nullopt;
    ScanComponent sc{&*c, {}, {}};
    const int t = dc ? scan.tables[i] >> 4 : scan.tables[i] & 15;
    const bool needs_table = !(dc && scan.ah != 0);
    if (needs_table) {
      const auto& def = t < 4 ? defs[!dc][static_cast<size_t>(t)] : std::nullopt;
      if (!def || !(dc ? sc.dc : sc.ac).build(*def, dc)) return std::nullopt;
    }
    blocks += c->h * c->v;
    comps.push_back(std::move(sc));
  }
  if (comps.size() > 1 && blocks > 10) return std::nullopt;
  return comps;
}

// Reads the scans from `first` on that `mine` picks, until `stop` is set. Its masks are its own:
// the scans of a component are all read by one reader.
template <typename Mine>
bool read_some(const ByteSource& data, const jpeg_scans::Layout& layout, size_t first,
               const Frame& frame, Mine&& mine, const std::atomic<bool>& stop) {
  Definitions defs;
  NonzeroMasks masks(frame.components.size());
  std::string scratch;
  for (size_t s = 0; s < layout.scans.size(); ++s) {
    const jpeg_scans::Scan& scan = layout.scans[s];
    if (scan.restart_interval != 0 || stop.load(std::memory_order_relaxed)) return false;
    for (const jpeg_scans::Span& segment : scan.huffman_segments) {
      const std::optional<std::string_view> body =
          data.read(segment.offset, static_cast<size_t>(segment.length), scratch);
      if (!body || body->size() != segment.length || !read_tables(*body, defs)) return false;
    }
    if (s < first || !mine(s)) continue;
    std::optional<std::vector<ScanComponent>> comps = scan_components(frame, scan, defs);
    if (!comps) return false;
    uint64_t* ac_masks = nullptr;
    if (scan.ss != 0) {
      const Component* c = (*comps)[0].c;
      auto& m = masks[static_cast<size_t>(c - frame.components.data())];
      m.resize(size_t{c->width_in_blocks} * c->height_in_blocks);
      ac_masks = m.data();
    }
    Unstuffer unstuffer(data, scan, scratch);
    Window window(unstuffer);
    if (!read_scan(frame, scan, std::move(*comps), window, ac_masks)) return false;
  }
  return true;
}

// Which of two readers reads each scan from `first` on: whole components, so that each
// component's AC coefficients have one writer, shared out by the bytes of their scans, and the
// DC scans with the lighter share (a DC scan only touches the first coefficient of a block,
// which no AC scan does, so the two never wait for each other). Nothing when one reader would
// have them all.
std::optional<std::vector<int>> share_out(const jpeg_scans::Layout& layout, size_t first,
                                          const Frame& frame) {
  const size_t n = frame.components.size();
  std::vector<uint64_t> bytes(n, 0);
  uint64_t dc_bytes = 0;
  auto index = [&](int id) {
    for (size_t i = 0; i < n; ++i)
      if (frame.components[i].id == id) return i;
    return n;
  };
  for (size_t s = first; s < layout.scans.size(); ++s) {
    const jpeg_scans::Scan& scan = layout.scans[s];
    if (scan.ss == 0) {
      dc_bytes += scan.end - scan.begin;
    } else if (const size_t i = index(scan.components[0]); i < n) {
      bytes[i] += scan.end - scan.begin;
    }
  }
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return bytes[a] > bytes[b]; });
  std::vector<int> reader_of_component(n, 0);
  std::array<uint64_t, 2> load{0, 0};
  for (size_t i : order) {
    const int r = load[1] < load[0] ? 1 : 0;
    reader_of_component[i] = r;
    load[static_cast<size_t>(r)] += bytes[i];
  }
  const int dc_reader = load[1] < load[0] ? 1 : 0;
  load[static_cast<size_t>(dc_reader)] += dc_bytes;
  if (load[0] == 0 || load[1] == 0) return std::nullopt;
  std::vector<int> reader(layout.scans.size(), 0);
  for (size_t s = first; s < layout.scans.size(); ++s) {
    const jpeg_scans::Scan& scan = layout.scans[s];
    const size_t i = scan.ss == 0 ? n : index(scan.components[0]);
    reader[s] = i < n ? reader_of_component[i] : dc_reader;
  }
  return reader;
}

}  // namespace

bool read_scans(const ByteSource& data, const jpeg_scans::Layout& layout, size_t first,
                const Frame& frame, bool two_threads) {
  std::atomic<bool> stop{false};
  const std::optional<std::vector<int>> reader =
      two_threads ? share_out(layout, first, frame) : std::nullopt;
  if (reader) {
    auto mine = [&](int r) { return [&, r](size_t s) { return (*reader)[s] == r; }; };
    bool other_ok = false;
    std::thread other;
    try {
      other = std::thread([&] {
        other_ok = read_some(data, layout, first, frame, mine(1), stop);
        if (!other_ok) stop = true;
      });
    } catch (const std::system_error&) {
      return read_some(
          data, layout, first, frame, [](size_t) { return true; }, stop);
    }
    const bool ok = read_some(data, layout, first, frame, mine(0), stop);
    if (!ok) stop = true;
    other.join();
    return ok && other_ok;
  }
  return read_some(
      data, layout, first, frame, [](size_t) { return true; }, stop);
}

void use_portable_bits(bool portable) { g_portable_only.store(portable); }

}  // namespace img_util::imaging::codec::jpeg_entropy
