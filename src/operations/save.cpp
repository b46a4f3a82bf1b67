// Output writer: prepare the image for its target, encode it in memory, and put the encoding
// and the processed marker in the target's place in one atomic step, so a failure at any point
// leaves the old file as it was and a written file always ends with its marker.
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "imaging/imaging.hpp"
#include "img_util/ascii.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/marker.hpp"
#include "operations/output_place.hpp"
#include "support/atomic_file.hpp"
#include "support/deferred.hpp"

namespace img_util {

namespace {

using ConstImagePtr = std::shared_ptr<const Image>;

bool ends_with_png(const std::string& path) { return ends_with_ascii_ci(path, ".png"); }

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

// Whether save changes the pixels or metadata before encoding, so that an adopted encoding no
// longer shows what is written.
bool prepares(const Value& cfg, bool png_source, bool optimize) {
  return cfg.get("clearexif").truthy() ||
         (png_source && (optimize || cfg.get("isopaque").truthy()));
}

// The image as it is to be encoded: metadata dropped on request; a PNG source reduced to a
// palette when optimising, or made opaque.
ConstImagePtr prepared(ConstImagePtr im, const Value& cfg, bool png_source, bool optimize) {
  if (cfg.get("clearexif").truthy()) im = without_metadata(*im);
  if (png_source) {
    if (optimize && !cfg.get("isopaque").truthy() && imaging::has_transparency(*im))
      // Made opaque first, a transparent logo would show whatever colour lay under its
      // transparent pixels. The palette keeps the alpha instead (tRNS), reduced the way Pillow
      // reduces RGBA. `isopaque` is how a user asks for the opaque result.
      im = std::make_shared<Image>(imaging::convert(imaging::convert(*im, Mode::RGBA), Mode::P));
    else if (optimize)
      im =
          std::make_shared<Image>(imaging::convert(imaging::convert(*im, Mode::RGB), Mode::P, 256));
    else if (cfg.get("isopaque").truthy())
      im = std::make_shared<Image>(imaging::convert(*im, Mode::RGB));
  }
  return im;
}

// The encoding compression adopted, when `im` still shows exactly its pixels: writing it as it
// is keeps the size compression measured. Anything in doubt means "encode afresh".
std::shared_ptr<const std::string> unchanged_adoption(const Image& im, const std::string& path) {
  if (!im.info.adoption || !im.info.adoption->bytes) return nullptr;
  const Adoption& adoption = *im.info.adoption;
  try {
    if (adoption.format != imaging::format_for_path(path)) return nullptr;
    // Never decoded since: its pixels are those bytes by definition.
    if (imaging::undecoded_bytes(im) == adoption.bytes) return adoption.bytes;
    if (!im.loaded()) return nullptr;
    ImagePtr decoded = Image::open_bytes(*adoption.bytes);
    decoded->load();
    if (decoded->mode() != im.mode() || decoded->width() != im.width() ||
        decoded->height() != im.height() || decoded->pixels() != im.pixels())
      return nullptr;
    if (im.mode() == Mode::P && decoded->palette != im.palette) return nullptr;
    return adoption.bytes;
  } catch (...) {
    return nullptr;  // an unknown extension or undecodable bytes: the encoder will say which
  }
}

// The encoding of `im` for `path` with the configured options; after any failure at all, the
// plainer second attempt, whose failure is this file's error.
std::string encode_for(const Image& im, const std::string& path, bool optimize, bool png_source,
                       std::optional<int> quality) {
  auto encode = [&](const Image& img, bool with_optimize) {
    imaging::EncodeOptions opts;
    opts.optimize = with_optimize;
    opts.quality = quality;
    return imaging::encode_for_path(img, path, opts);
  };
  try {
    return encode(im, optimize);
  } catch (...) {
    // Typically an alpha or palette image bound for a format without them (JPEG).
    if (png_source) return encode(im, false);
    return encode(imaging::convert(im, Mode::RGB), false);
  }
}

// What goes into the target: an adopted encoding as it is, or a fresh one.
struct Encoded {
  std::shared_ptr<const std::string> adopted;
  std::string fresh;
  std::optional<int> quality;  // the encoder quality, where one was used
  std::string_view bytes() const { return adopted ? std::string_view(*adopted) : fresh; }
};

// The encoding of `im` for the target `path`. An adopted encoding goes out as it is, undecoded,
// when nothing here changes what it shows; anything else is encoded from the pixels. A quality
// chosen by compression holds for every encoding of this image, not only the first.
Encoded encode_for_target(const std::string& fpath, const std::string& path, const Value& cfg,
                          const ImagePtr& im) {
  const bool optimize = cfg.get("optimize", 0).truthy();
  const bool png_source = ends_with_png(fpath);
  Encoded out;
  out.quality = im->info.adoption ? im->info.adoption->quality : std::nullopt;
  if (!prepares(cfg, png_source, optimize)) out.adopted = unchanged_adoption(*im, path);
  if (!out.adopted) {
    im->load();
    out.fresh = encode_for(*prepared(im, cfg, png_source, optimize), path, optimize, png_source,
                           out.quality);
  }
  return out;
}

void put(FilePlace place, const Encoded& encoded, const Value& cfg) {
  write_file_atomically(std::move(place), {encoded.bytes(), marker_for(cfg)});
}

void note_put(const std::string& path, const Encoded& encoded, const Value& cfg) {
  note_written(static_cast<int64_t>(encoded.bytes().size() + marker_for(cfg).size()),
               encoded.quality);
  if (debug()) print_line(tuple_line({path, "done"}));
}

}  // namespace

void IMAGES::save(const std::string& fpath, const Value& cfg, const ImagePtr& im) {
  if (!im) return;
  if (DeferredEffects* fx = deferring()) {
    // Worked on ahead of its turn: the encoding is made now, the target is placed at the turn.
    // A failed encoding is raised there too, after the placing that would have come first.
    const std::string path = target_path(fpath, cfg);
    auto encoded = std::make_shared<Encoded>();
    std::exception_ptr failed;
    try {
      *encoded = encode_for_target(fpath, path, cfg, im);
    } catch (...) {
      failed = std::current_exception();
    }
    fx->add([fpath, encoded, failed](const Value& run_cfg) {
      FilePlace place = output_place(fpath, run_cfg);
      if (failed) std::rethrow_exception(failed);
      put(std::move(place), *encoded, run_cfg);
    });
    fx->add([fpath](const Value& run_cfg) { check_place(fpath, run_cfg); },
            DeferredEffects::Kind::DryCheck);
    if (failed) std::rethrow_exception(failed);
    note_put(path, *encoded, cfg);
    return;
  }
  FilePlace place = output_place(fpath, cfg);
  const std::string path = place.path;
  const Encoded encoded = encode_for_target(fpath, path, cfg, im);
  put(std::move(place), encoded, cfg);
  note_put(path, encoded, cfg);
}

}  // namespace img_util
