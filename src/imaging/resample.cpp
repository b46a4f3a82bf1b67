// Lanczos resize with Pillow's arithmetic: coefficients in double, normalised per output
// pixel, converted to 22-bit fixed point; a horizontal pass over just the rows the vertical
// pass will read, then the vertical pass; every intermediate clamped to 8 bits. Images with
// alpha are resized premultiplied, as Pillow's Image.resize does.
#include "imaging/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#include <immintrin.h>
#endif

#include "imaging/geometry.hpp"
#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"
#include "imaging/split_rows.hpp"

namespace img_util::imaging {
namespace resample {
namespace {

double sinc(double x) {
  if (x == 0.0) return 1.0;
  x = x * M_PI;
  return std::sin(x) / x;
}

template <int B>
void horizontal_rows(const uint8_t* in, size_t in_stride, int row0, int row1, const FixedCoeffs& c,
                     uint8_t* out, size_t out_stride) {
  const int out_w = static_cast<int>(c.first.size());
  for (int y = row0; y < row1; ++y) {
    const uint8_t* src = in + in_stride * static_cast<size_t>(y);
    uint8_t* dst = out + out_stride * static_cast<size_t>(y - row0);
    for (int xx = 0; xx < out_w; ++xx) {
      const int32_t* k = &c.k[static_cast<size_t>(xx) * c.ksize];
      const uint8_t* p = src + static_cast<size_t>(c.first[xx]) * B;
      int32_t ss[B];
      for (int b = 0; b < B; ++b) ss[b] = 1 << (kPrecisionBits - 1);
      for (int x = 0, n = c.count[xx]; x < n; ++x, p += B)
        for (int b = 0; b < B; ++b) ss[b] += p[b] * k[x];
      for (int b = 0; b < B; ++b) dst[xx * B + b] = clip_fixed(ss[b]);
    }
  }
}

// Below this many multiply-adds a second thread costs more than it saves.
constexpr double kWorthAThread = 4e6;

}  // namespace

double lanczos(double x) {
  if (-kLanczosSupport <= x && x < kLanczosSupport) return sinc(x) * sinc(x / 3);
  return 0.0;
}

Coeffs compute_coeffs(int in_size, double in0, double in1, int out_size) {
  const double scale = (in1 - in0) / out_size;
  const double filterscale = std::max(scale, 1.0);
  const double support = kLanczosSupport * filterscale;
  Coeffs c;
  c.in_size = in_size;
  c.ksize = static_cast<int>(std::ceil(support)) * 2 + 1;
  c.first.resize(static_cast<size_t>(out_size));
  c.count.resize(static_cast<size_t>(out_size));
  c.weights.assign(static_cast<size_t>(out_size) * static_cast<size_t>(c.ksize), 0.0);
  const double ss = 1.0 / filterscale;
  for (int xx = 0; xx < out_size; ++xx) {
    const double center = in0 + (xx + 0.5) * scale;
    int xmin = static_cast<int>(center - support + 0.5);
    if (xmin < 0) xmin = 0;
    int xmax = static_cast<int>(center + support + 0.5);
    if (xmax > in_size) xmax = in_size;
    xmax -= xmin;
    double* k = &c.weights[static_cast<size_t>(xx) * c.ksize];
    double ww = 0.0;
    for (int x = 0; x < xmax; ++x) {
      const double w = lanczos((x + xmin - center + 0.5) * ss);
      k[x] = w;
      ww += w;
    }
    if (ww != 0.0)
      for (int x = 0; x < xmax; ++x) k[x] /= ww;
    c.first[xx] = xmin;
    c.count[xx] = std::max(xmax, 0);
  }
  return c;
}

FixedCoeffs to_fixed(const Coeffs& c, Pass pass) {
  FixedCoeffs f;
  f.in_size = c.in_size;
  f.ksize = c.ksize;
  f.first = c.first;
  f.count = c.count;
  f.k.resize(c.weights.size());
  constexpr double one = double(1 << kPrecisionBits);
  for (size_t i = 0; i < c.weights.size(); ++i) {
    const double w = c.weights[i];
    f.k[i] = static_cast<int32_t>(w < 0 ? -0.5 + w * one : 0.5 + w * one);
  }
  if (pass == Pass::vertical) return f;
  const size_t per_pixel = static_cast<size_t>(c.ksize + 3) / 4;
  f.fours.assign(f.first.size() * per_pixel * 32, 0);
  for (size_t xx = 0; xx < f.first.size(); ++xx)
    for (int t = 0; t < f.count[xx]; ++t) {
      const int32_t k = f.k[xx * static_cast<size_t>(c.ksize) + static_cast<size_t>(t)];
      int16_t* hi = &f.fours[(xx * per_pixel + static_cast<size_t>(t / 4)) * 32];
      int16_t* lo = hi + 16;
      const int tap = t % 4;
      for (int band = 0; band < 4; ++band) {
        const int lane = 8 * (tap / 2) + 2 * band + tap % 2;
        hi[lane] = static_cast<int16_t>(k >> kPairSplitBits);
        lo[lane] = static_cast<int16_t>(k & ((1 << kPairSplitBits) - 1));
      }
    }
  for (int bands : {3, 4}) {
    int& whole = f.whole_reads[bands - 3];
    const size_t row_bytes = static_cast<size_t>(c.in_size) * static_cast<size_t>(bands);
    for (size_t xx = 0; xx < f.first.size(); ++xx) {
      const size_t fours = static_cast<size_t>(f.count[xx] + 3) / 4;
      const size_t last_run = static_cast<size_t>(f.first[xx]) + (fours ? fours - 1 : 0) * 4;
      if (last_run * static_cast<size_t>(bands) + 16 > row_bytes) break;
      whole = static_cast<int>(xx) + 1;
    }
  }
  return f;
}

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
namespace {

// Colour images with AVX2: four taps of one output pixel per step. The 16 bytes from the first
// tap are spread into 16-bit lanes (each half of the register: both bands of two taps, side by
// side), which vpmaddwd multiplies and sums pairwise once against the weights' hi parts and once
// against their lo parts. hi * 2^11 + lo recombines to exactly the portable loop's integer sum
// (the lanes wrap, but the true sum fits), so the same bytes. R rows share each weight loaded;
// sums wait in blocks of pixels to be packed to bytes together.
struct HorizontalAvx2 {
  static constexpr int kBlock = 16;  // output pixels packed together

