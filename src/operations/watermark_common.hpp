// Small steps both watermark operations share.
#pragma once

#include <string>
#include <system_error>
#include <thread>

#include "imaging/imaging.hpp"
#include "imaging/split_rows.hpp"
#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/value.hpp"

namespace img_util::watermark {

// A path from the configuration: text, or bytes taken as they are.
inline std::string path_value(const Value& v, const char* key) {
  if (v.is_text()) return v.as_text();
  if (v.is_bytes()) return v.as_bytes().data;
  throw TypeError(std::string("'") + key + "' must be a path, not '" + v.type_name() + "'");
}

// What a new image made from `from` keeps of its metadata: the profile, EXIF, animation timing
// and the quality compression chose (so the written file stays near its size target), never
// the adopted encoding itself (the pixels change).
inline void keep_metadata(const Image& from, Image& to) {
  to.info.exif = from.info.exif;
  to.info.icc = from.info.icc;
  to.info.duration = from.info.duration;
  to.info.loop = from.info.loop;
  to.info.adoption = from.info.adoption;
  if (to.info.adoption) to.info.adoption->bytes.reset();
}

// Below this many pixels a second thread costs more than it saves.
inline constexpr double kWorthAThread = 1e6;

template <class Fn>
void split_rows(int n, double work, Fn&& fn) {
  imaging::split_rows(n, work, kWorthAThread, std::forward<Fn>(fn));
}

// `im` in RGBA: RGB gains an opaque alpha band here; other modes go through convert().
inline Image to_rgba(const Image& im) {
  if (im.mode() == Mode::RGBA) return im;
  if (im.mode() != Mode::RGB) return imaging::convert(im, Mode::RGBA);
  im.pixels();  // decoded here, not inside the threads
  Image out(Mode::RGBA, im.width(), im.height());
  const int w = im.width();
  split_rows(im.height(), static_cast<double>(w) * im.height(), [&](int y0, int y1, int) {
    for (int y = y0; y < y1; ++y) {
      const uint8_t* in = im.row(y);
      uint8_t* o = out.row(y);
      for (int x = 0; x < w; ++x, in += 3, o += 4)
        o[0] = in[0], o[1] = in[1], o[2] = in[2], o[3] = 255;
    }
  });
  return out;
}

}  // namespace img_util::watermark
