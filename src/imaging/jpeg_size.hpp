// The size of our JPEG encoding of an image at any quality, found without encoding it.
//
// Our JPEG encoder (libjpeg-turbo with its defaults: YCbCr with 2x2 chroma subsampling, or one
// grey component; the integer DCT; one interleaved baseline scan) makes the same DCT
// coefficients at every quality: only their quantisation and the Huffman coding differ. So the
// image is transformed once, exactly as the encoder transforms it, and a quality then quantises
// the stored coefficients as the encoder does and counts the Huffman symbols. From the counts
// follows the exact length of the entropy-coded data with the tables the encoder would use, and
// the headers are known exactly. Left out is only the zero byte the encoder stuffs after each
// 0xFF byte of the entropy-coded data: the encoding is longer than the bound by exactly that many
// bytes.
//
// The stored coefficients also give the encoding itself: written through
// jpeg_write_coefficients, quantised as the encoder asks for them, the bytes are the encoder's,
// for the cost of its quantisation and Huffman coding alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "imaging/imaging.hpp"

namespace img_util::imaging {

class JpegSizeModel {
 public:
  // Whether the model knows encode(im, "JPEG", ...) of this image: mode L or RGB, of a size
  // JPEG can hold.
  static bool covers(const Image& im);

  // Transforms `im`, which must be loaded and covered, as encode(im, "JPEG", opts) would;
  // opts.quality is left to lower_bound. Throws std::invalid_argument for an image it does not
  // cover.
  JpegSizeModel(const Image& im, const EncodeOptions& opts);

  // encode(im, "JPEG", opts at `quality`).size() less the bytes stuffed after 0xFF bytes in the
  // entropy-coded data. `quality` is clamped to 1..100, as the encoder clamps it.
  size_t lower_bound(int quality) const;
  // The same, or less where less will do: once the blocks counted so far give a bound that
  // satisfies `enough` (a size over the target, say), that bound is returned.
  size_t lower_bound(int quality, const std::function<bool(size_t)>& enough) const;

  // encode(im, "JPEG", opts) with opts.quality = `quality` and opts.optimize = `optimize`, the
  // rest of opts being those the model was made with: the same bytes, written from the stored
  // coefficients without transforming the image again. Throws ImageError as encode does.
  std::string encode(int quality, bool optimize) const;

  // The quantised coefficients of component `c` (Y, Cb, Cr; or the one grey component) at
  // `quality`, as the encoder writes them and jpeg_read_coefficients gives them back: the
  // blocks of whole MCUs (with the dummy blocks at the right and bottom edges) row by row, each
  // in natural order. For tests.
  std::vector<int16_t> coefficients(int c, int quality) const;
  int components() const { return static_cast<int>(components_.size()); }
  // The size of component `c`'s block grid in coefficients(c, ...).
  int grid_width(int c) const { return components_[static_cast<size_t>(c)].grid_width; }
  int grid_height(int c) const { return components_[static_cast<size_t>(c)].grid_height; }

 private:
  struct Component {
    int table = 0;  // 0 for luminance, 1 for chrominance (quantisation and Huffman)
    int blocks_wide = 0, blocks_high = 0;  // the blocks of the picture
    int grid_width = 0, grid_height = 0;   // with the dummy blocks that complete the MCUs
    int mcu_width = 1, mcu_height = 1;     // blocks of this component in one MCU
    // The DCT coefficients of the picture's blocks row by row, 64 each in zigzag order, as the
    // DCT leaves them (scaled up by 8, unquantised).
    std::unique_ptr<int16_t[]> coef;  // not zeroed first: every value is written once
    size_t blocks() const {
      return static_cast<size_t>(blocks_wide) * static_cast<size_t>(blocks_high);
    }
    size_t dummies = 0;  // dummy blocks in the scan
  };

  struct Feed;    // the coefficients of one quality, handed to the encoder
  struct Counts;  // the symbol counts of one quality

  void transform_grey(const Image& im);
  void transform_colour(const Image& im);

  std::vector<Component> components_;
  int width_ = 0, height_ = 0;
  bool optimize_ = false;
  std::optional<std::string> exif_, icc_;  // the metadata markers an encoding writes
  size_t fixed_headers_ = 0;               // every marker but DHT, which depends on the counts
  // The counts of the last whole count: an encoding at that quality needs them for its tables
  // (the trial encoded after its bound is the usual case). Trials may run on other threads.
  mutable std::mutex counted_mutex_;
  mutable int counted_quality_ = 0;
  mutable std::shared_ptr<const Counts> counted_;
};

// The code length of each symbol (0 for none) in the optimal Huffman table libjpeg makes for
// these symbol counts. For tests.
std::array<uint8_t, 256> jpeg_optimal_code_lengths(const std::array<int64_t, 256>& counts);

}  // namespace img_util::imaging
