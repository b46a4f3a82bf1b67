// The scans of a progressive JPEG, and how two decoders can share reading them.
//
// A progressive file is a series of scans, each adding some coefficients (or some bits of them)
// of one or more components. libjpeg reads them one after another on one CPU, which is most of
// the time a large progressive photo takes. Scans that touch different coefficients do not
// depend on each other, so the file can be given to two decoders as two valid streams: both get
// every table segment, each gets its own scans. A scan that refines coefficients the other
// decoder brought in waits until that decoder has read them. Our own reader of the scans
// (jpeg_entropy) takes the layout found here too, with the tables and restart interval each
// scan is coded with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec::jpeg_scans {

struct Span {
  uint64_t offset = 0, length = 0;
};

struct Scan {
  uint64_t begin = 0, end = 0;  // from its SOS marker to its last entropy-coded byte
  uint64_t data = 0;            // where its entropy-coded data starts
  std::vector<int> components;  // component ids
  std::vector<int> tables;      // per component: its DC table << 4 | its AC table
  int ss = 0, se = 0, ah = 0, al = 0;
  unsigned restart_interval = 0;       // in effect for the scan
  std::vector<Span> huffman_segments;  // the bodies of the DHT segments since the scan before
};

struct Layout {
  size_t components = 0;  // in the frame
  std::vector<Scan> scans;
  uint64_t end = 0;  // just past EOI
};

// The scans of `data`, or nothing unless it is a well-formed progressive (Huffman) JPEG whose
// scans end with every coefficient of every component at full precision and that ends with EOI.
// Only such a file decodes the same when its scans are shared out: libjpeg smooths the blocks
// of a file it found incomplete, and judges that from the scans it has read itself.
std::optional<Layout> parse(const ByteSource& data);

// Which of two decoders reads each scan, and what it waits for first.
struct Plan {
  std::vector<int> decoder;                // per scan: 0 or 1
  std::vector<std::vector<size_t>> waits;  // per scan: scans of the other decoder before it
};

// Shares the scans out by their size so that both decoders finish as early as their
// dependencies allow (each reads its scans in file order). Decoder 0 may get them all.
Plan plan(const Layout& layout);

// The stream decoder `d` reads: everything but the other decoder's scans.
std::vector<Span> stream(const Layout& layout, const Plan& plan, int d);

}  // namespace img_util::imaging::codec::jpeg_scans