  const FixedCoeffs& c;
  size_t row_bytes;
  size_t per_pixel;  // weights per output pixel: 32 lanes per four taps
  int safe_w;        // the output pixels whose every 16-byte read stays inside the row

  HorizontalAvx2(const FixedCoeffs& coeffs, size_t bytes, int bands)
      : c(coeffs),
        row_bytes(bytes),
        per_pixel(static_cast<size_t>(coeffs.ksize + 3) / 4 * 32),
        safe_w(bytes >= static_cast<size_t>(coeffs.in_size) * static_cast<size_t>(bands)
                   ? coeffs.whole_reads[bands - 3]
                   : 0) {}
};

template <int B>
__attribute__((target("avx2"))) inline __m256i spread_mask() {
  // Lane 2j + u of half h: band j of tap 2h + u, zero-extended (band 3 of RGB is zero).
  constexpr char a3 = B == 4 ? 3 : -1, b3 = B == 4 ? B + 3 : -1;
  constexpr char c3 = B == 4 ? 2 * B + 3 : -1, d3 = B == 4 ? 3 * B + 3 : -1;
  return _mm256_setr_epi8(0, -1, B, -1, 1, -1, B + 1, -1, 2, -1, B + 2, -1, a3, -1, b3, -1,  //
                          2 * B, -1, 3 * B, -1, 2 * B + 1, -1, 3 * B + 1, -1, 2 * B + 2, -1,
                          3 * B + 2, -1, c3, -1, d3, -1);
}

// Output pixels [x0, x1) of R rows into sums[r][xx - base] (four bands, rounded and shifted).
// `safe`: every read is a whole 16 bytes inside the row.
template <int B, int R, bool safe>
__attribute__((target("avx2"))) void horizontal_sums(const HorizontalAvx2& h,
                                                     const uint8_t* const* in, int x0, int x1,
                                                     int base,
                                                     __m128i (*sums)[HorizontalAvx2::kBlock]) {
  const __m256i spread = spread_mask<B>();
  const __m128i half = _mm_set1_epi32(1 << (kPrecisionBits - 1));
  for (int xx = x0; xx < x1; ++xx) {
    const int16_t* k = &h.c.fours[static_cast<size_t>(xx) * h.per_pixel];
    size_t at = static_cast<size_t>(h.c.first[xx]) * B;
    const int n = h.c.count[xx];
    __m256i hi[R], lo[R];
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r) hi[r] = lo[r] = _mm256_setzero_si256();
    for (int x = 0; x < n; x += 4, at += 4 * B, k += 32) {
      const __m256i whi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k));
      const __m256i wlo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k + 16));
#pragma GCC unroll 4
      for (int r = 0; r < R; ++r) {
        __m128i bytes;
        if (safe || at + 16 <= h.row_bytes) {
          bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[r] + at));
        } else {
          // At the end of the row; missing taps have weight 0.
          alignas(16) uint8_t tail[16] = {};
          std::memcpy(tail, in[r] + at, std::min<size_t>(4 * B, h.row_bytes - at));
          bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
        }
        const __m256i v = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), spread);
        hi[r] = _mm256_add_epi32(hi[r], _mm256_madd_epi16(v, whi));
        lo[r] = _mm256_add_epi32(lo[r], _mm256_madd_epi16(v, wlo));
      }
    }
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r) {
      const __m256i both = _mm256_add_epi32(_mm256_slli_epi32(hi[r], kPairSplitBits), lo[r]);
      const __m128i sum =
          _mm_add_epi32(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
      sums[r][xx - base] = _mm_srai_epi32(_mm_add_epi32(sum, half), kPrecisionBits);
    }
  }
}

