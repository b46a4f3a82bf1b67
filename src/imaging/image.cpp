// Image: modes, construction under the pixel limit, lazy opening and decoding.
#include "img_util/image.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "imaging/codecs/codecs.hpp"
#include "img_util/errors.hpp"
#include "support/files.hpp"

namespace img_util {

const char* mode_name(Mode m) {
  switch (m) {
    case Mode::L: return "L";
    case Mode::LA: return "LA";
    case Mode::RGB: return "RGB";
    case Mode::RGBA: return "RGBA";
    case Mode::P: return "P";
  }
  return "?";
}

Mode parse_mode(const std::string& name) {
  for (Mode m : {Mode::L, Mode::LA, Mode::RGB, Mode::RGBA, Mode::P})
    if (name == mode_name(m)) return m;
  throw ValueError("unrecognized image mode: " + name);
}

int mode_bands(Mode m) {
  switch (m) {
    case Mode::L:
    case Mode::P: return 1;
    case Mode::LA: return 2;
    case Mode::RGB: return 3;
    case Mode::RGBA: return 4;
  }
  return 0;
}

bool mode_has_alpha(Mode m) { return m == Mode::LA || m == Mode::RGBA; }

namespace {
std::atomic<int64_t> g_pixel_limit{kDefaultPixelLimit};

// Checks the size before the buffer exists; returns the buffer's byte count.
size_t checked_bytes(Mode mode, int width, int height) {
  if (width < 0 || height < 0)
    throw ValueError("image size must not be negative: " + std::to_string(width) + "x" +
                     std::to_string(height));
  int64_t pixels = int64_t{width} * height;
  imaging::check_pixel_limit(pixels);
  return static_cast<size_t>(pixels) * mode_bands(mode);
}
}  // namespace

void imaging::check_pixel_limit(int64_t pixels) {
  if (pixels > pixel_limit())
    throw ImageError("image size (" + std::to_string(pixels) + " pixels) exceeds the limit of " +
                     std::to_string(pixel_limit()) + " pixels");
}

int64_t pixel_limit() { return g_pixel_limit.load(std::memory_order_relaxed); }
void set_pixel_limit(int64_t pixels) { g_pixel_limit.store(pixels, std::memory_order_relaxed); }

Image::Image(Mode mode, int width, int height)
    : mode_(mode), width_(width), height_(height), pixels_(checked_bytes(mode, width, height)) {}

Image::Image(Mode mode, int width, int height, Rgba fill) : Image(mode, width, height) {
  const int b = bands();
  bool zero = true;
  for (int c = 0; c < b; ++c) zero = zero && fill[c] == 0;
  if (zero) return;
  if (b == 1) {
    std::memset(pixels_.data(), fill[0], pixels_.size());
    return;
  }
  for (size_t i = 0; i < pixels_.size(); i += b) std::memcpy(&pixels_[i], fill.data(), b);
}

Image Image::from_pixels(Mode mode, int width, int height, std::vector<uint8_t> pixels) {
  if (pixels.size() != checked_bytes(mode, width, height))
    throw std::invalid_argument("the pixels do not fill the image");
  Image im(mode, 0, 0);
  im.width_ = width;
  im.height_ = height;
  im.pixels_ = std::move(pixels);
  return im;
}

Image::~Image() = default;
Image::Image(const Image&) = default;
Image& Image::operator=(const Image&) = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;

Image::Image(std::shared_ptr<EncodedSource> src, Mode mode, int width, int height, int frames)
    : mode_(mode), width_(width), height_(height), frames_(frames), source_(std::move(src)) {}

namespace {

// From this size on, a file in a format decoded row by row is read as it is decoded instead of
// being held whole; its header is read from the first bytes.
constexpr uint64_t kReadAsDecodedBytes = uint64_t{1} << 20;
constexpr size_t kHeaderBytes = size_t{256} << 10;

}  // namespace

std::shared_ptr<Image> Image::open_if_image(const std::string& path) {
  try {
    return open(path);
  } catch (const UnidentifiedImageError&) {
    return nullptr;
  }
}

std::shared_ptr<Image> Image::open(const std::string& path) {
  using namespace imaging::codec;
  auto file = std::make_shared<OpenFile>(path);
  if (file->size() >= kReadAsDecodedBytes) {
    std::string scratch;
    std::optional<std::string_view> head = ByteSource(*file).read(0, kHeaderBytes, scratch);
    if (!head) throw_errno(path);
    const Format* format = detect(*head);
    if (format && format->stream) {
      std::optional<Header> h;
      try {
        h = format->header(*head, path);
      } catch (const ImageError&) {
        // Metadata beyond the first bytes: read the whole file below.
      }
      if (h) {
        auto src = std::make_shared<EncodedSource>();
        src->file = std::move(file);
        src->name = path;
        src->format = format;
        auto im = std::make_shared<Image>(std::move(src), h->mode, h->width, h->height, h->frames);
        im->info = std::move(h->info);
        im->palette = std::move(h->palette);
        return im;
      }
    }
  }
  return open_bytes(file->read_all(), path);
}

std::shared_ptr<Image> Image::open_bytes(std::string bytes, const std::string& name) {
  using namespace imaging::codec;
  const Format* format = detect(bytes);
  if (!format) throw UnidentifiedImageError("cannot identify image file " + quoted(name), name);
  auto src = std::make_shared<EncodedSource>();
  src->bytes = std::make_shared<const std::string>(std::move(bytes));
  src->name = name;
  src->format = format;
  Header h = format->header(*src->bytes, name);
  auto im = std::make_shared<Image>(std::move(src), h.mode, h.width, h.height, h.frames);
  im->info = std::move(h.info);
  im->palette = std::move(h.palette);
  return im;
}

void Image::load(ReduceHint hint) {
  if (!source_) return;
  const EncodedSource& src = *source_;
  Image decoded = src.file
                      ? imaging::codec::decode_streamed(*src.format, src.input(), src.name, hint)
                      : src.format->decode(*src.bytes, src.name, hint);
  mode_ = decoded.mode_;
  width_ = decoded.width_;
  height_ = decoded.height_;
  pixels_ = std::move(decoded.pixels_);
  if (mode_ == Mode::P) {
    palette = std::move(decoded.palette);
    if (decoded.info.transparency) info.transparency = decoded.info.transparency;
  }
  if (frames_ > 1) file_ = std::move(source_);
  source_.reset();
}

void Image::require_loaded() const {
  if (source_)
    throw std::logic_error("the pixels of " +
                           (source_->name.empty() ? std::string("an image") : source_->name) +
                           " were read before load()");
}

uint8_t* Image::row(int y) {
  load();
  return pixels_.data() + stride() * static_cast<size_t>(y);
}

const uint8_t* Image::row(int y) const {
  require_loaded();
  return pixels_.data() + stride() * static_cast<size_t>(y);
}

std::vector<uint8_t>& Image::pixels() {
  load();
  return pixels_;
}

const std::vector<uint8_t>& Image::pixels() const {
  require_loaded();
  return pixels_;
}

}  // namespace img_util
