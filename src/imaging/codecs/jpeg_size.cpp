// The JPEG size model: libjpeg-turbo's forward path (colour conversion, downsampling, edge
// expansion, the integer DCT and the quantisation) redone once per image, and from its symbol
// counts the Huffman-coded length at a quality. Every step computes what libjpeg-turbo computes,
// bit for bit; its tables come from libjpeg itself.
#include "imaging/jpeg_size.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "imaging/codecs/jpeg_reader.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The loops below are written to vectorise; on x86-64 they are built for AVX2 as well as for
// the baseline, and the loader picks one. Integer arithmetic: the same results either way.
// (Not under ThreadSanitizer: the loader picks clones before the sanitizer is ready.)
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define CLONES __attribute__((target_clones("avx2", "default")))
#else
#define CLONES
#endif

namespace img_util::imaging {

namespace {

// ---- the encoder's tables, from libjpeg ------------------------------------------------------

struct HuffTable {
  std::array<uint8_t, 17> bits{};  // bits[n]: how many symbols have a code of n bits
  std::array<uint8_t, 256> values{};
};

struct EncoderTables {
  // [quality][table]: jpeg_set_quality(quality, TRUE)'s tables in natural order.
  std::array<std::array<std::array<uint16_t, 64>, 2>, 101> quant{};
  std::array<HuffTable, 2> dc, ac;  // jpeg_set_defaults' standard tables
};

struct TablesJob {
  jpeg_compress_struct cinfo;
  codec::jpeg_detail::ErrorMgr err;
  bool created = false;
  EncoderTables* out = nullptr;
  ~TablesJob() {
    if (created) jpeg_destroy_compress(&cinfo);
  }
};

HuffTable table_of(const JHUFF_TBL& t) {
  HuffTable s;
  std::copy(std::begin(t.bits), std::end(t.bits), s.bits.begin());
  std::copy(std::begin(t.huffval), std::end(t.huffval), s.values.begin());
  return s;
}

void step_tables(void* arg) {
  auto* job = static_cast<TablesJob*>(arg);
  j_compress_ptr c = &job->cinfo;
  c->err = &job->err.pub;
  jpeg_create_compress(c);
  job->created = true;
  c->in_color_space = JCS_RGB;
  c->input_components = 3;
  jpeg_set_defaults(c);
  for (int t = 0; t < 2; ++t) {
    job->out->dc[static_cast<size_t>(t)] = table_of(*c->dc_huff_tbl_ptrs[t]);
    job->out->ac[static_cast<size_t>(t)] = table_of(*c->ac_huff_tbl_ptrs[t]);
  }
  for (int q = 1; q <= 100; ++q) {
    jpeg_set_quality(c, q, TRUE);
    for (int t = 0; t < 2; ++t) {
      const JQUANT_TBL& tbl = *c->quant_tbl_ptrs[t];
      std::copy(std::begin(tbl.quantval), std::end(tbl.quantval),
                job->out->quant[static_cast<size_t>(q)][static_cast<size_t>(t)].begin());
    }
  }
}

const EncoderTables& encoder_tables() {
  static const EncoderTables tables = [] {
    EncoderTables t;
    TablesJob job;
    job.out = &t;
    codec::jpeg_detail::init_errors(job.err);
    if (!codec::jpeg_detail::guarded(job.err, step_tables, &job))
      throw ImageError(std::string("cannot set up the JPEG encoder's tables: ") + job.err.message);
    return t;
  }();
  return tables;
}

// The zigzag order of a block's coefficients: natural index of the k-th coded coefficient.
constexpr std::array<int, 64> kNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// ---- colour conversion and downsampling (jccolor.c, jcsample.c) ------------------------------

// libjpeg's fixed-point RGB to YCbCr: 16 fraction bits, Y rounded, Cb and Cr with a rounding
// of one half less one so that they never reach 256.
constexpr int kScaleBits = 16;
constexpr int32_t fix(double x) { return static_cast<int32_t>(x * (1 << kScaleBits) + 0.5); }
constexpr int32_t kHalf = 1 << (kScaleBits - 1);
constexpr int32_t kChromaOffset = 128 << kScaleBits;

inline uint8_t luma(int r, int g, int b) {
  return static_cast<uint8_t>((fix(0.29900) * r + fix(0.58700) * g + fix(0.11400) * b + kHalf) >>
                              kScaleBits);
}
inline uint8_t blue_diff(int r, int g, int b) {
  return static_cast<uint8_t>(
      (-fix(0.16874) * r - fix(0.33126) * g + fix(0.50000) * b + kChromaOffset + kHalf - 1) >>
      kScaleBits);
}
inline uint8_t red_diff(int r, int g, int b) {
  return static_cast<uint8_t>(
      (fix(0.50000) * r - fix(0.41869) * g - fix(0.08131) * b + kChromaOffset + kHalf - 1) >>
      kScaleBits);
}

// One row of RGB pixels as Y, Cb and Cr.
CLONES void ycc_row(const uint8_t* rgb, int w, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  for (int x = 0; x < w; ++x, rgb += 3) {
    const int r = rgb[0], g = rgb[1], b = rgb[2];
    y[x] = luma(r, g, b);
    cb[x] = blue_diff(r, g, b);
    cr[x] = red_diff(r, g, b);
  }
}

// h2v2 downsampling of two rows into `n` samples: the average of 2x2 samples, rounded down and
// up in turn along the row.
CLONES void downsample_row(const uint8_t* r0, const uint8_t* r1, size_t n, uint8_t* out) {
  for (size_t x = 0; x < n; ++x)
    out[x] = static_cast<uint8_t>(
        (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1] + 1 + static_cast<int>(x & 1)) >> 2);
}

// ---- the forward DCT (jfdctint.c: jpeg_fdct_islow) -------------------------------------------

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;
constexpr int32_t k0_298631336 = 2446, k0_390180644 = 3196, k0_541196100 = 4433,
                  k0_765366865 = 6270, k0_899976223 = 7373, k1_175875602 = 9633,
                  k1_501321110 = 12299, k1_847759065 = 15137, k1_961570560 = 16069,
                  k2_053119869 = 16819, k2_562915447 = 20995, k3_072711026 = 25172;

constexpr int32_t descale(int32_t x, int n) { return (x + (int32_t{1} << (n - 1))) >> n; }

// The DCT runs on kLanes blocks at once, one block a lane: d[i][lane] holds the block's value
// at natural position i. Every step is the same for all lanes, so the compiler vectorises
// across the blocks, and the loads and stores that reorder the values are the ones the block
// layout and the zigzag order need anyway.
constexpr int kLanes = 8;
using Lanes = int32_t[kLanes];

// One 1-D pass over the 8 values d[0], d[s], ..., d[7s] of every lane. The row pass leaves its
// results scaled up by 1 << kPass1Bits; the column pass takes that out again.
template <bool kRows>
inline void dct_pass(Lanes* d, int s) {
  constexpr int odd_bits = kRows ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
  for (int b = 0; b < kLanes; ++b) {
    const int32_t tmp0 = d[0][b] + d[7 * s][b], tmp7 = d[0][b] - d[7 * s][b];
    const int32_t tmp1 = d[s][b] + d[6 * s][b], tmp6 = d[s][b] - d[6 * s][b];
    const int32_t tmp2 = d[2 * s][b] + d[5 * s][b], tmp5 = d[2 * s][b] - d[5 * s][b];
    const int32_t tmp3 = d[3 * s][b] + d[4 * s][b], tmp4 = d[3 * s][b] - d[4 * s][b];

    const int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    const int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    if constexpr (kRows) {
      d[0][b] = (tmp10 + tmp11) * (1 << kPass1Bits);
      d[4 * s][b] = (tmp10 - tmp11) * (1 << kPass1Bits);
    } else {
      d[0][b] = descale(tmp10 + tmp11, kPass1Bits);
      d[4 * s][b] = descale(tmp10 - tmp11, kPass1Bits);
    }
    const int32_t e = (tmp12 + tmp13) * k0_541196100;
    d[2 * s][b] = descale(e + tmp13 * k0_765366865, odd_bits);
    d[6 * s][b] = descale(e - tmp12 * k1_847759065, odd_bits);

    const int32_t z5 = (tmp4 + tmp6 + tmp5 + tmp7) * k1_175875602;
    const int32_t z1 = (tmp4 + tmp7) * -k0_899976223;
    const int32_t z2 = (tmp5 + tmp6) * -k2_562915447;
    const int32_t z3 = (tmp4 + tmp6) * -k1_961570560 + z5;
    const int32_t z4 = (tmp5 + tmp7) * -k0_390180644 + z5;
    d[7 * s][b] = descale(tmp4 * k0_298631336 + z1 + z3, odd_bits);
    d[5 * s][b] = descale(tmp5 * k2_053119869 + z2 + z4, odd_bits);
    d[3 * s][b] = descale(tmp6 * k3_072711026 + z2 + z3, odd_bits);
    d[1 * s][b] = descale(tmp7 * k1_501321110 + z1 + z4, odd_bits);
  }
}

// The DCTs of `blocks` blocks side by side in the 8 rows of samples at `src` (`stride` apart),
// each stored as 64 coefficients in zigzag order at `out`.
CLONES void dct_row(const uint8_t* src, size_t stride, int blocks, int16_t* out) {
  alignas(32) Lanes d[64];
  for (int first = 0; first < blocks; first += kLanes) {
    const int n = std::min(kLanes, blocks - first);
    const uint8_t* s = src + static_cast<size_t>(first) * 8;
    // A group short of blocks (at the end of the row) repeats its last block in the lanes left.
    for (int y = 0; y < 8; ++y)
      for (int b = 0; b < kLanes; ++b)
        for (int x = 0; x < 8; ++x)
          d[y * 8 + x][b] = s[y * stride + static_cast<size_t>(std::min(b, n - 1) * 8 + x)] - 128;
    for (int y = 0; y < 8; ++y) dct_pass<true>(d + y * 8, 1);
    for (int x = 0; x < 8; ++x) dct_pass<false>(d + x, 8);
    for (int b = 0; b < n; ++b, out += 64)
      for (size_t k = 0; k < 64; ++k) out[k] = static_cast<int16_t>(d[kNatural[k]][b]);
  }
}

// ---- quantisation (jcdctmgr.c) ---------------------------------------------------------------

// libjpeg-turbo divides by multiplying: for each divisor (the quantisation step times 8, the
// DCT's scale) a 16-bit reciprocal, a correction that also rounds, and a shift done as a
// second multiplication by 2^(16 - shift). Kept in zigzag order.
struct Divisors {
  alignas(16) std::array<uint16_t, 64> corr;
  alignas(16) std::array<uint16_t, 64> recip;
  alignas(16) std::array<uint16_t, 64> scale;
};

// compute_reciprocal() of jcdctmgr.c.
void reciprocal(uint16_t divisor, uint16_t& recip, uint16_t& corr, uint16_t& scale) {
  const int b = std::bit_width(divisor) - 1;
  int r = 16 + b;
  uint32_t fq = (uint32_t{1} << r) / divisor;
  const uint32_t fr = (uint32_t{1} << r) % divisor;
  uint32_t c = divisor / 2u;
  if (fr == 0) {  // a power of two: the reciprocal is one bit too wide
    fq >>= 1;
    --r;
  } else if (fr <= divisor / 2u) {
    ++c;
  } else {
    ++fq;
  }
  recip = static_cast<uint16_t>(fq);
  corr = static_cast<uint16_t>(c);
  scale = static_cast<uint16_t>(1u << (32 - r));
}

Divisors divisors(const std::array<uint16_t, 64>& quant) {
  Divisors d;
  for (size_t k = 0; k < 64; ++k) {
    const auto divisor = static_cast<uint16_t>(quant[static_cast<size_t>(kNatural[k])] << 3);
    reciprocal(divisor, d.recip[k], d.corr[k], d.scale[k]);
  }
  return d;
}

// The magnitudes of one block's quantised coefficients into `mag`; returns the mask of the
// nonzero ones (bit k for zigzag position k).
inline uint64_t quantise(const int16_t* coef, const Divisors& d, uint16_t* mag) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  uint64_t nonzero = 0;
  for (size_t k = 0; k < 64; k += 16) {
    __m128i m[2];
    for (size_t h = 0; h < 2; ++h) {
      const size_t i = k + 8 * h;
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + i));
      const __m128i a = _mm_max_epi16(x, _mm_sub_epi16(zero, x));
      const __m128i t = _mm_mulhi_epu16(
          _mm_add_epi16(a, _mm_load_si128(reinterpret_cast<const __m128i*>(&d.corr[i]))),
          _mm_load_si128(reinterpret_cast<const __m128i*>(&d.recip[i])));
      m[h] = _mm_mulhi_epu16(t, _mm_load_si128(reinterpret_cast<const __m128i*>(&d.scale[i])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(mag + i), m[h]);
    }
    const int zeros = _mm_movemask_epi8(
        _mm_packs_epi16(_mm_cmpeq_epi16(m[0], zero), _mm_cmpeq_epi16(m[1], zero)));
    nonzero |= static_cast<uint64_t>(~zeros & 0xFFFF) << k;
  }
  return nonzero;