// The sums of `n` pixels as bytes, B bands each. Saturating packs clamp to 0..255 exactly as
// clip_fixed does.
template <int B>
__attribute__((target("avx2"))) void pack_sums(const __m128i* sums, int n, uint8_t* out) {
  int i = 0;
  // Four pixels of four bands are 16 bytes; of three, 12 (the shuffle drops the fourth).
  const __m128i squeeze = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  alignas(16) uint8_t bytes[16];
  for (; i + 4 <= n; i += 4) {
    __m128i v = _mm_packus_epi16(_mm_packs_epi32(sums[i], sums[i + 1]),
                                 _mm_packs_epi32(sums[i + 2], sums[i + 3]));
    if (B == 3) v = _mm_shuffle_epi8(v, squeeze);
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), v);
    std::memcpy(out + static_cast<size_t>(i) * B, bytes, 4 * B);
  }
  for (; i < n; ++i) {
    const __m128i v = _mm_packus_epi16(_mm_packs_epi32(sums[i], sums[i]), _mm_setzero_si128());
    const uint32_t px = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(out + static_cast<size_t>(i) * B, &px, B);
  }
}

template <int B, int R>
__attribute__((target("avx2"))) void horizontal_rows_avx2(const HorizontalAvx2& h,
                                                          const uint8_t* const* in,
                                                          uint8_t* const* out) {
  static_assert(B == 3 || B == 4);
  constexpr int kBlock = HorizontalAvx2::kBlock;
  const int out_w = static_cast<int>(h.c.first.size());
  __m128i sums[R][kBlock];
  for (int x0 = 0; x0 < out_w; x0 += kBlock) {
    const int x1 = std::min(out_w, x0 + kBlock);
    const int fast = std::clamp(h.safe_w, x0, x1);
    horizontal_sums<B, R, true>(h, in, x0, fast, x0, sums);
    horizontal_sums<B, R, false>(h, in, fast, x1, x0, sums);
    for (int r = 0; r < R; ++r)
      pack_sums<B>(sums[r], x1 - x0, out[r] + static_cast<size_t>(x0) * B);
  }
}

