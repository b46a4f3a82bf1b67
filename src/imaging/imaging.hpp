// Our image library's internal interface: codecs by format, and pure pixel operations.
// Every function returns a new image; none changes its argument.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "img_util/errors.hpp"
#include "img_util/image.hpp"

namespace img_util::imaging {

// ---- formats and codecs -------------------------------------------------------------------

// Encoder options, as Pillow's save() keywords.
struct EncodeOptions {
  std::optional<int> quality;  // JPEG/WebP 1..100; default 75 (JPEG), 80 (WebP). Ignored elsewhere.
  bool optimize = false;  // JPEG: optimised Huffman tables; PNG: zlib level 9; GIF: drop unused
                          // palette entries and crop later frames to their changed rectangle
  bool keep_icc = true;   // write info.icc where the format can hold it
  // Write info.exif too. Off by default, as in Pillow: an EXIF block carries GPS positions,
  // serial numbers and a thumbnail that can outweigh a small photo's pixels.
  bool keep_exif = false;
  // Animated GIF only.
  bool save_all = false;
  std::vector<std::shared_ptr<const Image>> append_images;
  std::optional<int> loop;      // 0 = forever
  std::optional<int> duration;  // ms, for every frame
};

// Format name ("JPEG", "PNG", "GIF", "WEBP", "BMP") for a path's extension (any letter case).
// Throws ValueError("unknown file extension: .xyz") for anything else.
std::string format_for_path(const std::string& path);

// What the codec of a format can do, as the format table says; all false for an unknown name
// (and for the empty format of a made image).
struct FormatCaps {
  bool alpha = false;      // stores an alpha band
  bool quality = false;    // honours EncodeOptions::quality
  bool animation = false;  // stores several frames
  bool reduces = false;    // decodes smaller by a ReduceHint (JPEG's DCT scaling)
};
FormatCaps format_caps(const std::string& format);

// Encodes `im` in `format`. Throws ImageError when the format cannot store the mode
// (JPEG refuses P, LA and RGBA: "cannot write mode RGBA as JPEG").
std::string encode(const Image& im, const std::string& format, const EncodeOptions& opts = {});

// Encodes `im` for the file at `path`, in the format of its extension. An encoder's failure
// names that file: "cannot write mode RGBA as JPEG for '/site/a.jpg'".
std::string encode_for_path(const Image& im, const std::string& path,
                            const EncodeOptions& opts = {});

// Encodes into the file at `path` (format from the extension), replacing it. A plain write:
// callers that write over a source use support/atomic_file instead.
void save(const Image& im, const std::string& path, const EncodeOptions& opts = {});

namespace codec {
struct GifAssembler;
}

// An animated GIF assembled from frames given one at a time: finish() returns the bytes that
// encode(first, "GIF", opts) gives with save_all and the later frames as append_images
// (optimize, loop and duration as there). The frames are held until finish(), since one with
// transparency changes how all are written, unless the caller vouches with `opaque_frames`
// that no later frame has transparency or another size than the first (the first may have a
// transparent colour, which stays transparent where later frames do not change the colour);
// then only the last frame is held. add() throws ValueError for a frame that breaks that
// promise, finish() for no frames.
class GifWriter {
 public:
  GifWriter(const EncodeOptions& opts, bool opaque_frames);
  ~GifWriter();
  GifWriter(const GifWriter&) = delete;
  GifWriter& operator=(const GifWriter&) = delete;
  void add(std::shared_ptr<const Image> frame);
  std::string finish();

 private:
  std::unique_ptr<codec::GifAssembler> gif_;
  size_t frames_ = 0;
};

// An animation has at most this many frames; each is worked on as a picture of its own.
inline constexpr int kFrameLimit = 5000;
// Throws ImageError naming `name` when `frames` frames of `width` x `height` pixels exceed
// kFrameLimit or, together, the pixel limit.
void check_animation(int frames, int64_t width, int64_t height, const std::string& name);

// Decodes the frames of a (GIF) image one at a time, each composited to a full frame as a
// viewer shows it, with info.duration (absent without a graphic control extension) and
// info.loop set per frame: the first frame as P with its palette and transparency index, as
// load() gives it, every later one as RGBA. Only the frame being built is held in memory.
// For still formats it yields the one image.
class FrameReader {
 public:
  // Throws ImageError naming the file for an animation of more than kFrameLimit frames, or one
  // whose frames add up to more than the pixel limit; nothing is decoded or allocated then.
  explicit FrameReader(const Image& opened);
  ~FrameReader();
  // Next frame, or null after the last one. Throws ImageError on data it cannot decode at all.
  ImagePtr next();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// ---- pixel operations ---------------------------------------------------------------------

// Mode conversion as Pillow's convert(): L<->RGB by ITU-R 601-2 luma, alpha added opaque or
// dropped, P expanded through its palette (tRNS/transparency index honoured). To P: an
// adaptive palette of at most `colors` entries (median cut), no dithering; an RGBA source
// gets Pillow's octree palette of exactly `colors` RGBA entries instead, alpha included.
// The result keeps info (EXIF, ICC, GIF timing) but not the format or an adopted encoding.
// Throws ValueError for `colors` outside 1..256.
Image convert(const Image& im, Mode to, int colors = 256);
// convert(convert(im, Mode::RGB), Mode::P, colors), without making the RGB image: alpha is
// ignored and a P image is read through its palette. Throws ValueError as convert does.
Image convert_to_p_via_rgb(const Image& im, int colors = 256);
// Whether any pixel is less than fully opaque (an alpha band below 255, or a palette entry
// with alpha that some pixel uses).
bool has_transparency(const Image& im);

// Lanczos-3 resampling with the support scaled by the reduction (Pillow's ANTIALIAS);
// images with alpha are resampled premultiplied, P images by nearest neighbour (palette
// indices cannot be averaged). Same size returns a copy. Throws ValueError for a size < 1.
Image resize(const Image& im, int width, int height);
// The same, using `im` up: an image with alpha is premultiplied in its own pixels rather than in
// a copy, which for a large picture is the largest buffer of the resize.
Image resize(Image&& im, int width, int height);

// Throws the ImageError a new Image of this many pixels would throw: above pixel_limit().
void check_pixel_limit(int64_t pixels);

// resize() of a lazily opened image without decoding it whole: where the format decodes row
// by row (JPEG) the rows go straight into the resampler, so the full-size pixels never exist,
// and the decoding may run on a second CPU. `hint` lets the decoder scale down first, as for
// Image::load. The result is that of load(hint) then resize(); `im` itself stays as it is.
Image decode_resized(const Image& im, int width, int height, ReduceHint hint = {});

// The encoded bytes behind an image that has not been decoded yet (its pixels are exactly
// their decoding), or null once it has been, when it was made in memory, or when its file is
// read as it is decoded.
std::shared_ptr<const std::string> undecoded_bytes(const Image& im);

// EXIF orientation tag (1..8) of raw EXIF bytes; 1 when absent or unreadable.
int exif_orientation(const std::string& exif);
// The same EXIF with its orientation tag set to 1.
std::string exif_with_orientation_1(std::string exif);

}  // namespace img_util::imaging