#else
  uint64_t nonzero = 0;
  for (size_t k = 0; k < 64; ++k) {
    const uint32_t a = static_cast<uint32_t>(std::abs(coef[k]));
    const uint32_t t = ((a + d.corr[k]) * d.recip[k]) >> 16;
    mag[k] = static_cast<uint16_t>((t * d.scale[k]) >> 16);
    nonzero |= static_cast<uint64_t>(mag[k] != 0) << k;
  }
  return nonzero;
#endif
}

// One block quantised as the encoder stores it: signed, in natural order. The signs go on
// without a branch (all ones or zero from the sign bit: negate or keep), which a photo's signs
// would keep mispredicting.
inline void quantise_block(const int16_t* coef, const Divisors& d, int16_t* out) {
  alignas(16) std::array<uint16_t, 64> mag;
  quantise(coef, d, mag.data());
  alignas(16) std::array<int16_t, 64> value;
  for (size_t k = 0; k < 64; ++k) {
    const int sign = coef[k] >> 15;
    value[k] = static_cast<int16_t>((int{mag[k]} ^ sign) - sign);
  }
  for (size_t k = 0; k < 64; ++k) out[kNatural[k]] = value[k];
}

// ---- Huffman symbol counts and code lengths (jchuff.c) ---------------------------------------

