// Placeholder until the codecs work lands: made images work, opening files throws.
#include <stdexcept>
#include "img_util/errors.hpp"
#include "img_util/image.hpp"
namespace img_util {
class EncodedSource {};
const char* mode_name(Mode m) {
  switch (m) { case Mode::L: return "L"; case Mode::LA: return "LA"; case Mode::RGB: return "RGB";
    case Mode::RGBA: return "RGBA"; case Mode::P: return "P"; }
  return "?";
}
Mode parse_mode(const std::string& n) {
  for (Mode m : {Mode::L, Mode::LA, Mode::RGB, Mode::RGBA, Mode::P}) if (n == mode_name(m)) return m;
  throw ValueError("unrecognized image mode: " + n);
}
int mode_bands(Mode m) { switch (m) { case Mode::L: case Mode::P: return 1; case Mode::LA: return 2;
  case Mode::RGB: return 3; case Mode::RGBA: return 4; } return 0; }
bool mode_has_alpha(Mode m) { return m == Mode::LA || m == Mode::RGBA; }
static int64_t g_limit = kDefaultPixelLimit;
int64_t pixel_limit() { return g_limit; }
void set_pixel_limit(int64_t p) { g_limit = p; }
Image::Image(Mode mode, int w, int h) : mode_(mode), width_(w), height_(h),
  pixels_(static_cast<size_t>(w) * h * mode_bands(mode)) {}
Image::Image(Mode mode, int w, int h, Rgba fill) : Image(mode, w, h) {
  int b = mode_bands(mode);
  for (size_t i = 0; i < pixels_.size(); i += b) for (int c = 0; c < b; ++c) pixels_[i + c] = fill[c];
}
Image::~Image() = default;
Image::Image(const Image&) = default;
Image& Image::operator=(const Image&) = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;
Image::Image(std::shared_ptr<EncodedSource> src, Mode mode, int w, int h, int frames)
  : mode_(mode), width_(w), height_(h), frames_(frames), source_(std::move(src)) {}
std::shared_ptr<Image> Image::open(const std::string&) { throw std::logic_error("Image::open is not built yet"); }
std::shared_ptr<Image> Image::open_bytes(std::string, const std::string&) { throw std::logic_error("Image::open is not built yet"); }
void Image::load(ReduceHint) {}
void Image::ensure_loaded() const {}
uint8_t* Image::row(int y) { return pixels_.data() + stride() * y; }
const uint8_t* Image::row(int y) const { return pixels_.data() + stride() * y; }
std::vector<uint8_t>& Image::pixels() { return pixels_; }
const std::vector<uint8_t>& Image::pixels() const { return pixels_; }
}
