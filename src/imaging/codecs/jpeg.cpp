// JPEG through libjpeg-turbo's libjpeg API: errors, header, the streaming decode and the encode.
// How libjpeg's longjmp is kept contained is told in jpeg_reader.hpp; a progressive file's
// coefficients and the ways its scans are read are in jpeg_shared.cpp. After a jump we throw
// ImageError with libjpeg's own message.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imaging/codecs/jpeg_reader.hpp"

namespace img_util::imaging::codec {
namespace jpeg_detail {

// ---- errors ---------------------------------------------------------------------------------

namespace {

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

}  // namespace

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

bool guarded(ErrorMgr& err, void (*step)(void*), void* arg) {
  if (setjmp(err.jump)) return false;
  step(arg);
  return true;
}

// ---- input: the file, or a progressive file's scans for one decoder --------------------------

namespace {

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

}  // namespace

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

// ---- the steps of a read ----------------------------------------------------------------------

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

void step_start(void* arg) { jpeg_start_decompress(&static_cast<Reader*>(arg)->cinfo); }

}  // namespace jpeg_detail

// ---- reading --------------------------------------------------------------------------------

using namespace jpeg_detail;

namespace {

// All of `data`.
std::vector<jpeg_scans::Span> whole(const ByteSource& data) { return {{0, data.size()}}; }

void step_calc_output(void* arg) { jpeg_calc_output_dimensions(&static_cast<Reader*>(arg)->cinfo); }

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
    case JCS_GRAYSCALE: c.out_color_space = JCS_GRAYSCALE; break;
    case JCS_CMYK:
    case JCS_YCCK: c.out_color_space = JCS_CMYK; break;
    default: c.out_color_space = JCS_RGB; break;
  }
  if (!guarded(r.err, step_calc_output, &r)) fail(r, name);
  check_size(c.output_width, c.output_height, name);
}

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

// What the decoder that goes on to the output reads of `data`.
std::vector<jpeg_scans::Span> first_stream(const ProgressiveRead& reading, const ByteSource& data) {
  if (reading.own) return own_read_stream(reading.own->layout);
  if (reading.shared) return jpeg_scans::stream(reading.shared->layout, reading.shared->plan, 0);
  return whole(data);
}

// Reads the input: for a progressive file, the whole file goes into coefficients here. Where
// the reading two decoders share or our own reader gives up, libjpeg starts again on the file
// as it is: it reports the damage or the error as it would have.
void read_input(std::unique_ptr<Reader>& r, std::unique_ptr<CoefStore>& store,
                const ProgressiveRead& reading, const ByteSource& data, int num,
                const std::string& name) {
  if (reading.shared || reading.own) {
    if (reading.own ? read_own(*r, *store, *reading.own, data)
                    : read_shared(*r, *store, *reading.shared, data))
      return;
    r = std::make_unique<Reader>();
    store = std::make_unique<CoefStore>();
    open_reader(*r, data, whole(data), name);
    configure(*r, num, name);
  }
  if (r->cinfo.progressive_mode) store->attach(r->cinfo);
  if (!guarded(r->err, step_start, r.get())) fail(*r, name);
}

// Hands the decoded rows to `sink`, in the bands it has room for.
void send_rows(Reader& r, RowSink& sink, const std::string& name) {
  jpeg_decompress_struct& c = r.cinfo;
  std::vector<unsigned char> cmyk;
  if (c.out_color_space == JCS_CMYK) {
    cmyk.resize(size_t{c.output_width} * 4);
    r.cmyk_row = cmyk.data();
  }
  const int height = static_cast<int>(c.output_height);
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
    r.rows = rows.data();
    r.want = static_cast<JDIMENSION>(room);
    if (!guarded(r.err, step_read_band, &r)) fail(r, name);
    sink.commit(static_cast<int>(c.output_scanline) - y);
  }
}

}  // namespace

bool jpeg_stream(const ByteSource& data, const std::string& name, ReduceHint hint, RowSink& sink) {
  const ProgressiveRead reading = plan_progressive_read(data);
  auto store = std::make_unique<CoefStore>();
  auto r = std::make_unique<Reader>();
  open_reader(*r, data, first_stream(reading, data), name);
  check_size(r->cinfo.image_width, r->cinfo.image_height, name);
  // Our own reader's stream is the file up to its second scan: libjpeg stops in the first.
  if (!reading.shared) check_data_covers(*r, data, name);
  ImageInfo info;
  read_metadata(r->cinfo, info);
  const int orientation = exif_orientation(info.exif);
  const Mode mode = mode_of(r->cinfo);
  const int num = reduction(r->cinfo, orientation, hint);
  configure(*r, num, name);
  const int width = static_cast<int>(r->cinfo.output_width),
            height = static_cast<int>(r->cinfo.output_height);
  if (!sink.start(mode, width, height, orientation)) return false;
  read_input(r, store, reading, data, num, name);
  send_rows(*r, sink, name);
  return true;
}

Image jpeg_decode(std::string_view data, const std::string& name, ReduceHint hint) {
  return decode_streamed(*find("JPEG"), ByteSource(data), name, hint);
}

