// The format table and what reads it: detection by magic bytes, the output format by
// extension, encode/save dispatch, the frame reader and the EXIF orientation helpers.
#include "imaging/codecs/codecs.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "img_util/ascii.hpp"
#include "support/files.hpp"

namespace img_util::imaging {

namespace codec {
namespace {

// One row per format: detection reads `magic`, format_for_path reads `extensions`, encode and
// the lazy Image read the entry points.
// A table reads best one format to a row.
// clang-format off
constexpr Format kFormats[] = {
    {"JPEG", {".jpg", ".jpeg", ".jpe", ".jfif"}, {{{0, "\xFF\xD8\xFF"}, {}}},
     false, true, false, jpeg_header, jpeg_decode, jpeg_encode, jpeg_stream, true},
    {"PNG", {".png"}, {{{0, "\x89PNG\r\n\x1A\n"}, {}}},
     true, false, false, png_header, png_decode, png_encode},
    {"GIF", {".gif"}, {{{0, "GIF8"}, {}}},
     true, false, true, gif_header, gif_decode, gif_encode},
    {"WEBP", {".webp"}, {{{0, "RIFF"}, {8, "WEBP"}}},
     true, true, false, webp_header, webp_decode, webp_encode},
    {"BMP", {".bmp"}, {{{0, "BM"}, {}}},
     true, false, false, bmp_header, bmp_decode, bmp_encode},
    {"TIFF", {".tif", ".tiff"}, {{{0, std::string_view("II*\0", 4)}, {}}},
     true, false, false, tiff_header, tiff_decode, tiff_encode},
    {"TIFF", {}, {{{0, std::string_view("MM\0*", 4)}, {}}},  // big-endian
     true, false, false, tiff_header, tiff_decode, tiff_encode},
};
// clang-format on

bool matches(const Format& f, std::string_view data) {
  for (const Magic& m : f.magic) {
    if (m.bytes.empty()) continue;
    if (data.size() < m.offset + m.bytes.size()) return false;
    if (data.substr(m.offset, m.bytes.size()) != m.bytes) return false;
  }
  return true;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

}  // namespace

const Format* detect(std::string_view data) {
  for (const Format& f : kFormats)
    if (matches(f, data)) return &f;
  return nullptr;
}

const Format* find(std::string_view name) {
  std::string up = upper(name);
  for (const Format& f : kFormats)
    if (f.name == up) return &f;
  return nullptr;
}

void check_size(int64_t width, int64_t height, const std::string& name) {
  if (width <= 0 || height <= 0)
    throw ImageError("invalid image size " + std::to_string(width) + "x" + std::to_string(height) +
                         " in " + quoted(name),
                     name);
  // Both factors are below 2^32 here, so the product cannot overflow.
  if (width >= (int64_t{1} << 31) || height >= (int64_t{1} << 31) || width * height > pixel_limit())
    throw ImageError("image size (" + std::to_string(width * height) +
                         " pixels) exceeds the limit of " + std::to_string(pixel_limit()) +
                         " pixels: " + quoted(name),
                     name);
}

bool too_little_to_decode(uint64_t canvas_bytes, uint64_t filled, uint64_t whole) {
  return canvas_bytes > kSmallCanvasBytes && filled * 8 < whole;
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

Image apply_orientation(const Image& im, int orientation) {
  if (orientation < 2 || orientation > 8) return im;
  const int w = im.width(), h = im.height(), b = im.bands();
  const bool swap = orientation >= 5;
  Image out(im.mode(), swap ? h : w, swap ? w : h);
  out.palette = im.palette;
  out.info = im.info;
  const int ow = out.width();
  // Destination coordinates as affine functions of the source's: ox = x0 + xs*sx + xr*sy,
  // oy = y0 + ys*sx + yr*sy.
  int x0 = 0, xs = 1, xr = 0, y0 = 0, ys = 0, yr = 1;
  switch (orientation) {
    case 2: x0 = w - 1, xs = -1; break;
    case 3: x0 = w - 1, xs = -1, y0 = h - 1, yr = -1; break;
    case 4: y0 = h - 1, yr = -1; break;
    case 5: xs = 0, xr = 1, ys = 1, yr = 0; break;
    case 6: x0 = h - 1, xs = 0, xr = -1, ys = 1, yr = 0; break;
    case 7: x0 = h - 1, xs = 0, xr = -1, y0 = w - 1, ys = -1, yr = 0; break;
    case 8: xs = 0, xr = 1, y0 = w - 1, ys = -1, yr = 0; break;
  }
  const ptrdiff_t step = (ptrdiff_t{ys} * ow + xs) * b;
  uint8_t* dst = out.pixels().data();
  for (int sy = 0; sy < h; ++sy) {
    const uint8_t* s = im.row(sy);
    ptrdiff_t o = (ptrdiff_t{y0 + yr * sy} * ow + (x0 + xr * sy)) * b;
    for (int sx = 0; sx < w; ++sx, s += b, o += step) std::memcpy(dst + o, s, b);
  }
  return out;
}

std::optional<std::string_view> ByteSource::read(uint64_t offset, size_t n,
                                                 std::string& scratch) const {
  if (offset >= size_) return std::string_view();
  n = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
  if (!file_) return memory_.substr(static_cast<size_t>(offset), n);
  scratch.resize(n);
  size_t got = 0;
  while (got < n) {
    const ssize_t r =
        ::pread(file_->fd(), scratch.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return std::nullopt;
    if (r == 0) break;  // the file has become shorter since it was opened
    got += static_cast<size_t>(r);
  }
  return std::string_view(scratch.data(), got);
}

namespace {

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

Image decode_streamed(const Format& format, const ByteSource& data, const std::string& name,
                      ReduceHint hint) {
  ImageSink sink;
  format.stream(data, name, hint, sink);
  return std::move(sink).upright();
}

}  // namespace codec

std::string format_for_path(const std::string& path) {
  std::string_view base(path);
  if (auto slash = base.rfind('/'); slash != std::string_view::npos) base.remove_prefix(slash + 1);
  // Leading dots belong to the name (".png" has no extension), as os.path.splitext sees it.
  size_t lead = 0;
  while (lead < base.size() && base[lead] == '.') ++lead;
  std::string ext;
  if (auto dot = base.rfind('.'); dot != std::string_view::npos && dot >= lead)
    ext = ascii_lower(base.substr(dot));
  for (const codec::Format& f : codec::kFormats)
    for (std::string_view e : f.extensions)
      if (!e.empty() && e == ext) return std::string(f.name);
  throw ValueError("unknown file extension: " + ext);
}

FormatCaps format_caps(const std::string& format) {
  const codec::Format* f = codec::find(format);
  if (!f) return {};
  return {f->alpha, f->quality, f->animation, f->reduces};
}

std::string encode(const Image& im, const std::string& format, const EncodeOptions& opts) {
  const codec::Format* f = codec::find(format);
  if (!f) throw ValueError("unknown file format: " + format);
  if (im.width() <= 0 || im.height() <= 0)
    throw ImageError("cannot write an empty image (" + std::to_string(im.width()) + "x" +
                     std::to_string(im.height()) + ") as " + std::string(f->name));
  return f->encode(im, opts);
}

std::string encode_for_path(const Image& im, const std::string& path, const EncodeOptions& opts) {
  const std::string format = format_for_path(path);
  try {
    return encode(im, format, opts);
  } catch (const ImageError& e) {
    throw ImageError(std::string(e.what()) + " for " + codec::quoted(path), path);
  }
}

void save(const Image& im, const std::string& path, const EncodeOptions& opts) {
  write_whole_file(path, encode_for_path(im, path, opts));
}

// ---- frames ---------------------------------------------------------------------------------

struct FrameReader::State {
  std::unique_ptr<codec::GifFrames> gif;
  ImagePtr still;  // the one frame of a still image, handed out once
};

void check_animation(int frames, int64_t width, int64_t height, const std::string& name) {
  if (frames > kFrameLimit)
    throw ImageError("animation of " + std::to_string(frames) + " frames exceeds the limit of " +
                         std::to_string(kFrameLimit) + " frames: " + codec::quoted(name),
                     name);
  // Every frame is decoded, worked on and encoded at the full size of the screen.
  const int64_t pixels = int64_t{frames} * width * height;
  if (frames > 1 && pixels > pixel_limit())
    throw ImageError("animation of " + std::to_string(frames) + " frames of " +
                         std::to_string(width) + "x" + std::to_string(height) + " pixels (" +
                         std::to_string(pixels) + " in all) exceeds the limit of " +
                         std::to_string(pixel_limit()) + " pixels: " + codec::quoted(name),
                     name);
}

FrameReader::FrameReader(const Image& opened) : state_(std::make_unique<State>()) {
  const auto& file = opened.encoded_file();
  if (file && file->format->animation) {
    check_animation(opened.frame_count(), opened.width(), opened.height(), file->name);
    state_->gif = std::make_unique<codec::GifFrames>(file->bytes, file->name);
  } else {
    state_->still = std::make_shared<Image>(opened);
    state_->still->load();
  }
}

FrameReader::~FrameReader() = default;

ImagePtr FrameReader::next() {
  if (state_->gif) return state_->gif->next();
  return std::exchange(state_->still, nullptr);
}

// ---- EXIF -----------------------------------------------------------------------------------

namespace {

// Where the orientation entry's value lies in `exif`, or npos. Accepts data that still starts
// with the APP1 "Exif\0\0" prefix.
size_t orientation_offset(const std::string& exif) {
  size_t base = 0;
  if (exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0) base = 6;
  if (exif.size() < base + 8) return std::string::npos;
  const auto* d = reinterpret_cast<const uint8_t*>(exif.data()) + base;
  const size_t n = exif.size() - base;
  bool le;
  if (d[0] == 'I' && d[1] == 'I')
    le = true;
  else if (d[0] == 'M' && d[1] == 'M')
    le = false;
  else
    return std::string::npos;
  auto u16 = [&](size_t at) -> uint32_t {
    return le ? d[at] | d[at + 1] << 8 : d[at] << 8 | d[at + 1];
  };
  auto u32 = [&](size_t at) -> uint32_t {
    return le ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  if (u16(2) != 42) return std::string::npos;
  size_t ifd = u32(4);
  if (ifd > n || n - ifd < 2) return std::string::npos;
  size_t count = u16(ifd);
  for (size_t i = 0; i < count; ++i) {
    size_t e = ifd + 2 + i * 12;
    if (e > n || n - e < 12) return std::string::npos;
    if (u16(e) == 0x0112 && u16(e + 2) == 3) return base + e + 8;
  }
  return std::string::npos;
}

bool exif_little_endian(const std::string& exif) {
  size_t base = exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0 ? 6 : 0;
  return exif.size() > base && exif[base] == 'I';
}

}  // namespace

int exif_orientation(const std::string& exif) {
  size_t at = orientation_offset(exif);
  if (at == std::string::npos) return 1;
  auto b0 = static_cast<uint8_t>(exif[at]), b1 = static_cast<uint8_t>(exif[at + 1]);
  int v = exif_little_endian(exif) ? b0 | b1 << 8 : b0 << 8 | b1;
  return v >= 1 && v <= 8 ? v : 1;
}

std::string exif_with_orientation_1(std::string exif) {
  size_t at = orientation_offset(exif);
  if (at == std::string::npos) return exif;
  bool le = exif_little_endian(exif);
  exif[at] = le ? 1 : 0;
  exif[at + 1] = le ? 0 : 1;
  return exif;
}

}  // namespace img_util::imaging
