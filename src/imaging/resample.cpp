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
  const size_t per_pixel = static_cast<size_t>(c.ksize + 1) / 2;
  f.pairs.assign(f.first.size() * per_pixel * 16, 0);
  for (size_t xx = 0; xx < f.first.size(); ++xx)
    for (int t = 0; t < f.count[xx]; ++t) {
      const int32_t k = f.k[xx * static_cast<size_t>(c.ksize) + static_cast<size_t>(t)];
      int16_t* lanes = &f.pairs[(xx * per_pixel + static_cast<size_t>(t / 2)) * 16];
      for (int band = 0; band < 4; ++band) {
        lanes[band * 2 + t % 2] = static_cast<int16_t>(k >> kPairSplitBits);
        lanes[8 + band * 2 + t % 2] = static_cast<int16_t>(k & ((1 << kPairSplitBits) - 1));
      }
    }
  return f;
}

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
namespace {

// Colour images with AVX2: two taps of one output pixel per step, as 16-bit lanes (each
// band of both taps) multiplied and summed pairwise by vpmaddwd against the split weights.
// hi * 2^11 + lo recombines to exactly the portable loop's integer sum, so the same bytes.
template <int B>
__attribute__((target("avx2"))) void horizontal_rows_avx2(const uint8_t* in, size_t in_stride,
                                                          int row0, int row1, const FixedCoeffs& c,
                                                          uint8_t* out, size_t out_stride) {
  static_assert(B == 3 || B == 4);
  const int out_w = static_cast<int>(c.first.size());
  const size_t per_pixel = static_cast<size_t>(c.ksize + 1) / 2 * 16;
  // Lane 2j + t of each half: band j of tap t, zero-extended to 16 bits (band 3 of RGB zero).
  constexpr char a3 = B == 4 ? 3 : -1, b3 = B == 4 ? 7 : -1;
  const __m256i spread =
      _mm256_setr_epi8(0, -1, B, -1, 1, -1, B + 1, -1, 2, -1, B + 2, -1, a3, -1, b3, -1, 0, -1, B,
                       -1, 1, -1, B + 1, -1, 2, -1, B + 2, -1, a3, -1, b3, -1);
  const __m128i half = _mm_set1_epi32(1 << (kPrecisionBits - 1));
  for (int y = row0; y < row1; ++y) {
    const uint8_t* src = in + in_stride * static_cast<size_t>(y);
    const uint8_t* row_end = src + in_stride;
    uint8_t* dst = out + out_stride * static_cast<size_t>(y - row0);
    for (int xx = 0; xx < out_w; ++xx) {
      const int16_t* k = &c.pairs[static_cast<size_t>(xx) * per_pixel];
      const uint8_t* p = src + static_cast<size_t>(c.first[xx]) * B;
      const int n = c.count[xx];
      __m256i acc = _mm256_setzero_si256();
      for (int x = 0; x < n; x += 2, p += 2 * B, k += 16) {
        __m128i two;
        if (p + 8 <= row_end) {
          two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        } else {
          // At the end of the row; a missing second tap has weight 0.
          uint64_t bytes = 0;
          std::memcpy(&bytes, p, std::min<size_t>(2 * B, static_cast<size_t>(row_end - p)));
          two = _mm_cvtsi64_si128(static_cast<long long>(bytes));
        }
        const __m256i v = _mm256_shuffle_epi8(_mm256_broadcastq_epi64(two), spread);
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k));
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(v, w));
      }
      __m128i sum = _mm_add_epi32(_mm_slli_epi32(_mm256_castsi256_si128(acc), kPairSplitBits),
                                  _mm256_extracti128_si256(acc, 1));
      sum = _mm_srai_epi32(_mm_add_epi32(sum, half), kPrecisionBits);
      // Saturating packs clamp to 0..255 exactly as clip_fixed does.
      const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(sum, sum), _mm_setzero_si128());
      const uint32_t px = static_cast<uint32_t>(_mm_cvtsi128_si32(packed));
      std::memcpy(dst + static_cast<size_t>(xx) * B, &px, B);
    }
  }
}

bool have_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

}  // namespace
#endif

