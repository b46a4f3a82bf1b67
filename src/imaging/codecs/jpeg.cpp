// JPEG through libjpeg-turbo's libjpeg API.
//
// libjpeg reports fatal errors through error_exit, which must not return; we longjmp out of it.
// Every libjpeg call that can fail runs inside `guarded`, whose frame (and the frames of the
// small step functions it calls) hold no object with a destructor, so the jump skips nothing
// that needs unwinding. After the jump we throw ImageError with libjpeg's own message. The
// callbacks we give libjpeg follow the same rule: whatever they lock or allocate is gone before
// they call error_exit.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// jpeglib.h needs the standard headers first, and jerror.h needs jpeglib.h.
#include <jerror.h>
#include <jpeglib.h>

#include "imaging/codecs/codecs.hpp"
#include "imaging/codecs/jpeg_scans.hpp"
#include "support/cpus.hpp"

namespace img_util::imaging::codec {
namespace {

struct ErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  void (*std_emit)(j_common_ptr, int);
  // A warning that says the data is damaged (not merely that scans are missing, which is what
  // a decoder given part of a progressive file's scans sees).
  bool damaged;
};

extern "C" void on_error_exit(j_common_ptr c) {
  auto* err = reinterpret_cast<ErrorMgr*>(c->err);
  (*c->err->format_message)(c, err->message);
  std::longjmp(err->jump, 1);
}

// Warnings (corrupt or premature end of data) are tolerated, as a viewer would: no output.
extern "C" void on_output_message(j_common_ptr) {}

extern "C" void on_emit_message(j_common_ptr c, int level) {
  auto* err = reinterpret_cast<ErrorMgr*>(c->err);
  if (level < 0 && c->err->msg_code != JWRN_BOGUS_PROGRESSION) err->damaged = true;
  err->std_emit(c, level);
}

void init_errors(ErrorMgr& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = on_error_exit;
  err.pub.output_message = on_output_message;
  err.std_emit = err.pub.emit_message;
  err.pub.emit_message = on_emit_message;
  err.message[0] = '\0';
  err.damaged = false;
}

[[noreturn]] void fail_with(j_common_ptr c, J_MESSAGE_CODE code) {
  c->err->msg_code = static_cast<int>(code);
  c->err->msg_parm.i[0] = 0;
  (*c->err->error_exit)(c);
  std::abort();  // error_exit does not return
}

// Runs `step(arg)` where libjpeg may longjmp; false when it did.
bool guarded(ErrorMgr& err, void (*step)(void*), void* arg) {
  if (setjmp(err.jump)) return false;
  step(arg);
  return true;
}

// ---- input: the file, or a progressive file's scans for one decoder --------------------------

struct SpanSource {
  jpeg_source_mgr pub;
  const ByteSource* data;
  std::vector<jpeg_scans::Span> spans;
  size_t next = 0;         // the span being read
  uint64_t next_byte = 0;  // in it
  std::string scratch;     // what was read from a file
};

// A file is read a piece at a time; memory is handed over a span at a time.
constexpr size_t kReadBytes = size_t{64} << 10;

extern "C" void span_init(j_decompress_ptr) {}
extern "C" void span_term(j_decompress_ptr) {}

extern "C" boolean span_fill(j_decompress_ptr c) {
  auto* src = reinterpret_cast<SpanSource*>(c->src);
  while (src->next < src->spans.size()) {
    const jpeg_scans::Span& span = src->spans[src->next];
    const uint64_t left = span.length - src->next_byte;
    if (left == 0) {
      ++src->next;
      src->next_byte = 0;
      continue;
    }
    const size_t want =
        src->data->in_memory() ? static_cast<size_t>(left) : std::min<size_t>(left, kReadBytes);
    std::optional<std::string_view> got =
        src->data->read(span.offset + src->next_byte, want, src->scratch);
    if (!got) fail_with(reinterpret_cast<j_common_ptr>(c), JERR_FILE_READ);
    if (got->empty()) break;  // the file has become shorter
    src->next_byte += got->size();
    src->pub.next_input_byte = reinterpret_cast<const JOCTET*>(got->data());
    src->pub.bytes_in_buffer = got->size();
    return TRUE;
  }
  // The data ends early: an end marker of our own lets libjpeg finish what it has.
  static const JOCTET eoi[2] = {0xFF, JPEG_EOI};
  WARNMS(c, JWRN_JPEG_EOF);
  src->pub.next_input_byte = eoi;
  src->pub.bytes_in_buffer = 2;
  return TRUE;
}

extern "C" void span_skip(j_decompress_ptr c, long count) {
  auto* src = reinterpret_cast<SpanSource*>(c->src);
  while (count > 0) {
    if (src->pub.bytes_in_buffer == 0) span_fill(c);
    const size_t n = std::min(static_cast<size_t>(count), src->pub.bytes_in_buffer);
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= n;
    count -= static_cast<long>(n);
  }
}

void use_spans(SpanSource& src, const ByteSource& data, std::vector<jpeg_scans::Span> spans) {
  src.pub.init_source = span_init;
  src.pub.fill_input_buffer = span_fill;
  src.pub.skip_input_data = span_skip;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = span_term;
  src.pub.next_input_byte = nullptr;
  src.pub.bytes_in_buffer = 0;
  src.data = &data;
  src.spans = std::move(spans);
  src.next = 0;
  src.next_byte = 0;
}

// All of `data`.
std::vector<jpeg_scans::Span> whole(const ByteSource& data) { return {{0, data.size()}}; }

// ---- a progressive file's coefficients ---------------------------------------------------------

// libjpeg keeps every coefficient of a progressive file until its last scan is read: two bytes
// a coefficient, 72 MB for an 18-megapixel photo, more than the photo's pixels. Its memory
// manager holds them to the end of the decode. Ours keeps them in mappings of our own, shared by
// the decoders of one file, and gives each row back once the output has gone past it.
class CoefStore {
 public:
  CoefStore() = default;
  CoefStore(const CoefStore&) = delete;
  CoefStore& operator=(const CoefStore&) = delete;

