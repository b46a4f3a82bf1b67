// doing_gif: one file whose name ends in ".gif".
//
// A still GIF (or a file that only carries the name) goes to the still-image pipeline. An
// animated GIF in the compression-only mode with the lossy pass enabled goes to gifsicle. Any
// other animated GIF is taken apart frame by frame, each frame compressed and watermarked, and
// put back together into the scratch GIF, which becomes the target with its processed marker.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/marker.hpp"
#include "operations/output_place.hpp"
#include "support/atomic_file.hpp"
#include "support/files.hpp"

namespace img_util {
namespace {

// `im` in mode `m`; the image itself when it is in that mode already (a conversion to the same
// mode would only copy it).
ImagePtr to_mode(const ImagePtr& im, Mode m) {
  if (im->mode() == m) return im;
  return std::make_shared<Image>(imaging::convert(*im, m));
}

// The colour mode, then an adaptive palette of 256 colours. An RGB palette is made straight
// from the source, without the RGB copy: alpha plays no part in it, and a palette image is
// read through its palette.
ImagePtr to_palette(const ImagePtr& im, Mode colour_mode) {
  im->load();  // a frame that compression adopted comes back undecoded
  if (colour_mode == Mode::RGB) return std::make_shared<Image>(imaging::convert_to_p_via_rgb(*im));
  ImagePtr colour = to_mode(im, colour_mode);
  return std::make_shared<Image>(imaging::convert(*colour, Mode::P, 256));
}

// The frame number of a frame scratch file's name ("src12.jpg", "src12.png"), or 0.
int64_t frame_number(const std::string& name) {
  if (name.size() < 8 || name.compare(0, 3, "src") != 0) return 0;
  const std::string ext = name.substr(name.size() - 4);
  if (ext != ".jpg" && ext != ".png") return 0;
  const std::string digits = name.substr(3, name.size() - 7);
  if (digits.empty() || digits[0] == '0') return 0;
  int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = std::min<int64_t>(n * 10 + (c - '0'), INT32_MAX);  // all past any limit from there
  }
  return n;
}

// Frame scratch files are overwritten by number, so the frame limit bounds how many there are;
// those numbered past it (left by an animation longer than any run now takes on) would never
// be overwritten again, and go. Failures leave a file behind and nothing worse.
void remove_frame_scratch_beyond_limit(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (frame_number(it->path().filename().string()) <= imaging::kFrameLimit) continue;
    std::error_code ignored;
    fs::remove(it->path(), ignored);
  }
}

struct ScratchFrame {
  ImagePtr palette;  // the frame reduced to its adaptive palette
  ImagePtr working;  // what the operations work on: `palette`, or its colour-mode expansion
};

// One frame's scratch file: the palette frame is saved where the format can hold it; where it
// cannot (a JPEG refuses palettes) the frame goes on in the colour mode and is saved as such.
// The decoded frame is let go as soon as its palette frame exists.
ScratchFrame write_frame_scratch(ImagePtr source, Mode colour_mode, const std::string& tpath) {
  imaging::EncodeOptions opts;
  opts.optimize = true;
  ScratchFrame frame{nullptr, std::move(source)};
  try {
    frame.palette = frame.working = to_palette(frame.working, colour_mode);
    imaging::save(*frame.working, tpath, opts);
  } catch (const OSError&) {
    frame.working = to_mode(frame.working, colour_mode);
    imaging::save(*frame.working, tpath, opts);
  }
  return frame;
}

// The first frame's transparent colour, when it has one. Made RGB for its scratch file, the
// frame loses its transparency index; the host's image library carries the colour along
// instead, and the reduced frame shows it transparent again (later frames have none).
std::optional<Rgba> first_frame_colour_key(const Image& im) {
  if (im.mode() != Mode::P || !im.info.transparency) return std::nullopt;
  const auto t = static_cast<size_t>(*im.info.transparency);
  if (t >= im.palette.size()) return std::nullopt;
  return im.palette[t];
}

// Marks the palette entry of exactly `key`'s colour transparent, where the reduction kept
// that colour; otherwise the frame has no transparent pixel, as in the host's result.
void keep_colour_key(Image& frame, Rgba key) {
  for (size_t i = 0; i < frame.palette.size(); ++i)
    if (frame.palette[i][0] == key[0] && frame.palette[i][1] == key[1] &&
        frame.palette[i][2] == key[2]) {
      frame.info.transparency = static_cast<int>(i);
      return;
    }
}