void horizontal_pass(const uint8_t* in, size_t in_stride, int bands, int row0, int row1,
                     const FixedCoeffs& c, uint8_t* out, size_t out_stride) {
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
  if (have_avx2() && bands == 3)
    return horizontal_rows_avx2<3>(in, in_stride, row0, row1, c, out, out_stride);
  if (have_avx2() && bands == 4)
    return horizontal_rows_avx2<4>(in, in_stride, row0, row1, c, out, out_stride);
#endif
  horizontal_pass_portable(in, in_stride, bands, row0, row1, c, out, out_stride);
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

// Built for AVX2 and for the baseline; the loader picks one. Integer sums, same bytes. (Not under
// ThreadSanitizer: the loader runs the picker before the sanitizer is ready.)
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void vertical_row(const uint8_t* const* rows, int count, const int32_t* k, size_t n, uint8_t* out,
                  int32_t* acc) {
  std::fill(acc, acc + n, 1 << (kPrecisionBits - 1));
  for (int t = 0; t < count; ++t) {
    const uint8_t* src = rows[t];
    const int32_t kt = k[t];
    // Fixed-size blocks so the compiler vectorises without a cost guess.
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
      for (size_t j = 0; j < 16; ++j) acc[i + j] += src[i + j] * kt;
    for (; i < n; ++i) acc[i] += src[i] * kt;
  }
  for (size_t i = 0; i < n; ++i) out[i] = clip_fixed(acc[i]);
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

namespace {
constexpr int kBlockRows = 64;
}  // namespace

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
  blocks_.resize(static_cast<size_t>((out_height + kBlockRows - 1) / kBlockRows));
  if (need_h_) horiz_ = to_fixed(compute_coeffs(in_width, 0.0, double(in_width), out_width));
  if (!need_v_) return;
  vert_ = to_fixed(compute_coeffs(in_height, 0.0, double(in_height), out_height), Pass::vertical);
  ybox_first_ = vert_.first.front();
  ybox_last_ = vert_.first.back() + vert_.count.back();
  // Filter windows only move down, so an output row is made when the last row under it
  // arrives, and all its rows are then among the last `count` ones.
  ring_rows_ = std::max(1, *std::max_element(vert_.count.begin(), vert_.count.end()));
  ring_.resize(row_bytes_ * static_cast<size_t>(ring_rows_));
  acc_.resize(row_bytes_);
  taps_.resize(static_cast<size_t>(ring_rows_));
}

uint8_t* RowResizer::out_row(int y) {
  auto& block = blocks_[static_cast<size_t>(y / kBlockRows)];
  if (!block) block = std::make_unique_for_overwrite<uint8_t[]>(row_bytes_ * kBlockRows);
  return block.get() + row_bytes_ * static_cast<size_t>(y % kBlockRows);
}

void RowResizer::push(const uint8_t* row) {
  const int y = next_in_++;
  if (!need_v_) {
    uint8_t* dst = out_row(y);
    if (need_h_)
      horizontal_pass(row, in_row_bytes_, bands_, 0, 1, horiz_, dst, row_bytes_);
    else
      std::memcpy(dst, row, row_bytes_);
    next_out_ = next_in_;
    return;
  }
  if (y < ybox_first_ || y >= ybox_last_) return;  // under no output row's filter
  uint8_t* slot = &ring_[row_bytes_ * static_cast<size_t>(y % ring_rows_)];
  if (need_h_)
    horizontal_pass(row, in_row_bytes_, bands_, 0, 1, horiz_, slot, row_bytes_);
  else
    std::memcpy(slot, row, row_bytes_);
  while (next_out_ < out_height_ && vert_.first[next_out_] + vert_.count[next_out_] <= y + 1)
    emit(next_out_++);
}

void RowResizer::emit(int yy) {
  const int first = vert_.first[yy], count = vert_.count[yy];
  for (int t = 0; t < count; ++t)
    taps_[static_cast<size_t>(t)] =
        &ring_[row_bytes_ * static_cast<size_t>((first + t) % ring_rows_)];
  vertical_row(taps_.data(), count, &vert_.k[static_cast<size_t>(yy) * vert_.ksize], row_bytes_,
               out_row(yy), acc_.data());
}

Image RowResizer::take() && {
  Image out(mode_, out_width_, out_height_);
  for (int y = 0; y < out_height_; ++y) {
    auto& block = blocks_[static_cast<size_t>(y / kBlockRows)];
    if (block)
      std::memcpy(out.row(y), block.get() + row_bytes_ * static_cast<size_t>(y % kBlockRows),
                  row_bytes_);
    if (y % kBlockRows == kBlockRows - 1 || y == out_height_ - 1) block.reset();
  }
  return out;
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
  // Palette indices cannot be averaged; Pillow resizes P images by nearest neighbour.
  if (im.mode() == Mode::P) return resize_nearest(im, width, height);
  Image out = detail::derived_image(im, im.mode(), width, height);
  if (mode_has_alpha(im.mode())) {
    Image pre = im;
    premultiply(pre);
    resample_into(pre, out);
    unpremultiply(out);
  } else {
    resample_into(im, out);
  }
  return out;
}

}  // namespace img_util::imaging
