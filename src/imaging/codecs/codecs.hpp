// The codec adapters behind Image::open, load and imaging::encode. A format's adapter files
// (<format>*.cpp and their private headers) are the only ones that include its C library's
// header; this header is what the rest of src/imaging sees.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "imaging/imaging.hpp"
#include "support/files.hpp"

namespace img_util::imaging::codec {

// What a header read tells: everything an opened Image shows before its pixels are decoded.
struct Header {
  Mode mode = Mode::RGB;
  int width = 0;
  int height = 0;
  int frames = 1;
  ImageInfo info;
  std::vector<Rgba> palette;
};

// Reads only the header; throws ImageError naming `name` when the data is no such image.
using HeaderFn = Header (*)(std::string_view data, const std::string& name);
// Decodes the (first) frame, honouring the hint where the format can scale while decoding.
using DecodeFn = Image (*)(std::string_view data, const std::string& name, ReduceHint hint);
// Encodes one image (and, for animation, opts.append_images).
using EncodeFn = std::string (*)(const Image& im, const EncodeOptions& opts);

// What a row-by-row decoder reads: an encoding in memory, or an open file. A view: whatever it
// reads must outlive it.
class ByteSource {
 public:
  explicit ByteSource(std::string_view memory) : memory_(memory), size_(memory.size()) {}
  explicit ByteSource(const OpenFile& file) : file_(&file), size_(file.size()) {}

  uint64_t size() const { return size_; }
  bool in_memory() const { return file_ == nullptr; }
  // Up to `n` bytes from `offset`, fewer only where the data ends (or the file has become
  // shorter): a view of the memory, or the file's bytes read into `scratch`. Nothing when the
  // file cannot be read.
  std::optional<std::string_view> read(uint64_t offset, size_t n, std::string& scratch) const;

 private:
  std::string_view memory_;
  const OpenFile* file_ = nullptr;
  uint64_t size_ = 0;
};

// Where a row-by-row decoder puts its rows: bands of consecutive rows, top to bottom, in
// buffers the sink hands out, so a full-size image never has to exist unless the sink wants it.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // The decoded size and mode, and the EXIF orientation the rows are stored in (1 = upright).
  // Returning false declines the stream: nothing further is called or decoded.
  virtual bool start(Mode mode, int width, int height, int orientation) = 0;
  // Room for rows starting at row `y`, `stride` bytes apart. `rows` comes in as the number of
  // rows left and goes out as the number the band has room for.
  virtual uint8_t* band(int y, int& rows, size_t& stride) = 0;
  // The band handed out last now holds `rows` rows (at least one).
  virtual void commit(int rows) = 0;
};
// Decodes the (first) frame into `sink`, as stored (not yet turned upright), honouring the
// hint like DecodeFn. False when the sink declined. Throws ImageError like DecodeFn.
using StreamFn = bool (*)(const ByteSource& data, const std::string& name, ReduceHint hint,
                          RowSink& sink);

// A byte pattern at an offset; a format matches when all its non-empty patterns match.
struct Magic {
  size_t offset = 0;
  std::string_view bytes;
};

struct Format {
  std::string_view name;
  std::array<std::string_view, 4> extensions;  // lower case, with the dot; unused slots empty
  std::array<Magic, 2> magic;
  bool alpha;      // can store an alpha band
  bool quality;    // honours EncodeOptions::quality
  bool animation;  // can store several frames
  HeaderFn header;
  DecodeFn decode;
  EncodeFn encode;
  StreamFn stream = nullptr;  // where the format decodes row by row
  bool reduces = false;       // decodes smaller by a ReduceHint (JPEG's DCT scaling)
};

// The format whose magic bytes begin `data`, or null.
const Format* detect(std::string_view data);
// The format called `name` ("JPEG", ...), or null.
const Format* find(std::string_view name);

// Throws ImageError unless width and height are positive and their product is within the
// pixel limit. Every decoder calls it after reading a header and before allocating.
void check_size(int64_t width, int64_t height, const std::string& name);