  // Routes `c`'s coefficient arrays here (its client_data is ours from now on).
  void attach(jpeg_decompress_struct& c) {
    clients_.push_back(Client{this, 0});
    c.client_data = &clients_.back();
    c.mem->request_virt_barray = on_request;
    c.mem->access_virt_barray = on_access;
  }

 private:
  struct Array {
    JDIMENSION blocks_per_row = 0, rows = 0;
    size_t row_bytes = 0, bytes = 0;
    void* memory = nullptr;
    std::vector<JBLOCKROW> row_ptrs;
    JDIMENSION released_rows = 0;  // rows below this were given back
    size_t released_bytes = 0;     // and these pages

    ~Array() {
      if (memory) munmap(memory, bytes);
    }
    // Gives back whole pages below `row`, which no later access reaches.
    void release_below(JDIMENSION row) {
      if (row <= released_rows) return;
      released_rows = row;
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      const size_t end = size_t{row} * row_bytes / page * page;
      if (end <= released_bytes) return;
      madvise(static_cast<char*>(memory) + released_bytes, end - released_bytes, MADV_DONTNEED);
      released_bytes = end;
    }
  };
  struct Client {
    CoefStore* store;
    size_t next;  // which array its next request is for (decoders ask in component order)
  };

  // The k-th array, made on the first request for it; nothing when it cannot be made or a
  // second decoder asks for other dimensions.
  Array* array(size_t k, JDIMENSION blocks_per_row, JDIMENSION rows) {
    std::lock_guard lock(mutex_);
    if (k < arrays_.size()) {
      Array* a = arrays_[k].get();
      return a->blocks_per_row == blocks_per_row && a->rows == rows ? a : nullptr;
    }
    if (k != arrays_.size()) return nullptr;
    auto a = std::make_unique<Array>();
    a->blocks_per_row = blocks_per_row;
    a->rows = rows;
    a->row_bytes = size_t{blocks_per_row} * sizeof(JBLOCK);
    a->bytes = std::max<size_t>(a->row_bytes * rows, 1);
    // Fresh anonymous pages read as zeros, which is what libjpeg asks of these arrays.
    void* p = mmap(nullptr, a->bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    a->memory = p;
    a->row_ptrs.resize(rows);
    for (JDIMENSION r = 0; r < rows; ++r)
      a->row_ptrs[r] = reinterpret_cast<JBLOCKROW>(static_cast<char*>(p) + a->row_bytes * r);
    arrays_.push_back(std::move(a));
    return arrays_.back().get();
  }

  static jvirt_barray_ptr on_request(j_common_ptr c, int, boolean, JDIMENSION blocks_per_row,
                                     JDIMENSION rows, JDIMENSION) {
    auto* client = static_cast<Client*>(c->client_data);
    Array* a = client->store->array(client->next++, blocks_per_row, rows);
    if (!a) fail_with(c, JERR_OUT_OF_MEMORY);
    return reinterpret_cast<jvirt_barray_ptr>(a);
  }

  // Input passes write rows; the output pass reads them once, top to bottom (looking back at
  // most the rows of the previous access), so a read gives back what lies above its window.
  static JBLOCKARRAY on_access(j_common_ptr c, jvirt_barray_ptr ptr, JDIMENSION start,
                               JDIMENSION count, boolean writable) {
    auto* a = reinterpret_cast<Array*>(ptr);
    if (start < a->released_rows || start > a->rows || count > a->rows - start)
      fail_with(c, JERR_BAD_VIRTUAL_ACCESS);
    if (!writable) a->release_below(start - std::min(start, count));
    return a->row_ptrs.data() + start;
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Array>> arrays_;
  std::deque<Client> clients_;
};

// ---- two decoders sharing a progressive file's scans ------------------------------------------

// Holds each decoder back at the start of a scan until the other decoder has read the scans it
// refines. libjpeg's progress monitor is called before every step of reading input, so it is
// where a decoder notices that it has reached its next scan.
class ScanSync {
 public:
  explicit ScanSync(const jpeg_scans::Plan& plan) : plan_(plan), done_(plan.decoder.size()) {
    for (size_t s = 0; s < plan.decoder.size(); ++s)
      mine_[static_cast<size_t>(plan.decoder[s])].push_back(s);
  }
  ScanSync(const ScanSync&) = delete;
  ScanSync& operator=(const ScanSync&) = delete;

  void attach(jpeg_decompress_struct& c, int decoder) {
    Monitor& m = monitors_[static_cast<size_t>(decoder)];
    m.pub = {};
    m.pub.progress_monitor = on_progress;
    m.sync = this;
    m.decoder = decoder;
    c.progress = &m.pub;
  }

  // Decoder `d` has read all its input, or failed: then nobody waits any more.
  void finished(int d, bool ok) {
    std::lock_guard lock(mutex_);
    if (!ok) abandoned_ = true;
    for (size_t s : mine_[static_cast<size_t>(d)]) done_[s] = true;
    changed_.notify_all();
  }

 private:
  struct Monitor {
    jpeg_progress_mgr pub;
    ScanSync* sync;
    int decoder;
    int seen = 0;  // the scan number it last saw
  };

  // Decoder `d` is at its `number`-th scan (counting from 1), so its earlier ones are read.
  // Returns once what that scan refines is in; false once reading was abandoned.
  bool reached(int d, int number) {
    const auto& mine = mine_[static_cast<size_t>(d)];
    const size_t current = static_cast<size_t>(number - 1);
    if (current >= mine.size()) return false;
    std::unique_lock lock(mutex_);
    for (size_t k = 0; k < current; ++k) done_[mine[k]] = true;
    changed_.notify_all();
    const auto& waits = plan_.waits[mine[current]];
    changed_.wait(lock, [&] {
      return abandoned_ ||
             std::all_of(waits.begin(), waits.end(), [&](size_t s) { return bool(done_[s]); });
    });
    return !abandoned_;
  }

  static void on_progress(j_common_ptr c) {
    auto* m = reinterpret_cast<Monitor*>(c->progress);
    const int number = reinterpret_cast<j_decompress_ptr>(c)->input_scan_number;
    if (number == m->seen) return;
    m->seen = number;
    if (!m->sync->reached(m->decoder, number)) fail_with(c, JERR_VIRTUAL_BUG);
  }

  const jpeg_scans::Plan& plan_;
  std::array<std::vector<size_t>, 2> mine_;
  std::array<Monitor, 2> monitors_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<char> done_;
  bool abandoned_ = false;
};

// ---- reading --------------------------------------------------------------------------------

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

void step_read_header(void* arg) {
  auto* r = static_cast<Reader*>(arg);
  r->cinfo.err = &r->err.pub;
  jpeg_create_decompress(&r->cinfo);
  r->created = true;
  r->cinfo.src = &r->src.pub;
  jpeg_save_markers(&r->cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&r->cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&r->cinfo, TRUE);
}

void step_calc_output(void* arg) { jpeg_calc_output_dimensions(&static_cast<Reader*>(arg)->cinfo); }

// For a progressive file this is where the whole file is read into coefficients.
void step_start(void* arg) { jpeg_start_decompress(&static_cast<Reader*>(arg)->cinfo); }

void step_read_band(void* arg) {
  auto* r = static_cast<Reader*>(arg);
  j_decompress_ptr c = &r->cinfo;
  const JDIMENSION w = c->output_width;
  const JDIMENSION end = std::min(c->output_scanline + r->want, c->output_height);
  const JDIMENSION first = c->output_scanline;
  while (c->output_scanline < end) {
    if (!r->cmyk_row) {
      // Several rows per call let libjpeg hand over whole row groups.
      jpeg_read_scanlines(c, r->rows + (c->output_scanline - first), end - c->output_scanline);
      continue;
    }
    unsigned char* out = r->rows[c->output_scanline - first];
    unsigned char* in = r->cmyk_row;
    jpeg_read_scanlines(c, &in, 1);
    for (JDIMENSION x = 0; x < w; ++x, in += 4, out += 3) {
      // CMYK JPEGs in the wild are stored inverted (Adobe's convention, 255 = no ink), whatever
      // their markers say; R = (1 - C)(1 - K) with the host library's rounding.
      const int nk = in[3];
      for (int i = 0; i < 3; ++i) {
        int t = (255 - in[i]) * nk + 128;
        out[i] = static_cast<unsigned char>(nk - ((t + (t >> 8)) >> 8));
      }
    }
  }
}

[[noreturn]] void fail(const Reader& r, const std::string& name) {
  throw ImageError(std::string(r.err.message) + " in " + quoted(name), name);
}

void open_reader(Reader& r, const ByteSource& data, std::vector<jpeg_scans::Span> spans,
                 const std::string& name) {
  init_errors(r.err);
  use_spans(r.src, data, std::move(spans));
  if (!guarded(r.err, step_read_header, &r)) fail(r, name);
}

// EXIF (without the "Exif\0\0" prefix) and the ICC profile put together from its APP2 chunks.
void read_metadata(const jpeg_decompress_struct& c, ImageInfo& info) {
  std::vector<std::pair<int, std::string>> icc;
  for (jpeg_saved_marker_ptr m = c.marker_list; m; m = m->next) {
    const char* d = reinterpret_cast<const char*>(m->data);
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(d, "Exif\0\0", 6) == 0 &&
        info.exif.empty()) {
      info.exif.assign(d + 6, m->data_length - 6);
    } else if (m->marker == JPEG_APP0 + 2 && m->data_length >= 14 &&
               std::memcmp(d, "ICC_PROFILE\0", 12) == 0) {
      icc.emplace_back(static_cast<unsigned char>(d[12]), std::string(d + 14, m->data_length - 14));
    }
  }
  std::stable_sort(icc.begin(), icc.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [seq, part] : icc) info.icc += part;
}

Mode mode_of(const jpeg_decompress_struct& c) {
  return c.jpeg_color_space == JCS_GRAYSCALE ? Mode::L : Mode::RGB;
}

}  // namespace

Header jpeg_header(std::string_view data, const std::string& name) {
  Reader r;
  const ByteSource bytes(data);
  open_reader(r, bytes, whole(bytes), name);
  Header h;
  h.mode = mode_of(r.cinfo);
  h.info.format = "JPEG";
  read_metadata(r.cinfo, h.info);
  int orientation = exif_orientation(h.info.exif);
  const bool swap = orientation >= 5;
  h.width = static_cast<int>(swap ? r.cinfo.image_height : r.cinfo.image_width);
  h.height = static_cast<int>(swap ? r.cinfo.image_width : r.cinfo.image_height);
  check_size(h.width, h.height, name);
  if (orientation != 1) h.info.exif = exif_with_orientation_1(std::move(h.info.exif));
  return h;
}

namespace {

// The scale M/8 for a decode whose output must still meet `hint`.
int reduction(const jpeg_decompress_struct& c, int orientation, ReduceHint hint) {
  // The hint is for the upright image; a quarter turn swaps which stored side it bounds.
  int64_t min_w = hint.min_width, min_h = hint.min_height;
  if (orientation >= 5) std::swap(min_w, min_h);
  if (min_w <= 0 && min_h <= 0) return 8;
  // libjpeg-turbo scales by M/8 in the DCT domain: the smallest M whose output still meets
  // the hint (outputs round up). Only 1/8, 2/8 and 4/8 have vector code, and the other
  // scales take twice as long as a full decode of a sequential file; a progressive file's
  // time goes into reading its coefficients, so there every M pays through the smaller output.
  for (int m = 1; m < 8; ++m) {
    if (!c.progressive_mode && m != 1 && m != 2 && m != 4) continue;
    const int64_t w = (int64_t{c.image_width} * m + 7) / 8,
                  h = (int64_t{c.image_height} * m + 7) / 8;
    if (w >= min_w && h >= min_h) return m;
  }
  return 8;
}

void configure(Reader& r, int num, const std::string& name) {
  jpeg_decompress_struct& c = r.cinfo;
  c.scale_num = static_cast<unsigned>(num);
  c.scale_denom = 8;
  switch (c.jpeg_color_space) {
    case JCS_GRAYSCALE:
      c.out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      c.out_color_space = JCS_CMYK;
      break;
    default:
      c.out_color_space = JCS_RGB;
      break;
  }
  if (!guarded(r.err, step_calc_output, &r)) fail(r, name);
  check_size(c.output_width, c.output_height, name);
}

// Below this a progressive file is read in a few milliseconds, and one decoder does it.
constexpr size_t kSharedReadBytes = size_t{512} << 10;

// Set by tests and fuzz targets only, so that small inputs reach the shared reading too.
std::atomic<bool> g_always_share{false};

struct SharedRead {
  jpeg_scans::Layout layout;
  jpeg_scans::Plan plan;
};

// How a progressive file's scans are shared out, when that is possible and a second CPU is
// there to take its part.
std::optional<SharedRead> plan_shared_read(const ByteSource& data) {
  if (!g_always_share.load(std::memory_order_relaxed) &&
      (data.size() < kSharedReadBytes || usable_cpus() < 2))
    return std::nullopt;
  std::optional<jpeg_scans::Layout> layout = jpeg_scans::parse(data);
  if (!layout) return std::nullopt;
  jpeg_scans::Plan plan = jpeg_scans::plan(*layout);
  if (std::find(plan.decoder.begin(), plan.decoder.end(), 1) == plan.decoder.end())
    return std::nullopt;
  return SharedRead{std::move(*layout), std::move(plan)};
}

// Reads every scan into `store`: `a`, which goes on to the output, on this thread, and a second
// decoder on another. False when anything went wrong or looked damaged; `a` is then spent.
bool read_shared(Reader& a, CoefStore& store, const SharedRead& shared, const ByteSource& data) {
  Reader b;
  init_errors(b.err);
  use_spans(b.src, data, jpeg_scans::stream(shared.layout, shared.plan, 1));
  if (!guarded(b.err, step_read_header, &b)) return false;
  b.cinfo.scale_num = 1;  // it makes no output; the smallest scale keeps its buffers small
  b.cinfo.scale_denom = 8;
  ScanSync sync(shared.plan);
  store.attach(a.cinfo);
  store.attach(b.cinfo);
  sync.attach(a.cinfo, 0);
  sync.attach(b.cinfo, 1);
  // `a` would smooth blocks whose coefficients it read no scans for; the whole file needs none.
  a.cinfo.do_block_smoothing = FALSE;
  bool b_ok = false;
  std::thread other;
  try {
    other = std::thread([&] {
      b_ok = guarded(b.err, step_start, &b);
      sync.finished(1, b_ok);
    });
  } catch (const std::system_error&) {
    return false;
  }
  const bool a_ok = guarded(a.err, step_start, &a);
  sync.finished(0, a_ok);
  other.join();
  a.cinfo.progress = nullptr;  // `sync` goes now
  return a_ok && b_ok && !a.err.damaged && !b.err.damaged;
}

}  // namespace

// Refuses a file whose scan data is too little for its picture (see too_little_to_decode) even
// at the least a Huffman-coded scan spends on an 8x8 block, one bit: every block of every
// component is coded at least once, so a whole file, however flat, holds that much. Arithmetic
// coding has no such least cost, and is left to decode as far as it goes.
void check_data_covers(const Reader& r, const ByteSource& data, const std::string& name) {
  const jpeg_decompress_struct& c = r.cinfo;
  if (c.arith_code) return;
  uint64_t blocks = 0;
  for (int i = 0; i < c.num_components; ++i)
    blocks += uint64_t{c.comp_info[i].width_in_blocks} * c.comp_info[i].height_in_blocks;
  // Everything after the scan header libjpeg stopped at: scan data, and anything after it.
  const uint64_t scan_bytes = data.size() - (r.src.next_byte - r.src.pub.bytes_in_buffer);
  const uint64_t canvas = uint64_t{c.image_width} * c.image_height * c.num_components;
  if (!too_little_to_decode(canvas, scan_bytes * 8, blocks)) return;
  throw ImageError("JPEG data of " + std::to_string(scan_bytes) + " bytes cannot cover " +
                       std::to_string(c.image_width) + "x" + std::to_string(c.image_height) +
                       " pixels; too little of the image to decode in " + quoted(name),
                   name);
}

void jpeg_always_share_progressive(bool on) { g_always_share.store(on); }

bool jpeg_stream(const ByteSource& data, const std::string& name, ReduceHint hint, RowSink& sink) {
  const std::optional<SharedRead> shared = plan_shared_read(data);
  auto store = std::make_unique<CoefStore>();
  auto r = std::make_unique<Reader>();
  open_reader(*r, data, shared ? jpeg_scans::stream(shared->layout, shared->plan, 0) : whole(data),
              name);
  check_size(r->cinfo.image_width, r->cinfo.image_height, name);
  if (!shared) check_data_covers(*r, data, name);
  ImageInfo info;
  read_metadata(r->cinfo, info);
  const int orientation = exif_orientation(info.exif);
  const Mode mode = mode_of(r->cinfo);
  const int num = reduction(r->cinfo, orientation, hint);
  configure(*r, num, name);
  const int width = static_cast<int>(r->cinfo.output_width),
            height = static_cast<int>(r->cinfo.output_height);
  if (!sink.start(mode, width, height, orientation)) return false;

  // Input: for a progressive file, the whole file goes into coefficients here.
  if (!shared || !read_shared(*r, *store, *shared, data)) {
    if (shared) {
      // Start again with one decoder reading the file as it is: it reports the damage or the
      // error as libjpeg would.
      r = std::make_unique<Reader>();
      store = std::make_unique<CoefStore>();
      open_reader(*r, data, whole(data), name);
      configure(*r, num, name);
    }
    if (r->cinfo.progressive_mode) store->attach(r->cinfo);
    if (!guarded(r->err, step_start, r.get())) fail(*r, name);
  }

  // Output.
  jpeg_decompress_struct& c = r->cinfo;
  std::vector<unsigned char> cmyk;
  if (c.out_color_space == JCS_CMYK) {
    cmyk.resize(size_t{c.output_width} * 4);
    r->cmyk_row = cmyk.data();
  }
  std::vector<unsigned char*> rows;
  while (c.output_scanline < c.output_height) {
    const int y = static_cast<int>(c.output_scanline);
    int room = height - y;
    size_t stride = 0;
    uint8_t* band = sink.band(y, room, stride);
    room = std::clamp(room, 1, height - y);
    rows.resize(static_cast<size_t>(room));
    for (int i = 0; i < room; ++i)
      rows[static_cast<size_t>(i)] = band + stride * static_cast<size_t>(i);
    r->rows = rows.data();
    r->want = static_cast<JDIMENSION>(room);
    if (!guarded(r->err, step_read_band, r.get())) fail(*r, name);
    sink.commit(static_cast<int>(c.output_scanline) - y);
  }
  return true;
}

Image jpeg_decode(std::string_view data, const std::string& name, ReduceHint hint) {
  return decode_streamed(*find("JPEG"), ByteSource(data), name, hint);
}

// ---- writing --------------------------------------------------------------------------------

namespace {

struct Writer {
  jpeg_compress_struct cinfo;
  ErrorMgr err;
  bool created = false;
  unsigned char* buffer = nullptr;  // grown by libjpeg's memory destination with malloc
  unsigned long size = 0;
  const Image* im = nullptr;
  int quality = 75;
  bool optimize = false;
  const std::string* exif = nullptr;
  const std::string* icc = nullptr;
  ~Writer() {
    if (created) jpeg_destroy_compress(&cinfo);
    std::free(buffer);
  }
};

void step_write(void* arg) {
  auto* w = static_cast<Writer*>(arg);
  j_compress_ptr c = &w->cinfo;
  c->err = &w->err.pub;
  jpeg_create_compress(c);
  w->created = true;
  jpeg_mem_dest(c, &w->buffer, &w->size);
  const Image& im = *w->im;
  c->image_width = static_cast<JDIMENSION>(im.width());
  c->image_height = static_cast<JDIMENSION>(im.height());
  c->input_components = im.bands();
  c->in_color_space = im.bands() == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(c);
  jpeg_set_quality(c, w->quality, TRUE);
  c->optimize_coding = w->optimize ? TRUE : FALSE;
  jpeg_start_compress(c, TRUE);
  if (w->exif) {
    // One APP1 segment holds at most 65533 bytes of payload, prefix included.
    unsigned len = static_cast<unsigned>(w->exif->size() + 6);
    if (len <= 65533) {
      jpeg_write_m_header(c, JPEG_APP0 + 1, len);
      for (char ch : std::string_view("Exif\0\0", 6)) jpeg_write_m_byte(c, ch);
      for (unsigned char ch : *w->exif) jpeg_write_m_byte(c, ch);
    }
  }
  if (w->icc)
    jpeg_write_icc_profile(c, reinterpret_cast<const JOCTET*>(w->icc->data()),
                           static_cast<unsigned>(w->icc->size()));
  while (c->next_scanline < c->image_height) {
    // libjpeg takes non-const rows but only reads them.
    auto* row = const_cast<unsigned char*>(im.row(static_cast<int>(c->next_scanline)));
    jpeg_write_scanlines(c, &row, 1);
  }
  jpeg_finish_compress(c);
}

}  // namespace

std::string jpeg_encode(const Image& im, const EncodeOptions& opts) {
  if (im.mode() != Mode::L && im.mode() != Mode::RGB)
    throw ImageError(std::string("cannot write mode ") + mode_name(im.mode()) + " as JPEG");
  im.pixels();  // decode before libjpeg's frame; decoding may throw
  Writer w;
  init_errors(w.err);
  w.im = &im;
  w.quality = std::clamp(opts.quality.value_or(75), 1, 100);
  w.optimize = opts.optimize;
  if (opts.keep_exif && !im.info.exif.empty()) w.exif = &im.info.exif;
  if (opts.keep_icc && !im.info.icc.empty()) w.icc = &im.info.icc;
  if (!guarded(w.err, step_write, &w))
    throw ImageError(std::string("cannot write JPEG: ") + w.err.message);
  return std::string(reinterpret_cast<const char*>(w.buffer), w.size);
}

}  // namespace img_util::imaging::codec
