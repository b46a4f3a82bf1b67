// Small steps both watermark operations share.
#pragma once

#include <string>
#include <system_error>
#include <thread>

#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"

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

// Runs fn(begin, end, part) over the rows [0, n), as two parts on two threads when the work
// (in pixels) pays for one; part is 0 or 1. Rows are computed the same way wherever they run,
// so results do not depend on the split. `fn` must not throw.
template <class Fn>
void split_rows(int n, double work, Fn&& fn) {
  constexpr double kWorthAThread = 1e6;
  if (n < 2 || work < kWorthAThread || std::thread::hardware_concurrency() < 2) return fn(0, n, 0);
  const int mid = n / 2;
  std::thread helper;
  try {
    helper = std::thread([&] { fn(0, mid, 0); });
  } catch (const std::system_error&) {
    return fn(0, n, 0);
  }
  fn(mid, n, 1);
  helper.join();
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
      for (int x = 0; x < w; ++x, in += 3, o += 4) o[0] = in[0], o[1] = in[1], o[2] = in[2], o[3] = 255;
    }
  });
  return out;
}

}  // namespace img_util::watermark