// One decoded frame through its scratch file and the operations of the mode, back as a
// palette frame with the source frame's display time. The run's counters move once per GIF,
// with its first frame.
ImagePtr finish_frame(IMAGES& self, ImagePtr decoded, int index, const Value& cfg, bool jpg,
                      std::optional<Rgba> colour_key) {
  const Mode colour_mode = jpg ? Mode::RGB : Mode::RGBA;
  const std::optional<int> display_time = decoded->info.duration;
  const std::string tpath =
      path_join(IMAGES::tmpPath(), "src" + std::to_string(index) + (jpg ? ".jpg" : ".png"));
  ScratchFrame frame = write_frame_scratch(std::move(decoded), colour_mode, tpath);

  const bool iscount = index == 1;
  ImagePtr tim = IMAGES::compress(tpath, cfg, frame.working, iscount);
  const bool stamped = num_eq(cfg.at("maskmode"), 2) || num_eq(cfg.at("maskmode"), 3);
  if (num_eq(cfg.at("maskmode"), 2))
    tim = self.watermark_word(tpath, cfg, tim, iscount);
  else if (num_eq(cfg.at("maskmode"), 3))
    tim = self.watermark_pic(tpath, cfg, tim, iscount);
  // The transparent colour travels with the frame's own pixels, resized or not; an adopted
  // trial is a fresh JPEG, and a watermark makes a new picture.
  const bool keeps_key = colour_key && !stamped && !(tim && tim->info.adoption);
  // Untouched by the operations, the frame keeps its palette frame's colours, which give the
  // same palette again as their expansion would, and far cheaper from 1-byte indices.
  // (to_palette brings a result into the colour mode itself.) The forms not needed are let go
  // first.
  ImagePtr finished = tim ? std::move(tim) : frame.palette ? frame.palette : frame.working;
  frame = {};
  ImagePtr done = to_palette(finished, colour_mode);
  done->info.duration = display_time;
  if (keeps_key) keep_colour_key(*done, *colour_key);
  return done;
}

// The animation's frames, each finished, put together again as a GIF. Each frame keeps its
// own display time (none where the source has none), and the animation its loop count: one
// that played once still plays once.
std::string reassemble(IMAGES& self, ImagePtr im, const std::string& fpath, const Value& cfg,
                       bool jpg) {
  // Finished frames go to the GIF writer as palette images, one byte a pixel. Frames reduced
  // from RGB have opaque palettes and all come out one size, so the writer need not hold them
  // (frames with alpha might have transparency, which decides how all are written).
  imaging::EncodeOptions opts;
  opts.save_all = true;
  opts.loop = im->info.loop;
  opts.optimize = true;
  imaging::GifWriter assembly(opts, /*opaque_frames=*/jpg);
  remove_frame_scratch_beyond_limit(IMAGES::tmpPath());
  const std::optional<Rgba> colour_key = jpg ? first_frame_colour_key(*im) : std::nullopt;
  int index = 0;
  {
    imaging::FrameReader reader(*im);
    while (ImagePtr decoded = reader.next()) {
      ++index;
      assembly.add(finish_frame(self, std::move(decoded), index, cfg, jpg,
                                index == 1 ? colour_key : std::nullopt));
    }
  }
  if (index == 0) throw ImageError("no frames could be read", fpath);
  return assembly.finish();
}

}  // namespace

void IMAGES::doing_gif(const std::string& fpath, const Value& cfg, const std::string& mode) {
  if (!check(fpath, cfg)) return;
  note_file_selected();
  refuse_link_leaving_folder(fpath, cfg);
  // A file that is no image has nothing to do: no backup, no line. One that is an image but
  // cannot be read fails, naming the cause, before its backup.
  ImagePtr im = Image::open_if_image(fpath);
  if (!im) return;

  if (!im->is_animated()) {
    im.reset();
    doing(fpath, cfg, /*use_check=*/false);
    return;
  }
  // An animation beyond the frame or pixel limits is refused before anything else is done
  // with it, the lossy pass included.
  imaging::check_animation(im->frame_count(), im->width(), im->height(), fpath);
  if (cfg.get("isgifsicle").truthy() && num_eq(cfg.at("maskmode"), 1)) {
    im.reset();
    gifsicle(fpath, cfg);
    return;
  }

  const int64_t size0 = file_size(fpath);
  backup(fpath, cfg);
  if (debug()) print_line(tuple_line({fpath, "start", ".."}));
  const std::string gif = reassemble(*this, std::move(im), fpath, cfg, mode == "jpg");

  // The scratch GIF is a plain write: nothing of value is lost when it fails half-way.
  const std::string path2 = path_join(basedir(), "tmp.gif");
  write_whole_file(path2, gif);
  const int64_t size2 = file_size(path2);
  // Compression alone must pay for itself; a watermark is written whatever it costs.
  if (num_eq(cfg.at("maskmode"), 1) && size2 >= size0) {
    note_unchanged("the new GIF is not smaller");
    return;
  }

  // The marker is chosen before anything is written, so a target never lacks it; the new
  // content replaces the target in one rename, so a failure leaves the old file whole.
  const std::string_view marker = marker_for(cfg);
  write_file_atomically(output_place(fpath, cfg), {gif, marker});
  note_written(static_cast<int64_t>(gif.size() + marker.size()));
}

}  // namespace img_util
