// Small steps both watermark operations share.
#pragma once

#include <string>

#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"

namespace img_util::watermark {

// Raises result["maskcount"] by one, keeping its number type; the lookups are required ones.
inline void count_watermark(const Value& cfg) {
  Value& result = cfg.at("result");
  Value& count = result.at("maskcount");
  if (count.is_float())
    count = Value(count.as_number() + 1.0);
  else if (count.is_int() || count.is_bool())
    count = Value(count.as_int() + 1);
  else
    throw TypeError("can only count 'maskcount' when it is a number, not '" + count.type_name() + "'");
}

// A path from the configuration: text, or bytes taken as they are.
inline std::string path_value(const Value& v, const char* key) {
  if (v.is_text()) return v.as_text();
  if (v.is_bytes()) return v.as_bytes().data;
  throw TypeError(std::string("'") + key + "' must be a path, not '" + v.type_name() + "'");
}

// What a new image made from `from` keeps of its metadata: the profile, EXIF and animation
// timing, never the encoding that compression may have adopted (the pixels change).
inline void keep_metadata(const Image& from, Image& to) {
  to.info.exif = from.info.exif;
  to.info.icc = from.info.icc;
  to.info.duration = from.info.duration;
  to.info.loop = from.info.loop;
}

// `im` in RGBA: RGB gains an opaque alpha band here; other modes go through convert().
inline Image to_rgba(const Image& im) {
  if (im.mode() == Mode::RGBA) return im;
  if (im.mode() != Mode::RGB) return imaging::convert(im, Mode::RGBA);
  Image out(Mode::RGBA, im.width(), im.height());
  for (int y = 0; y < im.height(); ++y) {
    const uint8_t* in = im.row(y);
    uint8_t* o = out.row(y);
    for (int x = 0; x < im.width(); ++x, in += 3, o += 4) o[0] = in[0], o[1] = in[1], o[2] = in[2], o[3] = 255;
  }
  return out;
}

}  // namespace img_util::watermark
