// What the two files of the JPEG reader share. jpeg.cpp holds libjpeg's error handling, the input
// a decoder reads (the file, or some of its spans) and the steps of a read; jpeg_shared.cpp holds
// the coefficient store of progressive files and the ways their scans are read: libjpeg the
// first and our own reader (jpeg_entropy) the others, or two libjpeg decoders sharing them.
//
// libjpeg reports fatal errors through error_exit, which must not return; we longjmp out of it.
// Every libjpeg call that can fail runs inside `guarded`, whose frame (and the frames of the
// small step functions it calls) hold no object with a destructor, so the jump skips nothing
// that needs unwinding. The callbacks we give libjpeg follow the same rule: whatever they lock
// or allocate is gone before they call error_exit.
#pragma once

// jpeglib.h needs the standard headers first, and jerror.h needs jpeglib.h.
#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "imaging/codecs/codecs.hpp"
#include "imaging/codecs/jpeg_entropy.hpp"
#include "imaging/codecs/jpeg_scans.hpp"
#include "support/cpus.hpp"

namespace img_util::imaging::codec::jpeg_detail {

// ---- errors (jpeg.cpp) ----------------------------------------------------------------------

struct ErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  void (*std_emit)(j_common_ptr, int);
  // A warning that says the data is damaged (not merely that scans are missing, which is what
  // a decoder given part of a progressive file's scans sees).
  bool damaged;
};

void init_errors(ErrorMgr& err);
// Stops the libjpeg call under way with `code`, through error_exit.
[[noreturn]] void fail_with(j_common_ptr c, J_MESSAGE_CODE code);
// Runs `step(arg)` where libjpeg may longjmp; false when it did.
bool guarded(ErrorMgr& err, void (*step)(void*), void* arg);

// ---- writing (jpeg.cpp) ---------------------------------------------------------------------

// What jpeg_encode writes of an image besides its pixels: the frame's size and components, the
// encoder's settings, and the metadata markers (null for none).
struct JpegFrame {
  int width = 0, height = 0, bands = 0;
  int quality = 75;  // 1..100
  bool optimize = false;
  const std::string* exif = nullptr;  // only where it fits one segment
  const std::string* icc = nullptr;
};

// The frame jpeg_encode(im, opts) writes; it points into im.info.
JpegFrame frame_of(const Image& im, const EncodeOptions& opts);

// Quantised coefficients handed to the encoder in place of pixels. `arrays` (one a component,
// as jpeg_write_coefficients takes them) are ours, not the memory manager's: libjpeg reads them
// only through `access`, which finds `client_data` in the compress object's client_data. Row r
// of component c's array holds the blocks of block row r, in natural order; the dummy blocks
// that complete the MCUs are not read.
struct CoefficientFeed {
  jvirt_barray_ptr* arrays = nullptr;
  JBLOCKARRAY(*access)
  (j_common_ptr, jvirt_barray_ptr, JDIMENSION start, JDIMENSION count, boolean writable) = nullptr;
  void* client_data = nullptr;
  // Huffman tables to code with in place of the standard ones (null for those), where the
  // frame does not have the encoder make its optimal ones.
  const JHUFF_TBL* dc_tables[2] = {};
  const JHUFF_TBL* ac_tables[2] = {};
};

// The JPEG of `frame` with the coefficients of `feed`: where they are those the encoder would
// compute from pixels, the bytes are jpeg_encode's. Throws ImageError with libjpeg's message.
std::string write_coefficients(const JpegFrame& frame, const CoefficientFeed& feed);

// ---- input and the steps of a read (jpeg.cpp) -----------------------------------------------

// What a decoder reads: the spans of a file (all of it, or a progressive file's scans for one
// of two decoders), a piece at a time.
struct SpanSource {
  jpeg_source_mgr pub;
  const ByteSource* data;
  std::vector<jpeg_scans::Span> spans;
  size_t next = 0;         // the span being read
  uint64_t next_byte = 0;  // in it
  std::string scratch;     // what was read from a file
};

void use_spans(SpanSource& src, const ByteSource& data, std::vector<jpeg_scans::Span> spans);

