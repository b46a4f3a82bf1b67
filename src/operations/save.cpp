// Output writer: prepare the image for its target, encode it in memory, and put the encoding
// and the processed marker in the target's place in one atomic step, so a failure at any point
// leaves the old file as it was and a written file always ends with its marker.
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/output_place.hpp"
#include "pipeline/marker.hpp"
#include "support/atomic_file.hpp"

namespace img_util {

namespace {

using ConstImagePtr = std::shared_ptr<const Image>;

bool ends_with_png(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext == ".png";
}

// The pixels alone: EXIF and every other kind of metadata dropped. The ICC profile stays
// because without it the colours change, and a palette image keeps its palette (and its
// transparent index) because its pixel values mean nothing without them.
ConstImagePtr without_metadata(const Image& im) {
  auto bare = std::make_shared<Image>(im.mode(), im.width(), im.height());
  bare->pixels() = im.pixels();
  if (im.mode() == Mode::P) {
    bare->palette = im.palette;
    bare->info.transparency = im.info.transparency;
  }
  bare->info.icc = im.info.icc;
  return bare;
}

// The encoding compression chose, when `im` still shows exactly its pixels: writing it as it
// is keeps the size compression measured. Anything in doubt means "encode afresh".
std::shared_ptr<const std::string> unchanged_adoption(const Image& im, const std::string& format) {
  const auto& adopted = im.info.adopted_bytes;
  if (!adopted || im.info.adopted_format != format) return nullptr;
  // Never decoded since: its pixels are those bytes by definition.
  if (imaging::undecoded_bytes(im) == adopted) return adopted;
  try {
    ImagePtr decoded = Image::open_bytes(*adopted);
    decoded->load();
    if (decoded->mode() != im.mode() || decoded->width() != im.width() ||
        decoded->height() != im.height() || decoded->pixels() != im.pixels())
      return nullptr;
    if (im.mode() == Mode::P && decoded->palette != im.palette) return nullptr;
    return adopted;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void IMAGES::save(const std::string& fpath, const Value& cfg, const ImagePtr& im_in) {
  if (!im_in) return;
  FilePlace place = output_place(fpath, cfg);
  const std::string path = place.path;
  const bool optimize = cfg.get("optimize", 0).truthy();
  // A quality chosen by compression holds for every encoding of this image, not only the first.
  const std::optional<int> quality = im_in->info.adopted_quality;

  ConstImagePtr im = im_in;
  bool prepared = false;  // whether the pixels or metadata differ from what compression adopted
  if (cfg.get("clearexif").truthy()) {
    im = without_metadata(*im);
    prepared = true;
  }

  const bool png_source = ends_with_png(fpath);
  if (png_source) {
    if (optimize) {
      im = std::make_shared<Image>(
          imaging::convert(imaging::convert(*im, Mode::RGB), Mode::P, 256));
      prepared = true;
    } else if (cfg.get("isopaque").truthy()) {
      im = std::make_shared<Image>(imaging::convert(*im, Mode::RGB));
      prepared = true;
    }
  }

  // `target` because clang before 16 cannot capture a structured binding.
  auto encode = [&, &target = path](const Image& img, bool with_optimize) {
    imaging::EncodeOptions opts;
    opts.optimize = with_optimize;
    opts.quality = quality;
    return imaging::encode(img, imaging::format_for_path(target), opts);
  };

  std::string encoded;
  std::shared_ptr<const std::string> adopted;
  // First attempt: any failure at all sends us to the plainer second attempt.
  try {
    if (!prepared) adopted = unchanged_adoption(*im, imaging::format_for_path(path));
    if (!adopted) encoded = encode(*im, optimize);
  } catch (...) {
    if (png_source) {
      encoded = encode(*im, false);
    } else {
      // Typically an alpha or palette image bound for a format without them (JPEG).
      encoded = encode(imaging::convert(*im, Mode::RGB), false);
    }
  }

  const std::string_view marker = marker_for(cfg);
  write_file_atomically(std::move(place),
                        {adopted ? std::string_view(*adopted) : std::string_view(encoded), marker});

  if (debug()) print_line(tuple_line({path, "done"}));
}

}  // namespace img_util