// Symbol frequencies of one table, with room for libjpeg's pseudo-symbol 256.
using Freq = std::array<int64_t, 257>;

struct TableCounts {
  Freq dc{};
  Freq ac{};
};

// Calls f(block) for each of the picture's blocks of `comp` (stored row by row) in the order
// the scan codes them: MCU by MCU, the component's blocks of an MCU row by row. The dummy blocks
// that complete the MCUs at the right and bottom edges are left out.
// f returns false to stop; in_scan_order then returns false.
template <class Component, class F>
bool in_scan_order(const Component& comp, F&& f) {
  const int16_t* coef = comp.coef.get();
  if (comp.mcu_width == 1 && comp.mcu_height == 1) {
    for (size_t b = 0, n = comp.blocks(); b < n; ++b)
      if (!f(coef + 64 * b)) return false;
    return true;
  }
  const size_t row = static_cast<size_t>(comp.blocks_wide);
  for (int by0 = 0; by0 < comp.blocks_high; by0 += comp.mcu_height)
    for (int bx0 = 0; bx0 < comp.blocks_wide; bx0 += comp.mcu_width)
      for (int by = by0; by < std::min(by0 + comp.mcu_height, comp.blocks_high); ++by)
        for (int bx = bx0; bx < std::min(bx0 + comp.mcu_width, comp.blocks_wide); ++bx)
          if (!f(coef + 64 * (static_cast<size_t>(by) * row + static_cast<size_t>(bx))))
            return false;
  return true;
}