// Rows in fours, then one at a time.
template <int B>
void horizontal_rows_avx2(const uint8_t* const* in, uint8_t* const* out, int rows, size_t row_bytes,
                          const FixedCoeffs& c) {
  const HorizontalAvx2 h(c, row_bytes, B);
  int r = 0;
  for (; r + 4 <= rows; r += 4) horizontal_rows_avx2<B, 4>(h, in + r, out + r);
  for (; r < rows; ++r) horizontal_rows_avx2<B, 1>(h, in + r, out + r);
}

// Thirty-two bytes of an output row at a time, with every tap's sum kept in registers: two
// input rows per step, their bytes paired as 16-bit lanes and multiplied pairwise by vpmaddwd
// against the two taps' weights, split as in the horizontal kernel.
__attribute__((target("avx2"))) size_t vertical_row_avx2(const uint8_t* const* rows, int count,
                                                         const int32_t* k, size_t n, uint8_t* out) {
  constexpr int kMask = (1 << kPairSplitBits) - 1;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i half = _mm256_set1_epi32(1 << (kPrecisionBits - 1));
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i hi[4] = {zero, zero, zero, zero}, lo[4] = {zero, zero, zero, zero};
    for (int t = 0; t < count; t += 2) {
      const bool pair = t + 1 < count;
      const int32_t k0 = k[t], k1 = pair ? k[t + 1] : 0;
      const __m256i whi = _mm256_set1_epi32(static_cast<int32_t>(
          static_cast<uint32_t>(static_cast<uint16_t>(k0 >> kPairSplitBits)) |
          static_cast<uint32_t>(static_cast<uint16_t>(k1 >> kPairSplitBits)) << 16));
      const __m256i wlo = _mm256_set1_epi32((k0 & kMask) | (k1 & kMask) << 16);
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[t] + i));
      const __m256i b =
          pair ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[t + 1] + i)) : zero;
      const __m256i ab[2] = {_mm256_unpacklo_epi8(a, b), _mm256_unpackhi_epi8(a, b)};
      for (int h = 0; h < 2; ++h) {
        const __m256i v0 = _mm256_unpacklo_epi8(ab[h], zero),
                      v1 = _mm256_unpackhi_epi8(ab[h], zero);
        hi[2 * h] = _mm256_add_epi32(hi[2 * h], _mm256_madd_epi16(v0, whi));
        lo[2 * h] = _mm256_add_epi32(lo[2 * h], _mm256_madd_epi16(v0, wlo));
        hi[2 * h + 1] = _mm256_add_epi32(hi[2 * h + 1], _mm256_madd_epi16(v1, whi));
        lo[2 * h + 1] = _mm256_add_epi32(lo[2 * h + 1], _mm256_madd_epi16(v1, wlo));
      }
    }
    __m256i sum[4];
    for (int j = 0; j < 4; ++j)
      sum[j] = _mm256_srai_epi32(
          _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(hi[j], kPairSplitBits), lo[j]), half),
          kPrecisionBits);
    // Within each 128-bit half, sum[0..3] hold bytes 0-3, 4-7, 8-11 and 12-15 of its 16.
    const __m256i packed =
        _mm256_packus_epi16(_mm256_packs_epi32(sum[0], sum[1]), _mm256_packs_epi32(sum[2], sum[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
  }
  return i;
}

bool have_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

}  // namespace
#endif

