// Image: our in-memory raster, opened lazily from a file.
//
// Interleaved 8-bit pixels in one of five modes. `Image::open` reads only the header (format
// by magic bytes, size, mode, frame count); pixels are decoded by `load()`, which may take a
// reduction hint that lets the JPEG decoder scale in the DCT domain, or on the first mutable
// pixel access. Reading the pixels of a const image requires it to be loaded: whoever holds an
// opened image loads it (the operations do at their entry) before handing it to code that
// reads. Operations never change an image in place once it has been handed on: they return a
// new one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace img_util {

enum class Mode { L, LA, RGB, RGBA, P };

// "L", "LA", "RGB", "RGBA", "P"; parse_mode throws ValueError for anything else.
const char* mode_name(Mode m);
Mode parse_mode(const std::string& name);
// Bytes per pixel: 1, 2, 3, 4, 1.
int mode_bands(Mode m);
bool mode_has_alpha(Mode m);

using Rgba = std::array<uint8_t, 4>;

// An encoding that compression adopted for an image: written by compress alone, read by save
// alone. While the pixels are those of `bytes`, save writes the bytes as they are, so the size
// compression measured holds; a changed image keeps only the quality for its new encoding.
struct Adoption {
  std::shared_ptr<const std::string> bytes;  // the adopted trial; null once the pixels changed
  std::string format;                        // the format of `bytes`
  std::optional<int> quality;                // its quality, for formats that use one
};

// What came with the image besides its pixels.
struct ImageInfo {
  std::string format;                // "JPEG", "PNG", "GIF", "WEBP", "BMP"; empty for made images
  std::optional<int> duration;       // GIF: first frame's display time in ms (absent without a GCE)
  std::optional<int> loop;           // GIF: loop count from the NETSCAPE extension
  std::optional<int> transparency;   // P: palette index shown transparent (from GIF or PNG tRNS)
  std::string exif;                  // raw EXIF (TIFF header onwards), empty when none
  std::string icc;                   // ICC profile, empty when none
  std::optional<Adoption> adoption;  // set by compress; see Adoption
};

// Where decoding may stop early: the decoder may deliver any size that is at least this big
// (JPEG scales by 1/2, 1/4, 1/8). Zero means full size.
struct ReduceHint {
  int min_width = 0;
  int min_height = 0;
};

class EncodedSource;  // the undecoded file behind a lazily opened image (src/imaging)

class Image {
 public:
  // A new image filled with `fill` (zeros by default). Throws ImageError above the pixel limit.
  Image(Mode mode, int width, int height);
  Image(Mode mode, int width, int height, Rgba fill);
  // An image over `pixels`, which must hold width * height pixels of `mode`, row by row.
  static Image from_pixels(Mode mode, int width, int height, std::vector<uint8_t> pixels);
  ~Image();
  Image(const Image&);
  Image& operator=(const Image&);
  Image(Image&&) noexcept;
  Image& operator=(Image&&) noexcept;

  // Reads the header of the file at `path`. Throws OSError when it cannot be read and
  // ImageError when it is no image we know (or exceeds the pixel limit).
  static std::shared_ptr<Image> open(const std::string& path);
  // open(), or null when the file's bytes are no image format we know: to the operations such
  // a file is simply nothing to do. Any other failure (unreadable, a damaged or unsupported
  // image) is thrown as open() throws it, naming the file and the cause.
  static std::shared_ptr<Image> open_if_image(const std::string& path);
  // The same from bytes in memory; `name` is used in error messages.
  static std::shared_ptr<Image> open_bytes(std::string bytes, const std::string& name = "");

  Mode mode() const { return mode_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int bands() const { return mode_bands(mode_); }
  size_t stride() const { return static_cast<size_t>(width_) * bands(); }
  // Frames in the file (1 for still formats); `is_animated` is frames > 1.
  int frame_count() const { return frames_; }
  bool is_animated() const { return frames_ > 1; }

  // Decodes the pixels if not done yet. With a hint a JPEG may decode smaller (width() and
  // height() then report the decoded size). Truncated data decodes as far as it goes.
  void load(ReduceHint hint = {});
  bool loaded() const { return !source_; }

  // Mutable pixel access loads first; const access throws std::logic_error on an image that
  // was not loaded.
  uint8_t* row(int y);
  const uint8_t* row(int y) const;
  std::vector<uint8_t>& pixels();
  const std::vector<uint8_t>& pixels() const;

  // Palette of a P image: up to 256 RGBA entries.
  std::vector<Rgba> palette;
  ImageInfo info;

  // The undecoded file, for a lazily opened image (null once loaded or for made images).
  const std::shared_ptr<EncodedSource>& source() const { return source_; }
  // The undecoded file of an opened image; kept after load() only for animations, whose later
  // frames FrameReader decodes from it.
  const std::shared_ptr<EncodedSource>& encoded_file() const { return source_ ? source_ : file_; }
  // Used by the codecs: the header facts of a lazily opened image.
  Image(std::shared_ptr<EncodedSource> src, Mode mode, int width, int height, int frames);

 private:
  void require_loaded() const;
  Mode mode_ = Mode::RGB;
  int width_ = 0;
  int height_ = 0;
  int frames_ = 1;
  std::shared_ptr<EncodedSource> source_;
  std::shared_ptr<EncodedSource> file_;
  std::vector<uint8_t> pixels_;
};

using ImagePtr = std::shared_ptr<Image>;

// Images above this many pixels are refused before any buffer is allocated (Pillow's limit).
inline constexpr int64_t kDefaultPixelLimit = 178956970;
int64_t pixel_limit();
void set_pixel_limit(int64_t pixels);

}  // namespace img_util