// Counts the symbols of one component's blocks, as the entropy coder would code them. Every
// `ask_every` blocks `stop()` may end the count: then it returns false, and the counts hold the
// blocks counted so far.
template <class Component, class Stop>
bool count_symbols(const Component& comp, const Divisors& d, TableCounts& counts, size_t ask_every,
                   Stop&& stop) {
  alignas(16) std::array<uint16_t, 64> mag;
  int last_dc = 0;
  size_t until_ask = ask_every;
  const bool whole = in_scan_order(comp, [&](const int16_t* block) {
    const uint64_t nonzero = quantise(block, d, mag.data());
    const int dc = block[0] < 0 ? -int{mag[0]} : int{mag[0]};
    counts.dc[static_cast<size_t>(std::bit_width(static_cast<unsigned>(std::abs(dc - last_dc))))]++;
    last_dc = dc;
    int previous = 0;
    for (uint64_t ac = nonzero & ~uint64_t{1}; ac != 0; ac &= ac - 1) {
      const int k = std::countr_zero(ac);
      const int run = k - previous - 1;
      counts.ac[0xF0] += run >> 4;  // runs of 16 zeros, then the rest with the coefficient
      counts.ac[static_cast<size_t>((run & 15) << 4) |
                std::bit_width(unsigned{mag[static_cast<size_t>(k)]})]++;
      previous = k;
    }
    if (previous != 63) counts.ac[0x00]++;
    if (--until_ask > 0) return true;
    until_ask = ask_every;
    return !stop();
  });
  if (!whole) return false;
  // A dummy block repeats the DC of the block before it in the scan and has no AC: a difference
  // of 0 and an end of block.
  counts.dc[0] += static_cast<int64_t>(comp.dummies);
  counts.ac[0x00] += static_cast<int64_t>(comp.dummies);
  return true;
}

// Code lengths per symbol (0 for a symbol without a code) and how many symbols have one.
struct CodeLengths {
  std::array<uint8_t, 256> length{};
  int symbols = 0;
};

// Lengths from a table's bits and values, as jpeg_make_c_derived_tbl assigns codes.
CodeLengths lengths_of(const std::array<uint8_t, 17>& bits,
                       const std::array<uint8_t, 256>& values) {
  CodeLengths out;
  size_t p = 0;
  for (int n = 1; n <= 16; ++n)
    for (int i = 0; i < bits[static_cast<size_t>(n)]; ++i)
      out.length[values[p++]] = static_cast<uint8_t>(n);
  out.symbols = static_cast<int>(p);
  return out;
}

// jpeg_gen_optimal_table: Huffman's procedure with libjpeg's tie-breaking (of equal counts the
// larger symbol first), a pseudo-symbol that keeps any code from being all ones, and lengths
// limited to 16 bits as the JPEG standard's Annex K.2 does it.
HuffTable optimal_table(Freq freq) {
  constexpr int kMaxLength = 32;
  std::array<int, 257> codesize{};
  std::array<int, 257> others;
  others.fill(-1);
  freq[256] = 1;
  // The symbols still in the procedure, in increasing order (libjpeg scans them all).
  std::array<int, 257> live;
  int n = 0;
  for (int i = 0; i <= 256; ++i)
    if (freq[static_cast<size_t>(i)]) live[static_cast<size_t>(n++)] = i;

  for (;;) {
    int c1 = -1, c2 = -1;
    int64_t v = 1000000000;
    for (int j = 0; j < n; ++j) {
      const int i = live[static_cast<size_t>(j)];
      if (freq[static_cast<size_t>(i)] && freq[static_cast<size_t>(i)] <= v) {
        v = freq[static_cast<size_t>(i)];
        c1 = i;
      }
    }
    v = 1000000000;
    for (int j = 0; j < n; ++j) {
      const int i = live[static_cast<size_t>(j)];
      if (freq[static_cast<size_t>(i)] && freq[static_cast<size_t>(i)] <= v && i != c1) {
        v = freq[static_cast<size_t>(i)];
        c2 = i;
      }
    }
    if (c2 < 0) break;
    freq[static_cast<size_t>(c1)] += freq[static_cast<size_t>(c2)];
    freq[static_cast<size_t>(c2)] = 0;
    codesize[static_cast<size_t>(c1)]++;
    while (others[static_cast<size_t>(c1)] >= 0) {
      c1 = others[static_cast<size_t>(c1)];
      codesize[static_cast<size_t>(c1)]++;
    }
    others[static_cast<size_t>(c1)] = c2;
    codesize[static_cast<size_t>(c2)]++;
    while (others[static_cast<size_t>(c2)] >= 0) {
      c2 = others[static_cast<size_t>(c2)];
      codesize[static_cast<size_t>(c2)]++;
    }
    // A symbol merged away has frequency 0 and is never picked again.
  }

  std::array<int, kMaxLength + 1> bits{};
  for (int i = 0; i <= 256; ++i)
    if (codesize[static_cast<size_t>(i)])
      bits[static_cast<size_t>(codesize[static_cast<size_t>(i)])]++;
  int i = kMaxLength;
  for (; i > 16; --i) {
    while (bits[static_cast<size_t>(i)] > 0) {
      int j = i - 2;
      while (bits[static_cast<size_t>(j)] == 0) --j;
      bits[static_cast<size_t>(i)] -= 2;
      bits[static_cast<size_t>(i - 1)]++;
      bits[static_cast<size_t>(j + 1)] += 2;
      bits[static_cast<size_t>(j)]--;
    }
  }
  while (bits[static_cast<size_t>(i)] == 0) --i;
  bits[static_cast<size_t>(i)]--;  // the pseudo-symbol's code

  // The values sorted by their unlimited code length, then by symbol, take the lengths in turn.
  std::array<uint8_t, 17> table_bits{};
  for (int k = 1; k <= 16; ++k)
    table_bits[static_cast<size_t>(k)] = static_cast<uint8_t>(bits[static_cast<size_t>(k)]);
  std::array<uint8_t, 256> values{};
  size_t p = 0;
  for (int len = 1; len <= kMaxLength; ++len)
    for (int s = 0; s <= 255; ++s)
      if (codesize[static_cast<size_t>(s)] == len) values[p++] = static_cast<uint8_t>(s);
  HuffTable table;
  table.bits = table_bits;
  table.values = values;
  return table;
}