void horizontal_rows(const uint8_t* const* in, uint8_t* const* out, int rows, size_t row_bytes,
                     int bands, const FixedCoeffs& c) {
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
  if (have_avx2() && bands == 3) return horizontal_rows_avx2<3>(in, out, rows, row_bytes, c);
  if (have_avx2() && bands == 4) return horizontal_rows_avx2<4>(in, out, rows, row_bytes, c);
#endif
  for (int r = 0; r < rows; ++r)
    horizontal_pass_portable(in[r], row_bytes, bands, 0, 1, c, out[r], 0);
}

void horizontal_pass(const uint8_t* in, size_t in_stride, int bands, int row0, int row1,
                     const FixedCoeffs& c, uint8_t* out, size_t out_stride) {
  constexpr int kGroup = 16;
  const uint8_t* from[kGroup];
  uint8_t* to[kGroup];
  for (int y = row0; y < row1; y += kGroup) {
    const int rows = std::min(kGroup, row1 - y);
    for (int r = 0; r < rows; ++r) {
      from[r] = in + in_stride * static_cast<size_t>(y + r);
      to[r] = out + out_stride * static_cast<size_t>(y + r - row0);
    }
    horizontal_rows(from, to, rows, in_stride, bands, c);
  }
}

void horizontal_pass_portable(const uint8_t* in, size_t in_stride, int bands, int row0, int row1,
                              const FixedCoeffs& c, uint8_t* out, size_t out_stride) {
  switch (bands) {
    case 1: return horizontal_rows<1>(in, in_stride, row0, row1, c, out, out_stride);
    case 2: return horizontal_rows<2>(in, in_stride, row0, row1, c, out, out_stride);
    case 3: return horizontal_rows<3>(in, in_stride, row0, row1, c, out, out_stride);
    default: return horizontal_rows<4>(in, in_stride, row0, row1, c, out, out_stride);
  }
}

namespace {

// Bytes [from, to) of a vertical pass's output row.
// Built for AVX2 and for the baseline; the loader picks one. Integer sums, same bytes. (Not under
// ThreadSanitizer: the loader runs the picker before the sanitizer is ready.)
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void vertical_span(const uint8_t* const* rows, int count, const int32_t* k, size_t from, size_t to,
                   uint8_t* out, int32_t* acc) {
  std::fill(acc + from, acc + to, 1 << (kPrecisionBits - 1));
  for (int t = 0; t < count; ++t) {
    const uint8_t* src = rows[t];
    const int32_t kt = k[t];
    // Fixed-size blocks so the compiler vectorises without a cost guess.
    size_t i = from;
    for (; i + 16 <= to; i += 16)
      for (size_t j = 0; j < 16; ++j) acc[i + j] += src[i + j] * kt;
    for (; i < to; ++i) acc[i] += src[i] * kt;
  }
  for (size_t i = from; i < to; ++i) out[i] = clip_fixed(acc[i]);
}

}  // namespace

void vertical_row(const uint8_t* const* rows, int count, const int32_t* k, size_t n, uint8_t* out,
                  int32_t* acc) {
  size_t done = 0;
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
  if (have_avx2()) done = vertical_row_avx2(rows, count, k, n, out);
#endif
  if (done < n) vertical_span(rows, count, k, done, n, out, acc);
}

void vertical_row_portable(const uint8_t* const* rows, int count, const int32_t* k, size_t n,
                           uint8_t* out, int32_t* acc) {
  vertical_span(rows, count, k, 0, n, out, acc);
}

void vertical_pass(const uint8_t* in, size_t in_stride, int bands, int width, const FixedCoeffs& c,
                   int y0, int y1, uint8_t* out, size_t out_stride) {
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(bands);
  std::vector<int32_t> acc(n);
  std::vector<const uint8_t*> rows(static_cast<size_t>(c.ksize));
  for (int yy = y0; yy < y1; ++yy) {
    for (int t = 0; t < c.count[yy]; ++t)
      rows[static_cast<size_t>(t)] = in + in_stride * static_cast<size_t>(c.first[yy] + t);
    vertical_row(rows.data(), c.count[yy], &c.k[static_cast<size_t>(yy) * c.ksize], n,
                 out + out_stride * static_cast<size_t>(yy), acc.data());
  }
}