// ---- writing --------------------------------------------------------------------------------

namespace jpeg_detail {

JpegFrame frame_of(const Image& im, const EncodeOptions& opts) {
  JpegFrame f;
  f.width = im.width();
  f.height = im.height();
  f.bands = im.bands();
  f.quality = std::clamp(opts.quality.value_or(75), 1, 100);
  f.optimize = opts.optimize;
  // One APP1 segment holds at most 65533 bytes of payload, prefix included: a larger block is
  // left out.
  if (opts.keep_exif && !im.info.exif.empty() && im.info.exif.size() + 6 <= 65533)
    f.exif = &im.info.exif;
  if (opts.keep_icc && !im.info.icc.empty()) f.icc = &im.info.icc;
  return f;
}

namespace {

struct Writer {
  jpeg_compress_struct cinfo;
  ErrorMgr err;
  bool created = false;
  unsigned char* buffer = nullptr;  // grown by libjpeg's memory destination with malloc
  unsigned long size = 0;
  const JpegFrame* frame = nullptr;
  const Image* im = nullptr;              // the pixels, or
  const CoefficientFeed* feed = nullptr;  // the quantised coefficients
  ~Writer() {
    if (created) jpeg_destroy_compress(&cinfo);
    std::free(buffer);
  }
};

void write_metadata(j_compress_ptr c, const JpegFrame& f) {
  if (f.exif) {
    jpeg_write_m_header(c, JPEG_APP0 + 1, static_cast<unsigned>(f.exif->size() + 6));
    for (char ch : std::string_view("Exif\0\0", 6)) jpeg_write_m_byte(c, ch);
    for (unsigned char ch : *f.exif) jpeg_write_m_byte(c, ch);
  }
  if (f.icc)
    jpeg_write_icc_profile(c, reinterpret_cast<const JOCTET*>(f.icc->data()),
                           static_cast<unsigned>(f.icc->size()));
}

// jpeg_set_defaults made `to`.
void use_table(const JHUFF_TBL* from, JHUFF_TBL* to) {
  if (!from) return;
  std::copy(std::begin(from->bits), std::end(from->bits), std::begin(to->bits));
  std::copy(std::begin(from->huffval), std::end(from->huffval), std::begin(to->huffval));
}

// Both ways of writing set the encoder up alike, so that the coefficients it would compute from
// the pixels, the tables and the markers are the same: only where the coefficients come from
// differs.
void step_write(void* arg) {
  auto* w = static_cast<Writer*>(arg);
  j_compress_ptr c = &w->cinfo;
  c->err = &w->err.pub;
  jpeg_create_compress(c);
  w->created = true;
  jpeg_mem_dest(c, &w->buffer, &w->size);
  const JpegFrame& f = *w->frame;
  c->image_width = static_cast<JDIMENSION>(f.width);
  c->image_height = static_cast<JDIMENSION>(f.height);
  c->input_components = f.bands;
  c->in_color_space = f.bands == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(c);
  jpeg_set_quality(c, f.quality, TRUE);
  c->optimize_coding = f.optimize ? TRUE : FALSE;
  if (w->feed) {
    for (int t = 0; t < 2; ++t) {
      use_table(w->feed->dc_tables[t], c->dc_huff_tbl_ptrs[t]);
      use_table(w->feed->ac_tables[t], c->ac_huff_tbl_ptrs[t]);
    }
    c->client_data = w->feed->client_data;
    c->mem->access_virt_barray = w->feed->access;
    jpeg_write_coefficients(c, w->feed->arrays);
    write_metadata(c, f);
  } else {
    jpeg_start_compress(c, TRUE);
    write_metadata(c, f);
    while (c->next_scanline < c->image_height) {
      // libjpeg takes non-const rows but only reads them.
      auto* row = const_cast<unsigned char*>(w->im->row(static_cast<int>(c->next_scanline)));
      jpeg_write_scanlines(c, &row, 1);
    }
  }
  jpeg_finish_compress(c);
}

std::string write(Writer& w) {
  init_errors(w.err);
  if (!guarded(w.err, step_write, &w))
    throw ImageError(std::string("cannot write JPEG: ") + w.err.message);
  return std::string(reinterpret_cast<const char*>(w.buffer), w.size);
}

}  // namespace

std::string write_coefficients(const JpegFrame& frame, const CoefficientFeed& feed) {
  Writer w;
  w.frame = &frame;
  w.feed = &feed;
  return write(w);
}

}  // namespace jpeg_detail

std::string jpeg_encode(const Image& im, const EncodeOptions& opts) {
  if (im.mode() != Mode::L && im.mode() != Mode::RGB)
    throw ImageError(std::string("cannot write mode ") + mode_name(im.mode()) + " as JPEG");
  im.pixels();  // decode before libjpeg's frame; decoding may throw
  const JpegFrame frame = frame_of(im, opts);
  jpeg_detail::Writer w;
  w.frame = &frame;
  w.im = &im;
  return jpeg_detail::write(w);
}

}  // namespace img_util::imaging::codec