CodeLengths optimal_lengths(const Freq& freq) {
  const HuffTable t = optimal_table(freq);
  return lengths_of(t.bits, t.values);
}

// The symbol counts of each table (one for grey, two for colour) at `quality`. `stop(counts)`
// may end the count early (see count_symbols); `complete` tells whether it ran to the end.
struct Counted {
  std::array<TableCounts, 2> tables;
  bool complete = true;
};
template <class Component, class Stop>
Counted count_tables(const std::vector<Component>& components, int quality, Stop&& stop) {
  const EncoderTables& tables = encoder_tables();
  // About 32 asks over the picture (each costs about as much as counting 50 blocks).
  size_t blocks = 0;
  for (const Component& comp : components) blocks += comp.blocks();
  const size_t ask_every = std::max<size_t>(64, blocks / 32);
  Counted counted;
  for (size_t t = 0; t < (components.size() == 1 ? 1u : 2u); ++t) {
    const Divisors d = divisors(tables.quant[static_cast<size_t>(quality)][t]);
    for (const Component& comp : components) {
      if (static_cast<size_t>(comp.table) != t) continue;
      if (!count_symbols(comp, d, counted.tables[t], ask_every,
                         [&] { return stop(counted.tables); })) {
        counted.complete = false;
        return counted;
      }
    }
  }
  return counted;
}

// The coded bits of a table's symbols: each code, and the extra bits the symbol announces (a
// DC symbol is their number; an AC symbol's low four bits are).
uint64_t coded_bits(const Freq& freq, const CodeLengths& lengths, bool ac) {
  uint64_t bits = 0;
  for (size_t s = 0; s < 256; ++s) {
    if (!freq[s]) continue;
    const uint64_t extra = ac ? (s & 15) : s;
    bits += static_cast<uint64_t>(freq[s]) * (lengths.length[s] + extra);
  }
  return bits;
}

// The fewest bits any prefix code can give these symbols, with their extra bits: by Kraft's
// inequality no code beats their entropy. A little is taken off so rounding never overstates it.
uint64_t least_coded_bits(const Freq& freq, bool ac) {
  double n = 0, sum = 0;
  uint64_t extra = 0;
  for (size_t s = 0; s < 256; ++s) {
    if (!freq[s]) continue;
    const double f = static_cast<double>(freq[s]);
    n += f;
    sum += f * std::log2(f);
    extra += static_cast<uint64_t>(freq[s]) * (ac ? (s & 15) : s);
  }
  const double entropy = n > 0 ? n * std::log2(n) - sum : 0.0;
  return extra + static_cast<uint64_t>(std::max(0.0, entropy * (1 - 1e-9) - 1));
}

// ---- markers (jcmarker.c, jcapimin.c, jpeg_write_icc_profile) --------------------------------

constexpr size_t kMarker = 2;                   // 0xFF and the code
constexpr size_t kSegment = 4;                  // marker and the 2-byte length
constexpr size_t kJfif = kSegment + 14;         // APP0 "JFIF\0", version, density, no thumbnail
constexpr size_t kDqt = kSegment + 1 + 64;      // one 8-bit table
constexpr size_t kDhtBase = kSegment + 1 + 16;  // one table's class, id and counts
constexpr size_t kIccChunk = 65533 - 14;        // ICC bytes in one APP2 segment
constexpr size_t kIccOverhead = 14;             // "ICC_PROFILE\0", sequence number, count

}  // namespace

// ---- the model -------------------------------------------------------------------------------

bool JpegSizeModel::covers(const Image& im) {
  // libjpeg refuses sides over 65500 pixels (JPEG_MAX_DIMENSION).
  return (im.mode() == Mode::L || im.mode() == Mode::RGB) && im.width() >= 1 && im.height() >= 1 &&
         im.width() <= 65500 && im.height() <= 65500;
}

