// The pieces of Lanczos resampling, kept apart so each can be tested on its own: the filter,
// the coefficient table of one axis, its fixed-point form, and the two passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "img_util/image.hpp"

namespace img_util::imaging::resample {

// Fixed-point coefficients: 8 bits for the pixel value, 2 spare bits because the lobes of the
// filter can push a partial sum below 0 or above 1.
inline constexpr int kPrecisionBits = 32 - 8 - 2;
inline constexpr double kLanczosSupport = 3.0;

// Lanczos-3: sinc(x) * sinc(x / 3) on [-3, 3), zero outside.
double lanczos(double x);

// Coefficients of one axis: output i reads `count[i]` inputs starting at `first[i]`, weighted
// by weights[i * ksize + k] (unused tails are zero). Weights of a row sum to 1.
struct Coeffs {
  int in_size = 0;
  int ksize = 0;
  std::vector<int> first, count;
  std::vector<double> weights;
};

// Maps the input span [in0, in1) of an axis of `in_size` pixels onto `out_size` pixels; the
// filter's support widens by the reduction factor when shrinking. Pure.
Coeffs compute_coeffs(int in_size, double in0, double in1, int out_size);

// The same table in fixed point (rounded half away from zero).
struct FixedCoeffs {
  int in_size = 0;
  int ksize = 0;
  std::vector<int> first, count;
  std::vector<int32_t> k;
  // The same weights for the vector kernel, which multiplies 16-bit lanes: each weight split
  // as k = hi * 2^11 + lo (lo in 0..2047), taken four taps at a time, each four as 16 lanes of
  // hi and 16 of lo. Lane 8h + 2j + u of either is tap 2h + u for band j (four bands).
  // (ksize + 3) / 4 fours per output pixel.
  std::vector<int16_t> fours;
  // For 3 and 4 bands: how many output pixels, from the first, read only whole 16-byte runs
  // of four taps inside the row (the vector kernel reads those without a bounds check).
  int whole_reads[2] = {0, 0};
};
inline constexpr int kPairSplitBits = 11;
// Which pass a table is for: only the horizontal one needs the vector kernel's weights.
enum class Pass { horizontal, vertical };
FixedCoeffs to_fixed(const Coeffs& c, Pass pass = Pass::horizontal);

// One 8-bit result from a fixed-point sum that started at half a unit, clamped to 0..255.
inline uint8_t clip_fixed(int32_t sum) {
  int32_t v = sum >> kPrecisionBits;
  return v < 0 ? 0 : v > 255 ? 255 : static_cast<uint8_t>(v);
}

// Resamples rows [row0, row1) of `in` (interleaved, `bands` per pixel) horizontally into the
// rows [0, row1 - row0) of `out`, whose width is c.first.size().
void horizontal_pass(const uint8_t* in, size_t in_stride, int bands, int row0, int row1,
                     const FixedCoeffs& c, uint8_t* out, size_t out_stride);

// The same for rows wherever they are: in[r] (row_bytes bytes each) into out[r]. The vector
// kernel takes several rows per weight it loads, so callers hand over as many as they have.
void horizontal_rows(const uint8_t* const* in, uint8_t* const* out, int rows, size_t row_bytes,
                     int bands, const FixedCoeffs& c);

// The same pass without the vector kernels (horizontal_pass uses AVX2 for 3 and 4 bands
// where the processor has it); kept callable so tests can hold the two to the same bytes.
void horizontal_pass_portable(const uint8_t* in, size_t in_stride, int bands, int row0, int row1,
                              const FixedCoeffs& c, uint8_t* out, size_t out_stride);

// Computes output rows [y0, y1) of the vertical pass; `width` pixels per row.
void vertical_pass(const uint8_t* in, size_t in_stride, int bands, int width, const FixedCoeffs& c,
                   int y0, int y1, uint8_t* out, size_t out_stride);

// One output row of the vertical pass from the `count` input rows it reads, weighted by `k`;
// `n` bytes per row, `acc` room for n sums.
void vertical_row(const uint8_t* const* rows, int count, const int32_t* k, size_t n, uint8_t* out,
                  int32_t* acc);
// The same without the vector kernel (vertical_row uses AVX2 where the processor has it).
void vertical_row_portable(const uint8_t* const* rows, int count, const int32_t* k, size_t n,
                           uint8_t* out, int32_t* acc);

// The resize fed one input row at a time, top to bottom: each row is resampled horizontally
// as it arrives and each output row is made as soon as the rows under its filter are in, so
// only a window as tall as the filter is held. The same sums as resize(), so the same bytes.
// For images without alpha (alpha needs the premultiplied whole image).
class RowResizer {
 public:
  // Resizes in_width x in_height rows of `mode` to out_width x out_height.
  RowResizer(int in_width, int in_height, Mode mode, int out_width, int out_height);
  // The next input row: in_width * bands bytes.
  void push(const uint8_t* row) { push_rows(row, 0, 1); }
  // The next `n` input rows, `stride` bytes apart.
  void push_rows(const uint8_t* rows, size_t stride, int n);
  // Whether every output row has been made.
  bool finished() const { return next_out_ == out_height_; }
  // The result, once every input row has been pushed.
  Image take() &&;

 private:
  // Input rows resampled horizontally together, where they come in bands.
  static constexpr int kRowsAtOnce = 4;

  void emit(int yy);
  // Adds `rows` rows to the result and returns the first.
  uint8_t* add_rows(int rows);

  Mode mode_;
  int bands_;
  int out_width_, out_height_;
  bool need_h_, need_v_;
  FixedCoeffs horiz_, vert_;
  int ybox_first_ = 0, ybox_last_ = 0;
  size_t in_row_bytes_;  // bytes of an input row (the vector kernel reads up to its end)
  size_t row_bytes_;     // bytes of a row after the horizontal pass
  int ring_rows_ = 0;    // horizontally resampled rows kept for the vertical pass (a filter's
                         // height, and room for the rows resampled together)
  std::vector<uint8_t> ring_;
  std::vector<int32_t> acc_;
  std::vector<const uint8_t*> taps_;
  // The result's pixels, with room for all of them from the start; each row is added as it is
  // made, so memory is taken (and zeroed) a row at a time, not at once while a progressive
  // decoder holds its whole file's coefficients.
  std::vector<uint8_t> out_;
  int next_in_ = 0, next_out_ = 0;
};

}  // namespace img_util::imaging::resample
