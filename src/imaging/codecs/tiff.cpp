// TIFF through libtiff: the first page read through its RGBA interface, which knows every
// layout, bit depth and compression the library was built with (strips, tiles, palettes,
// LZW, Deflate, PackBits, JPEG), and written uncompressed as Pillow writes by default.
//
// libtiff works on a client "file" here: the encoding in memory, read or grown in place. Its
// messages go to a handler of this file's, never to standard error: an error ends the read
// with an ImageError naming the file and saying what libtiff found.
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {
namespace {

// The bytes libtiff reads or writes, and the first error it reported.
struct Client {
  std::string_view in;
  std::string out;
  uint64_t pos = 0;
  bool writing = false;
  std::string error;
};

tmsize_t client_read(thandle_t h, void* buf, tmsize_t n) {
  auto* c = static_cast<Client*>(h);
  const std::string_view data = c->writing ? std::string_view(c->out) : c->in;
  if (c->pos >= data.size() || n <= 0) return 0;
  const size_t count = std::min<uint64_t>(static_cast<uint64_t>(n), data.size() - c->pos);
  std::memcpy(buf, data.data() + c->pos, count);
  c->pos += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t client_write(thandle_t h, void* buf, tmsize_t n) {
  auto* c = static_cast<Client*>(h);
  if (!c->writing || n < 0) return -1;
  const size_t count = static_cast<size_t>(n);
  if (c->out.size() < c->pos + count) c->out.resize(c->pos + count);
  std::memcpy(c->out.data() + c->pos, buf, count);
  c->pos += count;
  return n;
}

uint64_t client_size(thandle_t h) {
  auto* c = static_cast<Client*>(h);
  return c->writing ? c->out.size() : c->in.size();
}

toff_t client_seek(thandle_t h, toff_t off, int whence) {
  auto* c = static_cast<Client*>(h);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = c->pos;
  if (whence == SEEK_END) base = client_size(h);
  c->pos = base + off;
  return c->pos;
}

int client_close(thandle_t) { return 0; }
toff_t client_size_proc(thandle_t h) { return client_size(h); }
int client_map(thandle_t, void**, toff_t*) { return 0; }
void client_unmap(thandle_t, void*, toff_t) {}

int on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* c = static_cast<Client*>(user);
  if (c->error.empty()) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    c->error = module && *module ? std::string(module) + ": " + buf : std::string(buf);
  }
  return 1;  // handled: nothing reaches standard error
}

int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsDeleter {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
struct TiffDeleter {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffDeleter>;

// Opens the client's bytes for reading ("r") or writing ("w"); null with client.error set
// when libtiff refuses them.
TiffPtr open_client(Client& client, const char* mode) {
  std::unique_ptr<TIFFOpenOptions, OptionsDeleter> opts(TIFFOpenOptionsAlloc());
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), on_error, &client);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), on_warning, &client);
  return TiffPtr(TIFFClientOpenExt("tiff", mode, &client, client_read, client_write, client_seek,
                                   client_close, client_size_proc, client_map, client_unmap,
                                   opts.get()));
}

[[noreturn]] void fail(const Client& client, const std::string& what, const std::string& name) {
  throw ImageError(what + " " + quoted(name) + (client.error.empty() ? "" : ": " + client.error),
                   name);
}

// The mode the first page is read as: grey stays L, anything with an extra (alpha) sample is
// RGBA, everything else RGB.
Mode mode_of(TIFF* t) {
  uint16_t samples = 1, photometric = PHOTOMETRIC_MINISBLACK, extra_count = 0;
  uint16_t* extra = nullptr;
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  if (extra_count > 0) return grey && samples == 2 ? Mode::LA : Mode::RGBA;
  return grey && samples == 1 ? Mode::L : Mode::RGB;
}

struct Opened {
  Client client;
  TiffPtr tiff;
  Header header;
};

void open_page(Opened& o, std::string_view data, const std::string& name) {
  o.client.in = data;
  o.tiff = open_client(o.client, "rm");
  if (!o.tiff) fail(o.client, "cannot read TIFF", name);
  uint32_t w = 0, h = 0;
  if (!TIFFGetField(o.tiff.get(), TIFFTAG_IMAGEWIDTH, &w) ||
      !TIFFGetField(o.tiff.get(), TIFFTAG_IMAGELENGTH, &h))
    fail(o.client, "TIFF without a size in", name);
  check_size(w, h, name);
  o.header.width = static_cast<int>(w);
  o.header.height = static_cast<int>(h);
  o.header.mode = mode_of(o.tiff.get());
  o.header.info.format = "TIFF";
  uint32_t icc_size = 0;
  void* icc = nullptr;
  if (TIFFGetField(o.tiff.get(), TIFFTAG_ICCPROFILE, &icc_size, &icc) && icc)
    o.header.info.icc.assign(static_cast<const char*>(icc), icc_size);
}

// libtiff's RGBA is premultiplied where the file's alpha was not; Pillow keeps the colours.
uint8_t unpremultiply(uint8_t c, uint8_t a) {
  if (a == 0 || a == 255) return c;
  return static_cast<uint8_t>(std::min(255, (c * 255 + a / 2) / a));
}

}  // namespace

Header tiff_header(std::string_view data, const std::string& name) {
  Opened o;
  open_page(o, data, name);
  return o.header;
}

