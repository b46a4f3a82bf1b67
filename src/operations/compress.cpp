// compress: downscale to the configured limits and re-encode at falling quality until the
// encoding fits the target size.
//
// Trial encodings are made in memory and measured there; the scratch files `infile.<ext>`
// and `outfile.<ext>` are written once each and end with the same bytes as if every trial
// had been written to them (the probe, and the last trial made).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "img_util/errors.hpp"
#include "support/fd.hpp"
#include "img_util/images.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"
#include "operations/compress_trials.hpp"

namespace img_util {

namespace {

using compress_detail::after_trial;
using compress_detail::LoopStep;
using compress_detail::TrialEncoder;

double kib(const std::string& bytes) { return static_cast<double>(bytes.size()) / 1024.0; }


// Replaces the file at `path` with `bytes`. Throws OSError naming the file.
void write_scratch(const std::string& path, const std::string& bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw_errno(path);
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(path);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (fd.close() != 0) throw_errno(path);
}

// A pixel count from the configuration. Floats are accepted when they hold a whole number
// of pixels, as a JSON configuration may write 1920.0.
int64_t whole_number(const Value& v, const char* key) {
  if (v.is_float()) {
    double d = v.as_number();
    if (d != std::trunc(d) || std::fabs(d) > 1e15)
      throw TypeError(std::string(key) + " must be a whole number, not " + py_repr(v));
    return static_cast<int64_t>(d);
  }
  return v.as_int();
}

// The other side of the box when only one limit is set: int(other * limit / side), the
// division exact. Whole-number arithmetic truncates toward zero exactly like that.
// The product is formed in 128 bits so that an absurd limit cannot overflow.
int64_t derived_side(int64_t other, int64_t limit, int64_t side) {
  __int128 q = static_cast<__int128>(other) * limit / side;
  if (q > INT64_MAX) return INT64_MAX;
  if (q < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(q);
}

// The resize of the size rule, decoding straight into the resampler where it can. A JPEG
// that shrinks by half or more decodes at a DCT scale that still leaves twice the target
// box, so Lanczos has the detail it needs.
Image downscale(const Image& im, int width, int height) {
  ReduceHint hint;
  if (im.info.format == "JPEG" && int64_t{im.width()} >= 2 * int64_t{width} &&
      int64_t{im.height()} >= 2 * int64_t{height})
    hint = ReduceHint{2 * width, 2 * height};
  return imaging::decode_resized(im, width, height, hint);
}

// The quality of the first trial, when the configuration plainly asks for trials; looked at
// before the probe only to start that trial early, so it never fails.
std::optional<int> likely_first_trial(const Value& cfg) {
  Value q = cfg.get("quality");
  if (!q.is_int() || q.as_int() <= 0 || q.as_int() >= 100) return std::nullopt;
  return static_cast<int>(q.as_int());
}

void count_change(const Value& cfg) {
  Value& result = cfg.at("result");
  Value counter = result.at("compresscount");
  if (counter.is_float())
    result.set("compresscount", counter.as_number() + 1.0);
  else
    result.set("compresscount", counter.as_int() + 1);
}

}  // namespace

ImagePtr IMAGES::compress(const std::string& fpath, const Value& cfg, ImagePtr im, bool iscount) {
  // Outside the compression-only mode compression is optional.
  if (!cfg.get("iscompress") && !num_eq(cfg.at("maskmode"), 1)) return im;

  // Whether the image changed here: resized, made RGB to be storable, or re-encoded smaller.
  int state = 0;

  // A file we cannot open is no failure here: there is simply nothing to compress.
  if (!im) {
    try {
      im = Image::open(fpath);
    } catch (...) {
      return nullptr;
    }
  }

  // The image library we build on has no global encoder buffer to enlarge: our encoders
  // grow their output as needed, so nothing is set here.
  const int64_t x = im->width(), y = im->height();

  const bool optimize = cfg.get("optimize", 0).truthy();
  Value yswidth_v = cfg.get("yswidth"), ysheight_v = cfg.get("ysheight");

  // Size rule: one limit derives the other from the aspect ratio; both make an exact box.
  if (yswidth_v || ysheight_v) {
    int64_t yswidth = 0, ysheight = 0;
    if (yswidth_v && ysheight_v) {
      yswidth = whole_number(yswidth_v, "yswidth");
      ysheight = whole_number(ysheight_v, "ysheight");
    } else if (yswidth_v) {
      yswidth = whole_number(yswidth_v, "yswidth");
      ysheight = derived_side(y, yswidth, x);
    } else {
      ysheight = whole_number(ysheight_v, "ysheight");
      yswidth = derived_side(x, ysheight, y);
    }
    if (yswidth >= x && ysheight >= y) {
      // already within the box
    } else if (yswidth <= x && ysheight <= y) {
      if (yswidth <= 0 || ysheight <= 0)
        throw ValueError("cannot resize " + fpath + " to " + std::to_string(yswidth) + "x" +
                         std::to_string(ysheight) + ": height and width must be > 0");
      im = std::make_shared<Image>(
          downscale(*im, static_cast<int>(yswidth), static_cast<int>(ysheight)));
      state = 1;
    } else if (num_eq(cfg.at("maskmode"), 1)) {
      // One side over its limit, the other under it: there is no box to shrink into.
      return nullptr;
    }
  }

  // Scratch directory, one level, made when missing.
  Value tmp_v = cfg.get("tmpPath");
  const std::string tmp_path = tmp_v ? tmp_v.as_text() : std::string("./temp");
  struct stat st {};
  if (!(::stat(tmp_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    if (::mkdir(tmp_path.c_str(), 0777) != 0) throw_errno(tmp_path);
  }

  // The scratch files take the text after the last "." of the whole path.
  const size_t dot = fpath.rfind('.');
  const std::string ext = dot == std::string::npos ? fpath : fpath.substr(dot + 1);
  const std::string infile = tmp_path + "/infile." + ext;

  // Probe encoding with the encoder's defaults. An image the format cannot store (alpha
  // under a JPEG name) goes on as RGB, and that counts as a change. The first trial does not
  // depend on the probe's size, so it may start on another core while the probe is made.
  std::string format, probe;
  std::optional<TrialEncoder> trials;
  try {
    format = imaging::format_for_path(infile);
    im->load();
    trials.emplace(im, format, optimize);
    if (auto q = likely_first_trial(cfg)) trials->prefetch(*q);
    probe = imaging::encode(*im, format);
    write_scratch(infile, probe);
  } catch (...) {
    trials.reset();
    im = std::make_shared<Image>(imaging::convert(*im, Mode::RGB));
    format = imaging::format_for_path(infile);
    probe = imaging::encode(*im, format);
    write_scratch(infile, probe);
    state = 1;
  }

  Value ctrsize_v = cfg.get("ctrsize");
  Value quality_v = cfg.get("quality");
  int64_t quality = quality_v ? whole_number(quality_v, "quality") : 100;

  // Re-encode only for a quality strictly between 0 and 100.
  if (0 < quality && quality < 100) {
    const double o_size = kib(probe);
    double start_size = o_size;
    const std::string outfile = tmp_path + "/outfile." + ext;
    if (!trials) trials.emplace(im, format, optimize);
    std::optional<std::string> last;  // the last trial made: what outfile ends up holding
    int last_quality = 0;

    if (ctrsize_v) {
      const double ctrsize = ctrsize_v.as_number();
      const auto over_target = [ctrsize](double size_kib) { return size_kib > ctrsize; };
      trials->set_goes_on(
          [over_target](const std::string& bytes) { return over_target(kib(bytes)); });
      if (over_target(o_size)) {
        int q = static_cast<int>(quality);
        int step = 10;
        while (over_target(start_size) && q > 0) {
          const LoopStep next = after_trial(q, step);
          // Whether the loop could want another trial after this one, and at which quality.
          std::optional<int> ahead;
          if (!next.leave_now && next.next_quality > 0) ahead = next.next_quality;
          last = trials->encode(q, ahead);
          last_quality = q;
          step = next.step;
          // At quality 1 the loop ends before measuring: the comparison below then uses the
          // size of the trial before, while outfile holds this one.
          if (next.leave_now) break;
          q = next.next_quality;
          start_size = kib(*last);
        }
      }
    } else {
      last = trials->encode(static_cast<int>(quality));
      last_quality = static_cast<int>(quality);
      start_size = kib(*last);
    }

    if (last) {
      write_scratch(outfile, *last);
      // Strictly smaller than the probe, or it is not worth adopting.
      if (o_size > start_size) {
        // Left undecoded: written unchanged, the bytes go out as they are; decoded only if a
        // later step needs the pixels.
        auto adopted = Image::open_bytes(std::move(*last), outfile);
        adopted->info.adopted_bytes = imaging::undecoded_bytes(*adopted);
        adopted->info.adopted_format = format;
        if (compress_detail::format_uses_quality(format))
          adopted->info.adopted_quality = last_quality;
        im = std::move(adopted);
        state = 1;
      }
    }
  }

  if (iscount && state == 1) count_change(cfg);

  // In the compression-only mode an unchanged image is not worth writing.
  if (num_eq(cfg.at("maskmode"), 1) && state == 0) return nullptr;
  return im;
}

}  // namespace img_util