RowResizer::RowResizer(int in_width, int in_height, Mode mode, int out_width, int out_height)
    : mode_(mode),
      bands_(mode_bands(mode)),
      out_width_(out_width),
      out_height_(out_height),
      need_h_(out_width != in_width),
      need_v_(out_height != in_height),
      in_row_bytes_(static_cast<size_t>(in_width) * static_cast<size_t>(bands_)),
      row_bytes_(static_cast<size_t>(out_width) * static_cast<size_t>(bands_)) {
  // The result's size is checked against the pixel limit now, not after all the work.
  check_pixel_limit(int64_t{out_width} * out_height);
  out_.reserve(row_bytes_ * static_cast<size_t>(out_height));
  if (need_h_) horiz_ = to_fixed(compute_coeffs(in_width, 0.0, double(in_width), out_width));
  if (!need_v_) return;
  vert_ = to_fixed(compute_coeffs(in_height, 0.0, double(in_height), out_height), Pass::vertical);
  ybox_first_ = vert_.first.front();
  ybox_last_ = vert_.first.back() + vert_.count.back();
  // Filter windows only move down, so an output row is made when the last row under it
  // arrives, and all its rows are then among the last `count` ones.
  ring_rows_ =
      std::max(1, *std::max_element(vert_.count.begin(), vert_.count.end())) + kRowsAtOnce - 1;
  ring_.resize(row_bytes_ * static_cast<size_t>(ring_rows_));
  acc_.resize(row_bytes_);
  taps_.resize(static_cast<size_t>(ring_rows_));
}

uint8_t* RowResizer::add_rows(int rows) {
  const size_t at = out_.size();
  out_.resize(at + row_bytes_ * static_cast<size_t>(rows));  // within the room reserved
  return out_.data() + at;
}

void RowResizer::push_rows(const uint8_t* rows, size_t stride, int n) {
  const uint8_t* from[kRowsAtOnce];
  uint8_t* to[kRowsAtOnce];
  for (int i = 0; i < n;) {
    const int y = next_in_;
    // A row under no output row's filter is not needed.
    if (need_v_ && (y < ybox_first_ || y >= ybox_last_)) {
      ++next_in_, ++i;
      continue;
    }
    // The rows taken together: all needed, and within what the ring holds beside a filter.
    const int last = need_v_ ? ybox_last_ : out_height_;
    const int group = std::min({kRowsAtOnce, n - i, last - y});
    uint8_t* const added = need_v_ ? nullptr : add_rows(group);
    for (int r = 0; r < group; ++r) {
      from[r] = rows + stride * static_cast<size_t>(i + r);
      to[r] = need_v_ ? &ring_[row_bytes_ * static_cast<size_t>((y + r) % ring_rows_)]
                      : added + row_bytes_ * static_cast<size_t>(r);
    }
    if (need_h_)
      horizontal_rows(from, to, group, in_row_bytes_, bands_, horiz_);
    else
      for (int r = 0; r < group; ++r) std::memcpy(to[r], from[r], row_bytes_);
    next_in_ += group, i += group;
    if (!need_v_) {
      next_out_ = next_in_;
      continue;
    }
    while (next_out_ < out_height_ && vert_.first[next_out_] + vert_.count[next_out_] <= next_in_)
      emit(next_out_++);
  }
}

void RowResizer::emit(int yy) {
  const int first = vert_.first[yy], count = vert_.count[yy];
  for (int t = 0; t < count; ++t)
    taps_[static_cast<size_t>(t)] =
        &ring_[row_bytes_ * static_cast<size_t>((first + t) % ring_rows_)];
  vertical_row(taps_.data(), count, &vert_.k[static_cast<size_t>(yy) * vert_.ksize], row_bytes_,
               add_rows(1), acc_.data());
}