JpegSizeModel::JpegSizeModel(const Image& im, const EncodeOptions& opts)
    : width_(im.width()), height_(im.height()), optimize_(opts.optimize) {
  if (!covers(im)) throw std::invalid_argument("the JPEG size model covers only L and RGB images");
  if (im.mode() == Mode::L)
    transform_grey(im);
  else
    transform_colour(im);

  const codec::jpeg_detail::JpegFrame frame = codec::jpeg_detail::frame_of(im, opts);
  if (frame.exif) exif_ = *frame.exif;
  if (frame.icc) icc_ = *frame.icc;
  const size_t n = components_.size();
  fixed_headers_ = kMarker + kJfif;  // SOI, JFIF
  if (exif_) fixed_headers_ += kSegment + 6 + exif_->size();
  if (icc_) {
    const size_t icc = icc_->size();
    fixed_headers_ += (icc + kIccChunk - 1) / kIccChunk * (kSegment + kIccOverhead) + icc;
  }
  fixed_headers_ += (n == 1 ? 1 : 2) * kDqt;  // one quantisation table per kind of component
  fixed_headers_ += kSegment + 6 + 3 * n;     // SOF0
  fixed_headers_ += kSegment + 4 + 2 * n;     // SOS
  fixed_headers_ += kMarker;                  // EOI
}

// Y (or grey) at full size; in colour, Cb and Cr at half size both ways. An MCU holds 2x2 Y
// blocks and one of each chroma. The picture is extended to whole blocks by repeating its last
// column and row; in colour the MCUs that stick out get dummy blocks.
void JpegSizeModel::transform_colour(const Image& im) {
  const int w = im.width(), h = im.height();
  const int mcus_wide = (w + 15) / 16, mcus_high = (h + 15) / 16;
  components_.resize(3);
  for (size_t c = 0; c < 3; ++c) {
    Component& comp = components_[c];
    comp.table = c == 0 ? 0 : 1;
    comp.mcu_width = comp.mcu_height = c == 0 ? 2 : 1;
    comp.grid_width = mcus_wide * comp.mcu_width;
    comp.grid_height = mcus_high * comp.mcu_height;
    comp.blocks_wide = c == 0 ? (w + 7) / 8 : mcus_wide;
    comp.blocks_high = c == 0 ? (h + 7) / 8 : mcus_high;
    comp.coef = std::make_unique_for_overwrite<int16_t[]>(64 * comp.blocks());
    comp.dummies = static_cast<size_t>(comp.grid_width) * static_cast<size_t>(comp.grid_height) -
                   comp.blocks();
  }
  Component &luma_c = components_[0], &cb_c = components_[1], &cr_c = components_[2];

  // One MCU row at a time: 16 rows of Y, Cb and Cr at full size (the rows and columns past the
  // picture repeating its last ones), then Cb and Cr downsampled to 8 rows.
  const size_t band_width = static_cast<size_t>(mcus_wide) * 16;
  const size_t half_width = band_width / 2;
  std::vector<uint8_t> yb(band_width * 16), cbb(band_width * 16), crb(band_width * 16);
  std::vector<uint8_t> cbs(half_width * 8), crs(half_width * 8);
  // The last row of the downsampled chroma; the encoder repeats it below (it pads the full-size
  // rows to an even number first).
  const int last_half_row = (h + 1) / 2 - 1;
  const size_t luma_row = size_t{64} * static_cast<size_t>(luma_c.blocks_wide);
  const size_t chroma_row = size_t{64} * static_cast<size_t>(mcus_wide);

  for (int mr = 0; mr < mcus_high; ++mr) {
    for (size_t i = 0; i < 16; ++i) {
      uint8_t* planes[3] = {yb.data() + band_width * i, cbb.data() + band_width * i,
                            crb.data() + band_width * i};
      const int y = mr * 16 + static_cast<int>(i);
      if (y < h) {
        ycc_row(im.row(y), w, planes[0], planes[1], planes[2]);
        for (uint8_t* p : planes) std::fill(p + w, p + band_width, p[w - 1]);
      } else {
        for (uint8_t* p : planes) std::copy(p - band_width, p, p);
      }
    }
    for (int j = 0; j < 8; ++j) {
      const size_t from = static_cast<size_t>(2 * std::min(mr * 8 + j, last_half_row) - mr * 16);
      const size_t to = half_width * static_cast<size_t>(j);
      downsample_row(cbb.data() + band_width * from, cbb.data() + band_width * (from + 1),
                     half_width, cbs.data() + to);
      downsample_row(crb.data() + band_width * from, crb.data() + band_width * (from + 1),
                     half_width, crs.data() + to);
    }
    for (int v = 0; v < 2; ++v) {
      const int by = mr * 2 + v;
      if (by < luma_c.blocks_high)
        dct_row(yb.data() + band_width * static_cast<size_t>(v * 8), band_width, luma_c.blocks_wide,
                luma_c.coef.get() + luma_row * static_cast<size_t>(by));
    }
    dct_row(cbs.data(), half_width, mcus_wide,
            cb_c.coef.get() + chroma_row * static_cast<size_t>(mr));
    dct_row(crs.data(), half_width, mcus_wide,
            cr_c.coef.get() + chroma_row * static_cast<size_t>(mr));
  }
}