namespace {

// 8-bit grey or RGB samples, interleaved, in strips: read row by row as stored, so colours
// under a transparent alpha stay as Pillow keeps them. Rows past damage stay zero, as a file
// cut short reads.
bool plain_layout(TIFF* t, Mode mode) {
  uint16_t bits = 1, planar = PLANARCONFIG_CONTIG, samples = 1, photometric = 0;
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
  const bool photometric_fits =
      mode_has_alpha(mode) || mode == Mode::RGB
          ? photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_MINISBLACK
          : photometric == PHOTOMETRIC_MINISBLACK;
  return bits == 8 && planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(t) && photometric_fits &&
         samples == Image(mode, 1, 1).bands();
}

void read_rows(Opened& o, Image& out, const std::string& name) {
  const tmsize_t size = TIFFScanlineSize(o.tiff.get());
  if (size < static_cast<tmsize_t>(out.stride())) fail(o.client, "broken TIFF rows in", name);
  std::vector<uint8_t> line(static_cast<size_t>(size));
  for (int y = 0; y < out.height(); ++y) {
    if (TIFFReadScanline(o.tiff.get(), line.data(), static_cast<uint32_t>(y), 0) < 0) {
      if (y == 0) fail(o.client, "broken TIFF data in", name);
      return;
    }
    std::memcpy(out.row(y), line.data(), out.stride());
  }
}

// Anything else through libtiff's RGBA interface, which hands colours premultiplied by
// alpha; they are divided back, as near as 8 bits allow.
void read_rgba(Opened& o, Image& out, const std::string& name) {
  const int w = out.width(), h = out.height();
  char why[1024] = "";
  if (!TIFFRGBAImageOK(o.tiff.get(), why))
    fail(o.client, std::string("cannot read TIFF (") + why + ")", name);
  std::vector<uint32_t> raster(static_cast<size_t>(w) * static_cast<size_t>(h));
  if (!TIFFReadRGBAImageOriented(o.tiff.get(), static_cast<uint32_t>(w), static_cast<uint32_t>(h),
                                 raster.data(), ORIENTATION_TOPLEFT, 0))
    fail(o.client, "broken TIFF data in", name);
  const int bands = out.bands();
  for (int y = 0; y < h; ++y) {
    uint8_t* row = out.row(y);
    const uint32_t* px = raster.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
    for (int x = 0; x < w; ++x, row += bands) {
      const uint32_t p = px[x];
      const auto r = static_cast<uint8_t>(TIFFGetR(p)), g = static_cast<uint8_t>(TIFFGetG(p));
      const auto b = static_cast<uint8_t>(TIFFGetB(p)), a = static_cast<uint8_t>(TIFFGetA(p));
      switch (out.mode()) {
        case Mode::L: row[0] = r; break;
        case Mode::LA: row[0] = unpremultiply(r, a), row[1] = a; break;
        case Mode::RGB: row[0] = r, row[1] = g, row[2] = b; break;
        default:
          row[0] = unpremultiply(r, a), row[1] = unpremultiply(g, a), row[2] = unpremultiply(b, a);
          row[3] = a;
          break;
      }
    }
  }
}

}  // namespace

Image tiff_decode(std::string_view data, const std::string& name, ReduceHint) {
  Opened o;
  open_page(o, data, name);
  // Deflate packs at most about 1032 bytes into one: less data than an eighth of the canvas at
  // that rate cannot be a whole picture, only a claim of one.
  const uint64_t canvas =
      uint64_t{4} * static_cast<uint64_t>(o.header.width) * static_cast<uint64_t>(o.header.height);
  if (too_little_to_decode(canvas, uint64_t{1032} * data.size(), canvas))
    throw ImageError("TIFF data of " + std::to_string(data.size()) + " bytes cannot fill a " +
                         std::to_string(o.header.width) + "x" + std::to_string(o.header.height) +
                         " picture: " + quoted(name),
                     name);
  Image out(o.header.mode, o.header.width, o.header.height);
  out.info = o.header.info;
  if (plain_layout(o.tiff.get(), out.mode()))
    read_rows(o, out, name);
  else
    read_rgba(o, out, name);
  return out;
}

std::string tiff_encode(const Image& im, const EncodeOptions& opts) {
  // TIFF stores grey, RGB and their alpha forms here; a palette image goes out as its colours.
  const Image* src = &im;
  Image converted(Mode::RGB, 0, 0);
  if (im.mode() == Mode::P) {
    converted = convert(im, has_transparency(im) ? Mode::RGBA : Mode::RGB);
    src = &converted;
  }
  Client client;
  client.writing = true;
  TiffPtr t = open_client(client, "w");
  if (!t) throw ImageError("cannot write TIFF: " + client.error);
  const uint16_t bands = static_cast<uint16_t>(src->bands());
  const bool grey = src->mode() == Mode::L || src->mode() == Mode::LA;
  TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(src->width()));
  TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(src->height()));
  TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, bands);
  TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, uint16_t{8});
  TIFFSetField(t.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
  if (mode_has_alpha(src->mode())) {
    const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(t.get(), TIFFTAG_EXTRASAMPLES, uint16_t{1}, extra);
  }
  TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t.get(), 0));
  if (opts.keep_icc && !im.info.icc.empty())
    TIFFSetField(t.get(), TIFFTAG_ICCPROFILE, static_cast<uint32_t>(im.info.icc.size()),
                 im.info.icc.data());
  for (int y = 0; y < src->height(); ++y) {
    // libtiff takes non-const rows but only reads them.
    auto* row = const_cast<uint8_t*>(src->row(y));
    if (TIFFWriteScanline(t.get(), row, static_cast<uint32_t>(y), 0) < 0)
      throw ImageError("cannot write TIFF: " + client.error);
  }
  if (!TIFFWriteDirectory(t.get())) throw ImageError("cannot write TIFF: " + client.error);
  t.reset();
  return std::move(client.out);
}

}  // namespace img_util::imaging::codec