struct Reader {
  jpeg_decompress_struct cinfo;
  ErrorMgr err;
  bool created = false;
  SpanSource src;
  // The band read_band fills: `want` rows; for CMYK, a scratch row converted into them.
  unsigned char** rows = nullptr;
  JDIMENSION want = 0;
  unsigned char* cmyk_row = nullptr;
  ~Reader() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

// Steps for `guarded`, each given its Reader. Creates the decoder and reads the header.
void step_read_header(void* arg);
// Starts decompressing: for a progressive file this is where the whole file is read into
// coefficients.
void step_start(void* arg);

// ---- a progressive file's coefficients (jpeg_shared.cpp) ------------------------------------

// libjpeg keeps every coefficient of a progressive file until its last scan is read: two bytes
// a coefficient, 72 MB for an 18-megapixel photo, more than the photo's pixels. Its memory
// manager holds them to the end of the decode. Ours keeps them in mappings of our own, shared by
// the decoders of one file, and gives each row back once the output has gone past it. It must
// outlive the decoders attached to it.
class CoefStore {
 public:
  CoefStore();
  ~CoefStore();
  CoefStore(const CoefStore&) = delete;
  CoefStore& operator=(const CoefStore&) = delete;

  // Routes `c`'s coefficient arrays here (its client_data is ours from now on).
  void attach(jpeg_decompress_struct& c);

  // The k-th array (component k's), once a decoder has asked for it: its rows of blocks.
  struct Blocks {
    const JBLOCKROW* row = nullptr;
    JDIMENSION blocks_per_row = 0, rows = 0;
  };
  std::optional<Blocks> blocks(size_t k);

 private:
  struct Array;
  struct Client {
    CoefStore* store;
    size_t next;  // which array its next request is for (decoders ask in component order)
  };

  Array* array(size_t k, JDIMENSION blocks_per_row, JDIMENSION rows);
  static jvirt_barray_ptr on_request(j_common_ptr c, int, boolean, JDIMENSION blocks_per_row,
                                     JDIMENSION rows, JDIMENSION);
  static JBLOCKARRAY on_access(j_common_ptr c, jvirt_barray_ptr ptr, JDIMENSION start,
                               JDIMENSION count, boolean writable);

  std::mutex mutex_;
  std::vector<std::unique_ptr<Array>> arrays_;
  std::deque<Client> clients_;
};

// ---- two decoders sharing a progressive file's scans (jpeg_shared.cpp) ----------------------

struct SharedRead {
  jpeg_scans::Layout layout;
  jpeg_scans::Plan plan;
  SpareCpu cpu;  // the second decoder's, held while the file is read
};

// Reads every scan into `store`: `a` (opened on its stream of `shared`), which goes on to the
// output, on this thread, and a second decoder on another. False when anything went wrong or
// looked damaged; `a` is then spent.
bool read_shared(Reader& a, CoefStore& store, const SharedRead& shared, const ByteSource& data);

// ---- our own reading of the scans after the first (jpeg_shared.cpp) -------------------------

struct OwnRead {
  jpeg_scans::Layout layout;
  // The CPU of a second thread, taken as for a second decoder, held while the file is read.
  std::optional<SpareCpu> second_thread;
};

// What libjpeg reads of a file whose scans after the first our reader takes.
std::vector<jpeg_scans::Span> own_read_stream(const jpeg_scans::Layout& layout);

// The frame our reader reads into: `c`'s geometry and the arrays `store` made for it; nothing
// before libjpeg has asked for them.
std::optional<jpeg_entropy::Frame> entropy_frame(const jpeg_decompress_struct& c, CoefStore& store);

// Reads every scan into `store`: the first by `a` (opened on own_read_stream), which goes on to
// the output, the others by our reader. False when either gave up or anything looked damaged;
// `a` is then spent.
bool read_own(Reader& a, CoefStore& store, const OwnRead& own, const ByteSource& data);

// ---- which way a progressive file is read (jpeg_shared.cpp) ----------------------------------

// By libjpeg (the first scan) and our own reader (the others), when the setting of
// set_jpeg_scan_reader lets it and the file allows it; else by two decoders sharing the scans,
// when the setting of set_jpeg_shared_read lets it, the file allows it and both decoders get
// scans; else (neither) by libjpeg alone. The file's scans are found once for both.
struct ProgressiveRead {
  std::optional<OwnRead> own;
  std::optional<SharedRead> shared;
};
ProgressiveRead plan_progressive_read(const ByteSource& data);

}  // namespace img_util::imaging::codec::jpeg_detail
