// Our own reading of a progressive JPEG's scans into coefficients.
//
// libjpeg reads a progressive file's Huffman-coded scans a bit at a time through a small
// buffer, and that is most of the time a large progressive photo takes to decode. This reader
// takes the scans after the first, once libjpeg has read the first (and with it every
// component's tables), and writes into the same coefficient arrays, value for value what
// libjpeg would have written. It reads the data of a scan unstuffed into a buffer of its own,
// 56 bits at a time, and looks up ten bits of code at once.
//
// It reads only what it is sure to read as libjpeg does: a file with restart markers, a code
// that matches no table entry, data that runs out, or anything else libjpeg would warn about
// makes it give up, and the file is read again by libjpeg alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // before jpeglib.h, which needs it
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "imaging/codecs/codecs.hpp"
#include "imaging/codecs/jpeg_scans.hpp"

namespace img_util::imaging::codec::jpeg_entropy {

// A component's coefficient array, as libjpeg lays it out: rows of blocks of 64 coefficients
// in natural order, the rows and blocks beyond the picture's completing whole MCUs.
struct Component {
  int id = 0;
  int h = 1, v = 1;                                    // sampling factors
  uint32_t width_in_blocks = 0, height_in_blocks = 0;  // the blocks the picture covers
  uint32_t blocks_per_row = 0, rows = 0;               // the array's
  const JBLOCKROW* row = nullptr;                      // `rows` of them
};

struct Frame {
  uint32_t width = 0, height = 0;
  int max_h = 1, max_v = 1;
  std::vector<Component> components;  // in the frame header's order
};

// Reads scans `first` to the last of `layout` from `data` into the arrays of `frame`, after the
// scans before `first` (read by libjpeg) and the tables defined before any of them; with
// `two_threads`, some components' scans on a second thread. False when it gave up; the arrays
// are then spoiled.
bool read_scans(const ByteSource& data, const jpeg_scans::Layout& layout, size_t first,
                const Frame& frame, bool two_threads = false);

// Reads without BMI2's bit instructions even where the CPU has them, as on CPUs without them
// (for tests).
void use_portable_bits(bool portable);

}  // namespace img_util::imaging::codec::jpeg_entropy