void JpegSizeModel::transform_grey(const Image& im) {
  const int w = im.width(), h = im.height();
  components_.resize(1);
  Component& comp = components_[0];
  comp.blocks_wide = comp.grid_width = (w + 7) / 8;
  comp.blocks_high = comp.grid_height = (h + 7) / 8;
  comp.coef = std::make_unique_for_overwrite<int16_t[]>(64 * comp.blocks());
  const size_t band_width = static_cast<size_t>(comp.blocks_wide) * 8;
  std::vector<uint8_t> band(band_width * 8);
  for (int br = 0; br < comp.blocks_high; ++br) {
    for (int i = 0; i < 8; ++i) {
      uint8_t* r = band.data() + band_width * static_cast<size_t>(i);
      const uint8_t* px = im.row(std::min(br * 8 + i, h - 1));
      std::copy(px, px + w, r);
      std::fill(r + w, r + band_width, r[w - 1]);
    }
    dct_row(band.data(), band_width, comp.blocks_wide,
            comp.coef.get() + band_width * 8 * static_cast<size_t>(br));
  }
}

struct JpegSizeModel::Counts {
  std::array<TableCounts, 2> tables;
};

size_t JpegSizeModel::lower_bound(int quality) const { return lower_bound(quality, nullptr); }

size_t JpegSizeModel::lower_bound(int quality, const std::function<bool(size_t)>& enough) const {
  quality = std::clamp(quality, 1, 100);
  const EncoderTables& tables = encoder_tables();
  const size_t used_tables = components_.size() == 1 ? 1 : 2;
  // The bound from `counts`; `least`: from part of the picture, with the optimal tables' code
  // lengths (which depend on all the counts) replaced by the entropy bound.
  auto bound_of = [&](const std::array<TableCounts, 2>& counts, bool least) {
    uint64_t bits = 0;
    size_t headers = fixed_headers_;
    for (size_t t = 0; t < used_tables; ++t) {
      headers += 2 * kDhtBase;
      if (least && optimize_) {
        // Every symbol seen has a code in the optimal tables.
        bits += least_coded_bits(counts[t].dc, false) + least_coded_bits(counts[t].ac, true);
        for (const Freq* freq : {&counts[t].dc, &counts[t].ac})
          headers += static_cast<size_t>(
              std::count_if(freq->begin(), freq->begin() + 256, [](int64_t n) { return n > 0; }));
        continue;
      }
      const CodeLengths dc = optimize_ ? optimal_lengths(counts[t].dc)
                                       : lengths_of(tables.dc[t].bits, tables.dc[t].values);
      const CodeLengths ac = optimize_ ? optimal_lengths(counts[t].ac)
                                       : lengths_of(tables.ac[t].bits, tables.ac[t].values);
      bits += coded_bits(counts[t].dc, dc, false) + coded_bits(counts[t].ac, ac, true);
      headers += static_cast<size_t>(dc.symbols + ac.symbols);
    }
    // The last byte is filled up with one bits.
    return headers + static_cast<size_t>((bits + 7) / 8);
  };
  // Counting ends early once part of the picture already gives a bound that will do: the trials
  // far over a target, typically, whose bound needs only about half the blocks.
  size_t partial = 0;
  const Counted counted = count_tables(components_, quality, [&](const auto& counts) {
    if (!enough) return false;
    partial = bound_of(counts, true);
    return enough(partial);
  });
  if (!counted.complete) return partial;
  auto counts = std::make_shared<const Counts>(Counts{counted.tables});
  {
    std::lock_guard lock(counted_mutex_);
    counted_quality_ = quality;
    counted_ = counts;
  }
  return bound_of(counts->tables, false);
}

std::vector<int16_t> JpegSizeModel::coefficients(int c, int quality) const {
  quality = std::clamp(quality, 1, 100);
  const Component& comp = components_.at(static_cast<size_t>(c));
  const Divisors d = divisors(
      encoder_tables().quant[static_cast<size_t>(quality)][static_cast<size_t>(comp.table)]);
  std::vector<int16_t> grid(static_cast<size_t>(comp.grid_width) *
                            static_cast<size_t>(comp.grid_height) * 64);
  int16_t last_dc = 0;
  // The scan's order: MCU by MCU, the component's blocks of an MCU row by row.
  for (int mr = 0; mr < comp.grid_height / comp.mcu_height; ++mr) {
    for (int mc = 0; mc < comp.grid_width / comp.mcu_width; ++mc) {
      for (int v = 0; v < comp.mcu_height; ++v) {
        for (int u = 0; u < comp.mcu_width; ++u) {
          const int by = mr * comp.mcu_height + v, bx = mc * comp.mcu_width + u;
          int16_t* out =
              grid.data() + (static_cast<size_t>(by) * static_cast<size_t>(comp.grid_width) +
                             static_cast<size_t>(bx)) *
                                64;
          if (by >= comp.blocks_high || bx >= comp.blocks_wide) {
            out[0] = last_dc;  // a dummy block
            continue;
          }
          const int16_t* block =
              comp.coef.get() + (static_cast<size_t>(by) * static_cast<size_t>(comp.blocks_wide) +
                                 static_cast<size_t>(bx)) *
                                    64;
          quantise_block(block, d, out);
          last_dc = out[0];
        }
      }
    }
  }
  return grid;
}

