// WebP through libwebp. Still images only; EXIF and ICC travel in the RIFF container's own
// chunks, which we read and write here (the container is simple enough not to need libwebpmux).
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {
namespace {

uint32_t le32(std::string_view d, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(d[at + i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

std::string le32_bytes(uint32_t v) {
  return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}

struct Chunk {
  std::string_view fourcc;
  std::string_view data;
};

// The chunks after "RIFF size WEBP", within the RIFF size (later bytes are not ours).
std::vector<Chunk> chunks(std::string_view d) {
  std::vector<Chunk> out;
  if (d.size() < 12) return out;
  size_t end = std::min<size_t>(d.size(), size_t{le32(d, 4)} + 8);
  for (size_t at = 12; at + 8 <= end;) {
    size_t n = le32(d, at + 4);
    if (n > end - at - 8) break;
    out.push_back({d.substr(at, 4), d.substr(at + 8, n)});
    at += 8 + n + (n & 1);
  }
  return out;
}

void read_metadata(std::string_view d, ImageInfo& info) {
  for (const Chunk& c : chunks(d)) {
    if (c.fourcc == "EXIF" && info.exif.empty()) {
      info.exif.assign(c.data);
      if (info.exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0) info.exif.erase(0, 6);
    } else if (c.fourcc == "ICCP" && info.icc.empty()) {
      info.icc.assign(c.data);
    }
  }
}

// libwebp's status in words, for error messages.
const char* status_text(VP8StatusCode st) {
  switch (st) {
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
    case VP8_STATUS_SUSPENDED: return "data ends early";
    case VP8_STATUS_USER_ABORT: return "aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "not enough data";
    default: return "unknown error";
  }
}

WebPBitstreamFeatures features(std::string_view data, const std::string& name) {
  WebPBitstreamFeatures f;
  VP8StatusCode st =
      WebPGetFeatures(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &f);
  if (st != VP8_STATUS_OK)
    throw ImageError(
        std::string("cannot read WebP header (") + status_text(st) + ") in " + quoted(name), name);
  if (f.has_animation) throw ImageError("animated WebP is not supported: " + quoted(name), name);
  check_size(f.width, f.height, name);
  return f;
}

struct IDecDeleter {
  void operator()(WebPIDecoder* d) const { WebPIDelete(d); }
};

}  // namespace

Header webp_header(std::string_view data, const std::string& name) {
  WebPBitstreamFeatures f = features(data, name);
  Header h;
  h.mode = f.has_alpha ? Mode::RGBA : Mode::RGB;
  h.width = f.width;
  h.height = f.height;
  h.info.format = "WEBP";
  read_metadata(data, h.info);
  return h;
}

namespace {

// Hands the whole file to an incremental decoder (none when libwebp could not make one); data
// that ends early is fine, the rows it reached stay.
void append_all(WebPIDecoder* dec, std::string_view data, const std::string& name) {
  if (!dec) throw ImageError("out of memory decoding " + quoted(name), name);
  const VP8StatusCode st =
      WebPIAppend(dec, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  if (st != VP8_STATUS_OK && st != VP8_STATUS_SUSPENDED)
    throw ImageError(std::string("broken WebP data (") + status_text(st) + ") in " + quoted(name),
                     name);
}

// A file cut short whose picture is large: decoded first into libwebp's own buffer, whose
// pages cost memory only as rows are written to them, so that too few rows (see
// too_little_to_decode) are refused before a canvas is made for them. What is decoded is then
// copied out.
Image decode_cut_short(std::string_view data, const std::string& name,
                       const WebPBitstreamFeatures& f) {
  std::unique_ptr<WebPIDecoder, IDecDeleter> dec(
      WebPINewRGB(f.has_alpha ? MODE_RGBA : MODE_RGB, nullptr, 0, 0));
  append_all(dec.get(), data, name);
  int rows = 0, width = 0, height = 0, stride = 0;
  const uint8_t* px = WebPIDecGetRGB(dec.get(), &rows, &width, &height, &stride);
  if (!px) rows = 0;
  const uint64_t canvas =
      uint64_t{static_cast<uint32_t>(f.width)} * f.height * (f.has_alpha ? 4 : 3);
  if (too_little_to_decode(canvas, static_cast<uint64_t>(std::max(rows, 0)), f.height))
    throw ImageError("WebP data ends after " + std::to_string(rows) + " of " +
                         std::to_string(f.height) + " rows; too little of the image to decode in " +
                         quoted(name),
                     name);
  Image out(f.has_alpha ? Mode::RGBA : Mode::RGB, f.width, f.height);
  for (int y = 0; y < rows; ++y)
    std::memcpy(out.row(y), px + static_cast<size_t>(stride) * y, out.stride());
  out.info.format = "WEBP";
  return out;
}

}  // namespace

Image webp_decode(std::string_view data, const std::string& name, ReduceHint) {
  WebPBitstreamFeatures f = features(data, name);
  const bool cut_short = data.size() < uint64_t{le32(data, 4)} + 8;
  if (cut_short && uint64_t{static_cast<uint32_t>(f.width)} * f.height * (f.has_alpha ? 4 : 3) >
                       kSmallCanvasBytes)
    return decode_cut_short(data, name, f);
  Image out(f.has_alpha ? Mode::RGBA : Mode::RGB, f.width, f.height);
  // The incremental decoder writes rows straight into our buffer and, on data that ends early,
  // leaves the rows it reached.
  std::unique_ptr<WebPIDecoder, IDecDeleter> dec(
      WebPINewRGB(f.has_alpha ? MODE_RGBA : MODE_RGB, out.pixels().data(), out.pixels().size(),
                  static_cast<int>(out.stride())));
  append_all(dec.get(), data, name);
  out.info.format = "WEBP";
  return out;
}

namespace {

struct WebPMemory {
  uint8_t* data = nullptr;
  ~WebPMemory() { WebPFree(data); }
};

// Wraps a simple-format encoding in an extended container that carries ICC and EXIF.
std::string with_metadata(const std::string& simple, const Image& im, const std::string& icc,
                          const std::string& exif) {
  std::vector<Chunk> parts = chunks(simple);
  uint32_t flags = 0;
  std::string body;
  for (const Chunk& c : parts) {
    if (c.fourcc == "VP8X") {
      flags = static_cast<uint8_t>(c.data[0]);
      continue;
    }
    body += std::string(c.fourcc) + le32_bytes(static_cast<uint32_t>(c.data.size()));
    body += c.data;
    if (c.data.size() & 1) body += '\0';
    if (c.fourcc == "ALPH" || (c.fourcc == "VP8L" && mode_has_alpha(im.mode()))) flags |= 0x10;
  }
  auto chunk = [](const char* fourcc, const std::string& d) {
    std::string s = std::string(fourcc, 4) + le32_bytes(static_cast<uint32_t>(d.size())) + d;
    if (d.size() & 1) s += '\0';
    return s;
  };
  if (!icc.empty()) flags |= 0x20;
  if (!exif.empty()) flags |= 0x08;
  std::string vp8x(10, '\0');
  vp8x[0] = static_cast<char>(flags);
  uint32_t w = static_cast<uint32_t>(im.width() - 1), h = static_cast<uint32_t>(im.height() - 1);
  for (int i = 0; i < 3; ++i) {
    vp8x[4 + i] = static_cast<char>((w >> (8 * i)) & 0xFF);
    vp8x[7 + i] = static_cast<char>((h >> (8 * i)) & 0xFF);
  }
  std::string payload = "WEBP" + chunk("VP8X", vp8x);
  if (!icc.empty()) payload += chunk("ICCP", icc);
  payload += body;
  if (!exif.empty()) payload += chunk("EXIF", exif);
  return "RIFF" + le32_bytes(static_cast<uint32_t>(payload.size())) + payload;
}

}  // namespace

std::string webp_encode(const Image& im, const EncodeOptions& opts) {
  if (im.width() > WEBP_MAX_DIMENSION || im.height() > WEBP_MAX_DIMENSION)
    throw ImageError("image too large for WebP (" + std::to_string(im.width()) + "x" +
                     std::to_string(im.height()) + ")");
  // WebP stores RGB or RGBA; the other modes go through one of them.
  const Image* src = &im;
  Image converted(Mode::RGB, 0, 0);
  if (im.mode() != Mode::RGB && im.mode() != Mode::RGBA) {
    bool alpha = mode_has_alpha(im.mode()) ||
                 (im.mode() == Mode::P &&
                  (im.info.transparency || std::any_of(im.palette.begin(), im.palette.end(),
                                                       [](const Rgba& c) { return c[3] != 255; })));
    converted = convert(im, alpha ? Mode::RGBA : Mode::RGB);
    src = &converted;
  }
  const float quality = static_cast<float>(std::clamp(opts.quality.value_or(80), 0, 100));
  WebPMemory mem;
  const uint8_t* px = src->pixels().data();
  const int stride = static_cast<int>(src->stride());
  size_t n = src->mode() == Mode::RGBA
                 ? WebPEncodeRGBA(px, src->width(), src->height(), stride, quality, &mem.data)
                 : WebPEncodeRGB(px, src->width(), src->height(), stride, quality, &mem.data);
  if (n == 0) throw ImageError("cannot write WebP: the encoder failed");
  std::string simple(reinterpret_cast<const char*>(mem.data), n);
  const bool icc = opts.keep_icc && !im.info.icc.empty();
  const bool exif = opts.keep_exif && !im.info.exif.empty();
  if (!icc && !exif) return simple;
  return with_metadata(simple, *src, icc ? im.info.icc : std::string(),
                       exif ? im.info.exif : std::string());
}

}  // namespace img_util::imaging::codec
