// PNG through libpng.
//
// libpng reports errors by longjmp to the jmp_buf set in `guarded`; the step functions run under
// it hold no objects with destructors, and the state they touch lives in the caller's frame.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {
namespace {

constexpr char kTruncated[] = "image file is truncated";

struct PngRead {
  png_structp png = nullptr;
  png_infop info = nullptr;
  const unsigned char* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  bool ended = false;  // the data ran out; what follows was made up as zeros
  char message[256] = {};
  // Decoding: the row pointers and the passes the interlace handling needs.
  unsigned char** rows = nullptr;
  int passes = 1;
  png_uint_32 height = 0;
  int pass_at = 0;  // where reading was when an error came
  png_uint_32 row_at = 0;
  ~PngRead() { png_destroy_read_struct(&png, &info, nullptr); }
};

extern "C" void on_error(png_structp png, png_const_charp msg) {
  auto* state = static_cast<char*>(png_get_error_ptr(png));
  std::snprintf(state, 256, "%s", msg);
  png_longjmp(png, 1);
}

extern "C" void on_warning(png_structp, png_const_charp) {}

png_uint_32 be32(const unsigned char* p) {
  return png_uint_32{p[0]} << 24 | png_uint_32{p[1]} << 16 | png_uint_32{p[2]} << 8 | p[3];
}

constexpr png_uint_32 kIDAT = 0x49444154, kIHDR = 0x49484452;

// Whether a chunk of this type is held to the length of the file at its header: any but the
// image header and image data, if it is a chunk type at all (four letters).
bool chunk_type_to_check(const unsigned char* type) {
  for (int i = 0; i < 4; ++i)
    if (!std::isalpha(type[i])) return false;
  return be32(type) != kIDAT && be32(type) != kIHDR;
}

extern "C" void read_from_memory(png_structp png, png_bytep out, size_t n) {
  auto* r = static_cast<PngRead*>(png_get_io_ptr(png));
  if (r->ended) png_error(png, kTruncated);
  size_t have = std::min(n, r->size - r->pos);
  std::memcpy(out, r->data + r->pos, have);
  r->pos += have;
  const png_uint_32 io = png_get_io_state(png);
  // libpng reads a whole chunk into memory before it looks at it, at the size its header
  // claims. A chunk that claims more than the file still holds cannot be whole, and nothing
  // after it can be read: the file ends here, before anything is allocated for it. Image data
  // is read in pieces and decodes as far as it goes; the image header's length and a type
  // that is no chunk type are libpng's to judge.
  if ((io & PNG_IO_CHUNK_HDR) && have == 8 && chunk_type_to_check(out + 4) &&
      uint64_t{be32(out)} + 4 > r->size - r->pos) {
    const char type[5] = {char(out[4]), char(out[5]), char(out[6]), char(out[7]), '\0'};
    char what[96];
    std::snprintf(what, sizeof what, "%s chunk of %u bytes runs past the end of the file", type,
                  static_cast<unsigned>(be32(out)));
    r->ended = true;  // while reading rows: the rows so far stay
    png_error(png, what);
  }
  if (have < n) {
    // libpng asks for image data in pieces of a few KB; when the file ends inside one, hand
    // over what there is and zeros after it, so the rows that the real bytes complete still
    // arrive. The zeros then fail as data and `ended` tells that failure from real damage.
    const bool image_data = (io & PNG_IO_CHUNK_DATA) && png_get_io_chunk_type(png) == kIDAT;
    if (have == 0 || !image_data || png_get_image_width(png, r->info) == 0)
      png_error(png, kTruncated);
    std::memset(out + have, 0, n - have);
    r->ended = true;
  }
}

// Ancillary chunks that nothing here reads: libpng passes over them in small pieces instead of
// reading (and, for the text chunks, inflating) them into memory. Chunks it does not know are
// passed over likewise. The colour-space chunks (gAMA, cHRM, sRGB) stay: libpng weighs the ICC
// profile against them, and they have fixed small sizes.
constexpr png_byte kUnusedChunks[] =
    "bKGD\0hIST\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0"
    "tEXt\0tIME\0zTXt";
constexpr int kUnusedChunkCount = sizeof kUnusedChunks / 5;

template <class State>
bool guarded(State& s, void (*step)(State*)) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  step(&s);
  return true;
}