// ---- encoding from the coefficients -----------------------------------------------------------

// libjpeg's coefficient controller for writing coefficients asks for one MCU row of each
// component at a time, top to bottom (twice over where it first gathers the statistics of
// optimal tables). Each request is quantised here into a buffer of that many block rows, so an
// encoding holds no more of its coefficients than that.
struct JpegSizeModel::Feed {
  struct Array {
    const Component* comp = nullptr;
    Divisors divisors;
    std::vector<int16_t> coef;  // mcu_height rows of the grid
    std::vector<JBLOCKROW> rows;
  };
  std::vector<Array> arrays;
  std::vector<jvirt_barray_ptr> handles;

  Feed(const std::vector<Component>& components, int quality) : arrays(components.size()) {
    const EncoderTables& tables = encoder_tables();
    for (size_t c = 0; c < components.size(); ++c) {
      const Component& comp = components[c];
      Array& a = arrays[c];
      a.comp = &comp;
      a.divisors =
          divisors(tables.quant[static_cast<size_t>(quality)][static_cast<size_t>(comp.table)]);
      const size_t row = size_t{64} * static_cast<size_t>(comp.grid_width);
      a.coef.resize(row * static_cast<size_t>(comp.mcu_height));
      for (size_t r = 0; r < static_cast<size_t>(comp.mcu_height); ++r)
        a.rows.push_back(reinterpret_cast<JBLOCKROW>(a.coef.data() + row * r));
      handles.push_back(reinterpret_cast<jvirt_barray_ptr>(&a));
    }
  }

  // Called by libjpeg; where it asks for what it never asks for, it fails as its own memory
  // manager would.
  static JBLOCKARRAY access(j_common_ptr c, jvirt_barray_ptr ptr, JDIMENSION start,
                            JDIMENSION count, boolean) {
    auto* a = reinterpret_cast<Array*>(ptr);
    const Component& comp = *a->comp;
    const auto grid_height = static_cast<JDIMENSION>(comp.grid_height);
    if (count > a->rows.size() || start > grid_height || count > grid_height - start)
      codec::jpeg_detail::fail_with(c, JERR_BAD_VIRTUAL_ACCESS);
    const size_t row = size_t{64} * static_cast<size_t>(comp.blocks_wide);
    // Rows and blocks past the picture are dummy blocks, which libjpeg makes itself.
    const JDIMENSION end = std::min(start + count, static_cast<JDIMENSION>(comp.blocks_high));
    for (JDIMENSION r = start; r < end; ++r) {
      const int16_t* block = comp.coef.get() + row * r;
      int16_t* out = a->rows[r - start][0];
      for (int bx = 0; bx < comp.blocks_wide; ++bx, block += 64, out += 64)
        quantise_block(block, a->divisors, out);
    }
    return a->rows.data();
  }
};

std::string JpegSizeModel::encode(int quality, bool optimize) const {
  codec::jpeg_detail::JpegFrame frame;
  frame.width = width_;
  frame.height = height_;
  frame.bands = static_cast<int>(components_.size());
  frame.quality = std::clamp(quality, 1, 100);
  frame.optimize = optimize;
  frame.exif = exif_ ? &*exif_ : nullptr;
  frame.icc = icc_ ? &*icc_ : nullptr;
  Feed feed(components_, frame.quality);
  codec::jpeg_detail::CoefficientFeed source;
  source.arrays = feed.handles.data();
  source.access = Feed::access;
  source.client_data = &feed;
  // The optimal tables are the encoder's own, made from the same counts: given them, it needs
  // no pass of its own to gather the counts.
  std::array<JHUFF_TBL, 2> dc{}, ac{};
  if (optimize) {
    // The counts the last bound was found from, when that was at this quality.
    std::shared_ptr<const Counts> known;
    {
      std::lock_guard lock(counted_mutex_);
      if (counted_quality_ == frame.quality) known = counted_;
    }
    const std::array<TableCounts, 2> counts =
        known ? known->tables
              : count_tables(components_, frame.quality, [](const auto&) { return false; }).tables;
    for (size_t t = 0; t < (components_.size() == 1 ? 1u : 2u); ++t) {
      for (auto [freq, table] :
           {std::pair(&counts[t].dc, &dc[t]), std::pair(&counts[t].ac, &ac[t])}) {
        const HuffTable optimal = optimal_table(*freq);
        std::copy(optimal.bits.begin(), optimal.bits.end(), std::begin(table->bits));
        std::copy(optimal.values.begin(), optimal.values.end(), std::begin(table->huffval));
      }
      source.dc_tables[t] = &dc[t];
      source.ac_tables[t] = &ac[t];
    }
    frame.optimize = false;
  }
  return codec::jpeg_detail::write_coefficients(frame, source);
}

std::array<uint8_t, 256> jpeg_optimal_code_lengths(const std::array<int64_t, 256>& counts) {
  Freq freq{};
  std::copy(counts.begin(), counts.end(), freq.begin());
  return optimal_lengths(freq).length;
}

}  // namespace img_util::imaging