Image RowResizer::take() && {
  // Rows never made (the decoder stopped early) stay black.
  out_.resize(row_bytes_ * static_cast<size_t>(out_height_));
  return Image::from_pixels(mode_, out_width_, out_height_, std::move(out_));
}

}  // namespace resample

namespace {

using detail::clip8;
using detail::muldiv255;

// Colour bands scaled by alpha in place (the alpha band is the last one).
void premultiply(Image& im) {
  const int b = im.bands();
  for (int y = 0; y < im.height(); ++y) {
    uint8_t* p = im.row(y);
    for (int x = 0; x < im.width(); ++x, p += b)
      for (int c = 0; c < b - 1; ++c) p[c] = muldiv255(p[c], p[b - 1]);
  }
}

void unpremultiply(Image& im) {
  const int b = im.bands();
  for (int y = 0; y < im.height(); ++y) {
    uint8_t* p = im.row(y);
    for (int x = 0; x < im.width(); ++x, p += b) {
      const int a = p[b - 1];
      if (a == 0 || a == 255) continue;
      for (int c = 0; c < b - 1; ++c) p[c] = clip8((255 * p[c]) / a);
    }
  }
}

// Separable resampling of `src` into `out` (same mode, target size already set).
void resample_into(const Image& src, Image& out) {
  using namespace resample;
  const int bands = src.bands(), in_w = src.width(), in_h = src.height();
  const int w = out.width(), h = out.height();
  const bool need_h = w != in_w, need_v = h != in_h;

  FixedCoeffs vert = to_fixed(compute_coeffs(in_h, 0.0, double(in_h), h), Pass::vertical);
  const int ybox_first = vert.first.front();
  const int ybox_last = vert.first.back() + vert.count.back();

  const uint8_t* vin = src.pixels().data();
  size_t vin_stride = src.stride();
  std::vector<uint8_t> temp;
  if (need_h) {
    FixedCoeffs horiz = to_fixed(compute_coeffs(in_w, 0.0, double(in_w), w));
    const int rows = need_v ? ybox_last - ybox_first : in_h;
    const int row0 = need_v ? ybox_first : 0;
    const size_t stride = static_cast<size_t>(w) * bands;
    uint8_t* dst = need_v ? (temp.resize(stride * static_cast<size_t>(rows)), temp.data())
                          : out.pixels().data();
    split_rows(rows, double(rows) * w * bands * horiz.ksize, kWorthAThread, [&](int a, int b, int) {
      horizontal_pass(src.pixels().data(), src.stride(), bands, row0 + a, row0 + b, horiz,
                      dst + stride * static_cast<size_t>(a), stride);
    });
    if (!need_v) return;
    for (int& f : vert.first) f -= ybox_first;
    vin = temp.data();
    vin_stride = stride;
  }
  const int width = need_h ? w : in_w;
  split_rows(h, double(h) * width * bands * vert.ksize, kWorthAThread, [&](int a, int b, int) {
    vertical_pass(vin, vin_stride, bands, width, vert, a, b, out.pixels().data(), out.stride());
  });
}

}  // namespace

Image resize(const Image& im, int width, int height) {
  if (width < 1 || height < 1) throw ValueError("height and width must be > 0");
  if (width == im.width() && height == im.height()) return im;
  if (mode_has_alpha(im.mode())) return resize(Image(im), width, height);
  // Palette indices cannot be averaged; Pillow resizes P images by nearest neighbour.
  if (im.mode() == Mode::P) return resize_nearest(im, width, height);
  Image out = detail::derived_image(im, im.mode(), width, height);
  resample_into(im, out);
  return out;
}

Image resize(Image&& im, int width, int height) {
  if (width < 1 || height < 1) throw ValueError("height and width must be > 0");
  if (width == im.width() && height == im.height()) return std::move(im);
  if (!mode_has_alpha(im.mode())) return resize(std::as_const(im), width, height);
  Image out = detail::derived_image(im, im.mode(), width, height);
  premultiply(im);
  resample_into(im, out);
  unpremultiply(out);
  return out;
}

}  // namespace img_util::imaging