void step_read_info(PngRead* r) {
  png_set_read_fn(r->png, r, read_from_memory);
  // Sizes beyond this are refused by our pixel limit anyway; this only keeps libpng from
  // allocating for absurd headers first.
  png_set_user_limits(r->png, 1u << 20, 1u << 20);
  png_set_chunk_malloc_max(r->png, 64u << 20);
  png_set_keep_unknown_chunks(r->png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  png_set_keep_unknown_chunks(r->png, PNG_HANDLE_CHUNK_NEVER, kUnusedChunks, kUnusedChunkCount);
  png_set_crc_action(r->png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
  png_set_benign_errors(r->png, 1);
#ifdef PNG_SKIP_sRGB_CHECK_PROFILE
  png_set_option(r->png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
#endif
  // A wrong checksum after data that inflated whole loses nothing: the rows are there.
  png_set_option(r->png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  png_read_info(r->png, r->info);
}

void step_prepare(PngRead* r) {
  png_structp png = r->png;
  int color = png_get_color_type(png, r->info);
  int depth = png_get_bit_depth(png, r->info);
  bool trns = png_get_valid(png, r->info, PNG_INFO_tRNS);
  if (depth == 16) png_set_strip_16(png);
  if (color == PNG_COLOR_TYPE_PALETTE) {
    if (depth < 8) png_set_packing(png);
  } else if (depth < 8 || trns) {
    png_set_expand(png);  // low-depth grey to 8 bits, tRNS to an alpha band
  }
  r->passes = png_set_interlace_handling(png);
  png_read_update_info(png, r->info);
}

void step_read_rows(PngRead* r) {
  for (int pass = 0; pass < r->passes; ++pass)
    for (png_uint_32 y = 0; y < r->height; ++y) {
      r->pass_at = pass, r->row_at = y;
      png_read_row(r->png, r->rows[y], nullptr);
    }
}

void open_png(PngRead& r, std::string_view data, const std::string& name) {
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, r.message, on_error, on_warning);
  if (r.png) r.info = png_create_info_struct(r.png);
  if (!r.png || !r.info) throw ImageError("out of memory reading " + quoted(name), name);
  r.data = reinterpret_cast<const unsigned char*>(data.data());
  r.size = data.size();
  if (!guarded(r, step_read_info))
    throw ImageError(std::string("cannot read PNG header (") + r.message + ") in " + quoted(name),
                     name);
}

Header read_header(PngRead& r, const std::string& name) {
  Header h;
  h.info.format = "PNG";
  png_uint_32 w = png_get_image_width(r.png, r.info), ht = png_get_image_height(r.png, r.info);
  check_size(w, ht, name);
  h.width = static_cast<int>(w);
  h.height = static_cast<int>(ht);
  int color = png_get_color_type(r.png, r.info);
  bool trns = png_get_valid(r.png, r.info, PNG_INFO_tRNS);
  switch (color) {
    case PNG_COLOR_TYPE_GRAY: h.mode = trns ? Mode::LA : Mode::L; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: h.mode = Mode::LA; break;
    case PNG_COLOR_TYPE_RGB: h.mode = trns ? Mode::RGBA : Mode::RGB; break;
    case PNG_COLOR_TYPE_RGB_ALPHA: h.mode = Mode::RGBA; break;
    case PNG_COLOR_TYPE_PALETTE: h.mode = Mode::P; break;
    default: throw ImageError("unsupported PNG colour type in " + quoted(name), name);
  }
  if (color == PNG_COLOR_TYPE_PALETTE) {
    png_colorp pal = nullptr;
    int n = 0;
    if (png_get_PLTE(r.png, r.info, &pal, &n) && n > 0) {
      h.palette.resize(static_cast<size_t>(std::min(n, 256)));
      for (size_t i = 0; i < h.palette.size(); ++i)
        h.palette[i] = {pal[i].red, pal[i].green, pal[i].blue, 255};
    }
    png_bytep alpha = nullptr;
    int na = 0;
    png_color_16p tc = nullptr;
    if (trns && png_get_tRNS(r.png, r.info, &alpha, &na, &tc) && alpha) {
      for (int i = 0; i < na && i < static_cast<int>(h.palette.size()); ++i) {
        h.palette[i][3] = alpha[i];
        if (alpha[i] == 0 && !h.info.transparency) h.info.transparency = i;
      }
    }
  }
  png_charp icc_name = nullptr;
  int comp = 0;
  png_bytep icc = nullptr;
  png_uint_32 icc_len = 0;
  if (png_get_iCCP(r.png, r.info, &icc_name, &comp, &icc, &icc_len) && icc)
    h.info.icc.assign(reinterpret_cast<const char*>(icc), icc_len);
  png_bytep exif = nullptr;
  png_uint_32 exif_len = 0;
  if (png_get_eXIf_1(r.png, r.info, &exif_len, &exif) && exif)
    h.info.exif.assign(reinterpret_cast<const char*>(exif), exif_len);
  return h;
}

}  // namespace

Header png_header(std::string_view data, const std::string& name) {
  PngRead r;
  open_png(r, data, name);
  return read_header(r, name);
}

Image png_decode(std::string_view data, const std::string& name, ReduceHint) {
  PngRead r;
  open_png(r, data, name);
  Header h = read_header(r, name);
  if (!guarded(r, step_prepare))
    throw ImageError(std::string("cannot decode PNG (") + r.message + ") in " + quoted(name), name);
  Image out(h.mode, h.width, h.height);
  if (png_get_rowbytes(r.png, r.info) != out.stride())
    throw ImageError("unsupported PNG layout in " + quoted(name), name);
  std::vector<unsigned char*> rows(static_cast<size_t>(h.height));
  for (int y = 0; y < h.height; ++y) rows[y] = out.row(y);
  r.rows = rows.data();
  r.height = static_cast<png_uint_32>(h.height);
  if (!guarded(r, step_read_rows)) {
    // Data that ends early or turns bad (a wrong filter byte, a broken stream) keeps the rows
    // decoded before it and the rest zero, as Pillow reads it with its truncated-image switch
    // on. Nothing decoded at all is an error.
    const bool ended = r.ended || std::strcmp(r.message, kTruncated) == 0 ||
                       std::strstr(r.message, "Not enough image data") != nullptr;
    if (!ended && r.pass_at == 0 && r.row_at == 0)
      throw ImageError(std::string("broken PNG data stream (") + r.message + ") in " + quoted(name),
                       name);
    if (!ended && r.passes == 1)
      for (int y = static_cast<int>(r.row_at); y < h.height; ++y)
        std::memset(out.row(y), 0, out.stride());
  }
  out.palette = std::move(h.palette);
  out.info = std::move(h.info);
  return out;
}

// ---- writing --------------------------------------------------------------------------------

namespace {

struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[256] = {};
  std::string out;
  const Image* im = nullptr;
  int color = 0;
  int depth = 8;
  int level = 6;
  std::vector<png_color> plte;
  std::vector<png_byte> trns;
  const std::string* icc = nullptr;
  const std::string* exif = nullptr;
  ~PngWrite() { png_destroy_write_struct(&png, &info); }
};

extern "C" void write_to_memory(png_structp png, png_bytep data, size_t n) {
  auto* w = static_cast<PngWrite*>(png_get_io_ptr(png));
  bool ok = true;
  try {
    w->out.append(reinterpret_cast<const char*>(data), n);
  } catch (...) {
    ok = false;
  }
  if (!ok) png_error(png, "out of memory");
}

extern "C" void flush_memory(png_structp) {}

void step_write(PngWrite* w) {
  png_structp png = w->png;
  const Image& im = *w->im;
  png_set_write_fn(png, w, write_to_memory, flush_memory);
  png_set_benign_errors(png, 1);
  png_set_compression_level(png, w->level);
  png_set_IHDR(png, w->info, static_cast<png_uint_32>(im.width()),
               static_cast<png_uint_32>(im.height()), w->depth, w->color, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!w->plte.empty())
    png_set_PLTE(png, w->info, w->plte.data(), static_cast<int>(w->plte.size()));
  if (!w->trns.empty())
    png_set_tRNS(png, w->info, w->trns.data(), static_cast<int>(w->trns.size()), nullptr);
  if (w->icc)
    png_set_iCCP(png, w->info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE,
                 reinterpret_cast<png_const_bytep>(w->icc->data()),
                 static_cast<png_uint_32>(w->icc->size()));
  if (w->exif)
    png_set_eXIf_1(png, w->info, static_cast<png_uint_32>(w->exif->size()),
                   reinterpret_cast<png_bytep>(const_cast<char*>(w->exif->data())));
  png_write_info(png, w->info);
  if (w->depth < 8) png_set_packing(png);
  for (int y = 0; y < im.height(); ++y) png_write_row(png, im.row(y));
  png_write_end(png, nullptr);
}

}  // namespace

std::string png_encode(const Image& im, const EncodeOptions& opts) {
  im.pixels();  // decode before libpng's frame; decoding may throw
  PngWrite w;
  w.im = &im;
  w.level = opts.optimize ? 9 : 6;
  switch (im.mode()) {
    case Mode::L: w.color = PNG_COLOR_TYPE_GRAY; break;
    case Mode::LA: w.color = PNG_COLOR_TYPE_GRAY_ALPHA; break;
    case Mode::RGB: w.color = PNG_COLOR_TYPE_RGB; break;
    case Mode::RGBA: w.color = PNG_COLOR_TYPE_RGB_ALPHA; break;
    case Mode::P: w.color = PNG_COLOR_TYPE_PALETTE; break;
  }
  if (im.mode() == Mode::P) {
    std::vector<Rgba> pal = im.palette;
    if (pal.empty())
      for (int i = 0; i < 256; ++i) pal.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 255});
    if (pal.size() > 256) pal.resize(256);
    if (im.info.transparency && *im.info.transparency >= 0 &&
        *im.info.transparency < static_cast<int>(pal.size()))
      pal[*im.info.transparency][3] = 0;
    // Small palettes pack several pixels into a byte.
    const size_t n = pal.size();
    w.depth = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
    for (const Rgba& c : pal) w.plte.push_back({c[0], c[1], c[2]});
    size_t last = n;
    while (last > 0 && pal[last - 1][3] == 255) --last;
    for (size_t i = 0; i < last; ++i) w.trns.push_back(pal[i][3]);
  }
  if (opts.keep_icc && !im.info.icc.empty()) w.icc = &im.info.icc;
  if (opts.keep_exif && !im.info.exif.empty()) w.exif = &im.info.exif;
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, w.message, on_error, on_warning);
  if (w.png) w.info = png_create_info_struct(w.png);
  if (!w.png || !w.info) throw ImageError("out of memory writing PNG");
  if (!guarded(w, step_write)) throw ImageError(std::string("cannot write PNG: ") + w.message);
  return std::move(w.out);
}

}  // namespace img_util::imaging::codec
