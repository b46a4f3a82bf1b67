// JPEG through libjpeg-turbo's libjpeg API.
//
// libjpeg reports fatal errors through error_exit, which must not return; we longjmp out of it.
// Every libjpeg call that can fail runs inside `guarded`, whose frame (and the frames of the
// small step functions it calls) hold no object with a destructor, so the jump skips nothing
// that needs unwinding. After the jump we throw ImageError with libjpeg's own message.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {
namespace {

struct ErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

extern "C" void on_error_exit(j_common_ptr c) {
  auto* err = reinterpret_cast<ErrorMgr*>(c->err);
  (*c->err->format_message)(c, err->message);
  std::longjmp(err->jump, 1);
}

// Warnings (corrupt or premature end of data) are tolerated, as a viewer would: no output.
extern "C" void on_output_message(j_common_ptr) {}

void init_errors(ErrorMgr& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = on_error_exit;
  err.pub.output_message = on_output_message;
  err.message[0] = '\0';
}

// Runs `step(arg)` where libjpeg may longjmp; false when it did.
bool guarded(ErrorMgr& err, void (*step)(void*), void* arg) {
  if (setjmp(err.jump)) return false;
  step(arg);
  return true;
}

// ---- reading --------------------------------------------------------------------------------

struct Reader {
  jpeg_decompress_struct cinfo;
  ErrorMgr err;
  bool created = false;
  const unsigned char* data = nullptr;
  unsigned long size = 0;
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
  jpeg_mem_src(&r->cinfo, r->data, r->size);
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

void open_reader(Reader& r, std::string_view data, const std::string& name) {
  init_errors(r.err);
  r.data = reinterpret_cast<const unsigned char*>(data.data());
  r.size = static_cast<unsigned long>(data.size());
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

// The whole image as one band: the decoder writes straight into it.
class ImageSink : public RowSink {
 public:
  bool start(Mode mode, int width, int height, int orientation) override {
    image_.emplace(mode, width, height);
    orientation_ = orientation;
    return true;
  }
  uint8_t* band(int y, int& rows, size_t& stride) override {
    (void)rows;
    stride = image_->stride();
    return image_->row(y);
  }
  void commit(int) override {}

  Image upright() && {
    if (orientation_ != 1) return apply_orientation(*image_, orientation_);
    return std::move(*image_);
  }

 private:
  std::optional<Image> image_;
  int orientation_ = 1;
};

}  // namespace

Header jpeg_header(std::string_view data, const std::string& name) {
  Reader r;
  open_reader(r, data, name);
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

bool jpeg_stream(std::string_view data, const std::string& name, ReduceHint hint, RowSink& sink) {
  Reader r;
  open_reader(r, data, name);
  jpeg_decompress_struct& c = r.cinfo;
  check_size(c.image_width, c.image_height, name);
  ImageInfo info;
  read_metadata(c, info);
  const int orientation = exif_orientation(info.exif);
  const Mode mode = mode_of(c);

  // The hint is for the upright image; a quarter turn swaps which stored side it bounds.
  int64_t min_w = hint.min_width, min_h = hint.min_height;
  if (orientation >= 5) std::swap(min_w, min_h);
  // libjpeg-turbo scales by M/8 in the DCT domain: the smallest M whose output still meets
  // the hint (outputs round up). Only 1/8, 2/8 and 4/8 have vector code, and the other
  // scales take twice as long as a full decode of a sequential file; a progressive file's
  // time goes into reading its coefficients, so there every M pays through the smaller output.
  int num = 8;
  if (min_w > 0 || min_h > 0) {
    for (int m = 1; m < 8; ++m) {
      if (!c.progressive_mode && m != 1 && m != 2 && m != 4) continue;
      const int64_t w = (int64_t{c.image_width} * m + 7) / 8,
                    h = (int64_t{c.image_height} * m + 7) / 8;
      if (w >= min_w && h >= min_h) {
        num = m;
        break;
      }
    }
  }
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
  const int width = static_cast<int>(c.output_width), height = static_cast<int>(c.output_height);
  if (!sink.start(mode, width, height, orientation)) return false;

  std::vector<unsigned char> cmyk;
  if (c.out_color_space == JCS_CMYK) {
    cmyk.resize(size_t{c.output_width} * 4);
    r.cmyk_row = cmyk.data();
  }
  if (!guarded(r.err, step_start, &r)) fail(r, name);
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
  return true;
}

Image jpeg_decode(std::string_view data, const std::string& name, ReduceHint hint) {
  ImageSink sink;
  jpeg_stream(data, name, hint, sink);
  return std::move(sink).upright();
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
  if (opts.keep_metadata && !im.info.exif.empty()) w.exif = &im.info.exif;
  if (opts.keep_metadata && !im.info.icc.empty()) w.icc = &im.info.icc;
  if (!guarded(w.err, step_write, &w))
    throw ImageError(std::string("cannot write JPEG: ") + w.err.message);
  return std::string(reinterpret_cast<const char*>(w.buffer), w.size);
}

}  // namespace img_util::imaging::codec