// A file cut short decodes as far as it goes. But a canvas above kSmallCanvasBytes is made only
// when the data there can fill at least an eighth of it: a few hundred bytes claiming a huge
// picture must not make us fill, and then work on, hundreds of megabytes of nothing. Whether
// the data, able to fill `filled` of the `whole` (rows, blocks), is too little for the canvas.
inline constexpr uint64_t kSmallCanvasBytes = uint64_t{16} << 20;
bool too_little_to_decode(uint64_t canvas_bytes, uint64_t filled, uint64_t whole);

// "'name'" for messages.
std::string quoted(const std::string& name);

// ---- adapters -------------------------------------------------------------------------------

Header jpeg_header(std::string_view data, const std::string& name);
Image jpeg_decode(std::string_view data, const std::string& name, ReduceHint hint);
bool jpeg_stream(const ByteSource& data, const std::string& name, ReduceHint hint, RowSink& sink);
std::string jpeg_encode(const Image& im, const EncodeOptions& opts);
// Whether progressive JPEGs are read on two threads: never (false), always (true: files of any
// size, on any number of CPUs, as tests and fuzz targets want), or, by default (nullopt),
// files of 512 KiB and more where a second CPU is spare. The two threads are our own reader's
// (see set_jpeg_scan_reader) or, where it cannot read the file, two libjpeg decoders sharing
// the scans. The pixels are the same either way.
void set_jpeg_shared_read(std::optional<bool> enabled);
// Whether our own reader takes a progressive file's scans after the first (on by default), or
// libjpeg reads them all. The pixels are the same.
void set_jpeg_scan_reader(bool enabled);

Header png_header(std::string_view data, const std::string& name);
Image png_decode(std::string_view data, const std::string& name, ReduceHint hint);
std::string png_encode(const Image& im, const EncodeOptions& opts);

Header gif_header(std::string_view data, const std::string& name);
Image gif_decode(std::string_view data, const std::string& name, ReduceHint hint);
std::string gif_encode(const Image& im, const EncodeOptions& opts);

Header webp_header(std::string_view data, const std::string& name);
Image webp_decode(std::string_view data, const std::string& name, ReduceHint hint);
std::string webp_encode(const Image& im, const EncodeOptions& opts);

Header tiff_header(std::string_view data, const std::string& name);
Image tiff_decode(std::string_view data, const std::string& name, ReduceHint hint);
std::string tiff_encode(const Image& im, const EncodeOptions& opts);

Header bmp_header(std::string_view data, const std::string& name);
Image bmp_decode(std::string_view data, const std::string& name, ReduceHint hint);
std::string bmp_encode(const Image& im, const EncodeOptions& opts);

// Sequential decoding of a GIF's frames, each composited onto the canvas as a viewer shows it.
class GifFrames {
 public:
  GifFrames(std::shared_ptr<const std::string> data, std::string name);
  ~GifFrames();
  GifFrames(const GifFrames&) = delete;
  GifFrames& operator=(const GifFrames&) = delete;
  // The next full frame, or null after the last: the first as P with its palette, every later
  // one as RGBA.
  ImagePtr next();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Turns pixels upright for an EXIF orientation 2..8 (mirror/rotate as the tag asks).
Image apply_orientation(const Image& im, int orientation);

// The whole image from a format's row-by-row decoder, turned upright, as DecodeFn gives it.
Image decode_streamed(const Format& format, const ByteSource& data, const std::string& name,
                      ReduceHint hint);

}  // namespace img_util::imaging::codec

namespace img_util {

// The undecoded file behind a lazily opened image: its bytes in memory, or, for a large file
// in a format decoded row by row, the file kept open and read as it is decoded.
class EncodedSource {
 public:
  std::shared_ptr<const std::string> bytes;  // null when `file` is set
  std::shared_ptr<const OpenFile> file;
  std::string name;
  const imaging::codec::Format* format = nullptr;

  imaging::codec::ByteSource input() const {
    return file ? imaging::codec::ByteSource(*file) : imaging::codec::ByteSource(*bytes);
  }
};

}  // namespace img_util
