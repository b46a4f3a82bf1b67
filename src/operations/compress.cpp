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
#include <utility>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/compress_trials.hpp"
#include "operations/count.hpp"
#include "support/deferred.hpp"
#include "support/files.hpp"

namespace img_util {

namespace {

using compress_detail::after_trial;
using compress_detail::LoopStep;
using compress_detail::TrialEncoder;

double kib(size_t bytes) { return static_cast<double>(bytes) / 1024.0; }

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

// The resize of the size rule, decoding straight into the resampler where it can. An image
// whose format decodes smaller (a JPEG, by DCT scaling) and that shrinks by half or more
// decodes at a scale that still leaves twice the target box, so Lanczos has the detail it needs.
Image downscale(const Image& im, int width, int height) {
  ReduceHint hint;
  if (imaging::format_caps(im.info.format).reduces && int64_t{im.width()} >= 2 * int64_t{width} &&
      int64_t{im.height()} >= 2 * int64_t{height})
    hint = ReduceHint{2 * width, 2 * height};
  return imaging::decode_resized(im, width, height, hint);
}

// The trials the configuration plainly asks for: the quality of the first, and the size target
// in KiB if there is one. Looked at before the probe only to start on the trials early, so it
// never fails.
struct LikelyTrials {
  int quality;
  std::optional<double> ctrsize;
};
std::optional<LikelyTrials> likely_trials(const Value& cfg) {
  Value q = cfg.get("quality");
  if (!q.is_int() || q.as_int() <= 0 || q.as_int() >= 100) return std::nullopt;
  LikelyTrials likely{static_cast<int>(q.as_int()), std::nullopt};
  Value ctrsize = cfg.get("ctrsize");
  if ((ctrsize.is_int() || ctrsize.is_float()) && ctrsize) likely.ctrsize = ctrsize.as_number();
  return likely;
}

// The loop goes on after a trial while its size is over the target of `ctrsize` KiB.
bool over_target(double size_kib, double ctrsize) { return size_kib > ctrsize; }
TrialEncoder::GoesOn goes_on_over(double ctrsize) {
  return [ctrsize](size_t size) { return over_target(kib(size), ctrsize); };
}

// How the size rule left the image.
enum class Sized {
  Within,  // already inside the box, or no limit set
  Shrunk,  // downscaled into the box
  NoBox,   // one side over its limit and the other under it, in the compression-only mode
};

// The box of the size rule for an image of x by y pixels: one limit derives the other from the
// aspect ratio; both make an exact box. None when no limit is set.
std::optional<std::pair<int64_t, int64_t>> size_box(const Value& cfg, int64_t x, int64_t y) {
  Value yswidth_v = cfg.get("yswidth"), ysheight_v = cfg.get("ysheight");
  if (yswidth_v && ysheight_v)
    return std::pair{whole_number(yswidth_v, "yswidth"), whole_number(ysheight_v, "ysheight")};
  if (yswidth_v) {
    const int64_t yswidth = whole_number(yswidth_v, "yswidth");
    return std::pair{yswidth, derived_side(y, yswidth, x)};
  }
  if (ysheight_v) {
    const int64_t ysheight = whole_number(ysheight_v, "ysheight");
    return std::pair{derived_side(x, ysheight, y), ysheight};
  }
  return std::nullopt;
}

// The size rule: an image larger than its box on both sides is downscaled into it.
Sized apply_size_rule(const std::string& fpath, const Value& cfg, ImagePtr& im) {
  const int64_t x = im->width(), y = im->height();
  const auto box = size_box(cfg, x, y);
  if (!box) return Sized::Within;
  const auto [yswidth, ysheight] = *box;
  if (yswidth >= x && ysheight >= y) return Sized::Within;
  if (yswidth <= x && ysheight <= y) {
    if (yswidth <= 0 || ysheight <= 0)
      throw ValueError("cannot resize " + fpath + " to " + std::to_string(yswidth) + "x" +
                       std::to_string(ysheight) + ": height and width must be > 0");
    im = std::make_shared<Image>(
        downscale(*im, static_cast<int>(yswidth), static_cast<int>(ysheight)));
    return Sized::Shrunk;
  }
  return num_eq(cfg.at("maskmode"), 1) ? Sized::NoBox : Sized::Within;
}

void make_scratch_dir(const std::string& tmp_path) {
  struct stat st {};
  if (!(::stat(tmp_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    if (::mkdir(tmp_path.c_str(), 0777) != 0) throw_errno(tmp_path);
  }
}

// The scratch directory of the trial encodings, one level, made when missing. The
// configuration names it (the frames of an animation use the plugin's own scratch folder).
// Every file of a run shares it, so a file worked on ahead of its turn makes it and writes its
// scratch files at its turn, and the folder ends as the run's last file left it.
std::string scratch_dir(const Value& cfg) {
  Value tmp_v = cfg.get("tmpPath");
  std::string tmp_path = tmp_v ? tmp_v.as_text() : default_scratch_dir();
  if (DeferredEffects* fx = deferring())
    fx->add([tmp_path](const Value&) { make_scratch_dir(tmp_path); });
  else
    make_scratch_dir(tmp_path);
  return tmp_path;
}

void write_scratch_file(const std::string& path, const std::string& bytes) {
  if (DeferredEffects* fx = deferring())
    return fx->add([path, bytes](const Value&) { write_whole_file(path, bytes); });
  write_whole_file(path, bytes);
}

// The probe: the image encoded with the encoder's defaults, as written to `infile`.
struct Probe {
  std::string format;
  std::string bytes;
  std::unique_ptr<TrialEncoder> trials;  // started early when the probe was made as it is
};

// The probe of the image as it is, made by the trials' encoder, which may share its work with
// the trials. The first trial does not depend on the probe's size, so it may start on another
// core beside the probe.
Probe probe_as_is(const ImagePtr& im, const std::string& infile, bool optimize, const Value& cfg) {
  Probe probe;
  probe.format = imaging::format_for_path(infile);
  im->load();
  probe.trials = std::make_unique<TrialEncoder>(im, probe.format, optimize);
  std::optional<int> first_trial;
  if (auto likely = likely_trials(cfg)) {
    if (likely->ctrsize) probe.trials->set_goes_on(goes_on_over(*likely->ctrsize));
    first_trial = likely->quality;
  }
  probe.bytes = probe.trials->probe(first_trial);
  write_scratch_file(infile, probe.bytes);
  return probe;
}

// The probe of the image made RGB, which every format can store.
Probe probe_as_rgb(ImagePtr& im, const std::string& infile) {
  im->load();
  im = std::make_shared<Image>(imaging::convert(*im, Mode::RGB));
  Probe probe;
  probe.format = imaging::format_for_path(infile);
  probe.bytes = imaging::encode_for_path(*im, infile);
  write_scratch_file(infile, probe.bytes);
  return probe;
}

// A trial encoding and the quality it was made at.
struct Trial {
  std::string bytes;
  int quality;
};

// What the quality search ended with: the last trial made (what outfile ends up holding) and
// the size the loop last measured, in KiB.
struct Search {
  std::optional<Trial> last;
  double measured_kib;
};

// Trials at falling quality from `quality` until one fits `ctrsize` KiB or the quality runs
// out; none when the probe fits already.
Search towards_target(TrialEncoder& trials, int quality, double ctrsize, double probe_kib) {
  trials.set_goes_on(goes_on_over(ctrsize));
  Search search{std::nullopt, probe_kib};
  if (!over_target(probe_kib, ctrsize)) return search;
  int q = quality;
  int step = 10;
  while (over_target(search.measured_kib, ctrsize) && q > 0) {
    const LoopStep next = after_trial(q, step);
    // Whether the loop could want another trial after this one, and at which quality.
    std::optional<int> ahead;
    if (!next.leave_now && next.next_quality > 0) ahead = next.next_quality;
    // The size of a trial the loop goes on after only makes it go on, unless the trial after it
    // leaves without being measured: then this size is the one compared with the probe.
    const bool size_will_do = ahead && !after_trial(*ahead, next.step).leave_now;
    TrialEncoder::Measured made = trials.measure(q, ahead, size_will_do);
    if (made.bytes) search.last = Trial{std::move(*made.bytes), q};
    step = next.step;
    // At quality 1 the loop ends before measuring: the comparison with the probe then uses
    // the size of the trial before, while outfile holds this one.
    if (next.leave_now) break;
    q = next.next_quality;
    search.measured_kib = kib(made.size);
  }
  return search;
}

// An encoding as the image to write, left undecoded: written unchanged, the bytes go out as
// they are; decoded only if a later step needs the pixels. `quality` is what it was made at,
// for formats that use one (none for the probe: the encoder's default).
ImagePtr adopt(Trial trial, const std::string& outfile, const std::string& format,
               std::optional<int> quality) {
  auto adopted = Image::open_bytes(std::move(trial.bytes), outfile);
  Adoption adoption{imaging::undecoded_bytes(*adopted), format, std::nullopt};
  if (compress_detail::format_uses_quality(format)) adoption.quality = quality;
  adopted->info.adoption = std::move(adoption);
  return adopted;
}

// With a size target in the compression-only mode, a probe that fits ends the quality search
// with nothing adopted, which would leave a source file far over the target as it is. The
// probe is taken instead when it fits and the file on disk is over the target and larger.
// (In the watermark modes the image is encoded afresh anyway, as the probe was.)
bool probe_meets_target_file_does_not(const std::string& fpath, const Value& cfg,
                                      const Probe& probe) {
  if (!num_eq(cfg.at("maskmode"), 1)) return false;
  const Value ctrsize = cfg.get("ctrsize");
  const Value quality_v = cfg.get("quality");
  if (!ctrsize || !quality_v) return false;
  const int64_t quality = whole_number(quality_v, "quality");
  if (quality <= 0 || quality >= 100) return false;
  const double target = ctrsize.as_number();
  const int64_t on_disk = file_size(fpath);
  return kib(probe.bytes.size()) <= target && static_cast<double>(on_disk) / 1024.0 > target &&
         on_disk > static_cast<int64_t>(probe.bytes.size());
}

// The quality search for a quality strictly between 0 and 100: the last trial, adopted when
// it is strictly smaller than the probe (or it is not worth adopting); null otherwise.
ImagePtr search_quality(const Value& cfg, const ImagePtr& im, Probe& probe, bool optimize,
                        const std::string& outfile) {
  Value ctrsize_v = cfg.get("ctrsize");
  Value quality_v = cfg.get("quality");
  const int64_t quality = quality_v ? whole_number(quality_v, "quality") : 100;
  if (quality <= 0 || quality >= 100) return nullptr;

  const double probe_kib = kib(probe.bytes.size());
  if (!probe.trials) probe.trials = std::make_unique<TrialEncoder>(im, probe.format, optimize);
  Search search{std::nullopt, probe_kib};
  if (ctrsize_v) {
    search =
        towards_target(*probe.trials, static_cast<int>(quality), ctrsize_v.as_number(), probe_kib);
  } else {
    search.last = Trial{probe.trials->encode(static_cast<int>(quality)), static_cast<int>(quality)};
    search.measured_kib = kib(search.last->bytes.size());
  }
  if (!search.last) return nullptr;
  write_scratch_file(outfile, search.last->bytes);
  if (!(probe_kib > search.measured_kib)) return nullptr;
  const int quality_used = search.last->quality;
  return adopt(std::move(*search.last), outfile, probe.format, quality_used);
}

}  // namespace

ImagePtr IMAGES::compress(const std::string& fpath, const Value& cfg, ImagePtr im, bool iscount) {
  // Outside the compression-only mode compression is optional.
  if (!cfg.get("iscompress") && !num_eq(cfg.at("maskmode"), 1)) return im;

  const bool opened_here = !im;
  // A file that is no image has nothing to compress; one that is but cannot be read fails.
  if (!im && !(im = Image::open_if_image(fpath))) {
    note_unchanged("not an image");
    return nullptr;
  }
  // Our encoders grow their output as needed: there is no global encoder buffer to enlarge.
  const bool optimize = cfg.get("optimize", 0).truthy();

  // Whether the image changed here: resized, made RGB to be storable, or re-encoded smaller.
  const Sized sized = apply_size_rule(fpath, cfg, im);
  if (sized == Sized::NoBox) return nullptr;
  bool changed = sized == Sized::Shrunk;

  // The scratch files take the text after the last "." of the whole path.
  const std::string tmp_path = scratch_dir(cfg);
  const size_t dot = fpath.rfind('.');
  const std::string ext = dot == std::string::npos ? fpath : fpath.substr(dot + 1);
  const std::string infile = tmp_path + "/infile." + ext;

  Probe probe;
  try {
    probe = probe_as_is(im, infile, optimize, cfg);
  } catch (...) {
    // Typically alpha under a JPEG name: the image goes on as RGB, and that counts as a
    // change; a failure of that second probe is this file's error.
    probe = probe_as_rgb(im, infile);
    changed = true;
  }

  if (ImagePtr adopted = search_quality(cfg, im, probe, optimize, tmp_path + "/outfile." + ext)) {
    im = std::move(adopted);
    changed = true;
  } else if (!changed && opened_here && probe_meets_target_file_does_not(fpath, cfg, probe)) {
    im = adopt(Trial{std::move(probe.bytes), 0}, infile, probe.format, std::nullopt);
    changed = true;
  }

  if (iscount && changed) count_one(cfg, "compresscount");
  // In the compression-only mode an unchanged image is not worth writing.
  if (num_eq(cfg.at("maskmode"), 1) && !changed) {
    note_unchanged("already fits: no smaller encoding");
    return nullptr;
  }
  return im;
}

}  // namespace img_util
