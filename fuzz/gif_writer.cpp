// The GIF writer's frame optimiser: frames described by the input (palette images and grey ones,
// with or without transparency, of the first frame's size or another, some repeating or
// changing part of the one before) are written with and without optimisation, and the file read
// back must show the same pictures in the same order. The optimiser may merge a frame into the
// one before when they look the same, so runs of equal pictures are compared as one.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz.hpp"
#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/image.hpp"

using namespace img_util;

namespace {

// What a viewer shows, pixel by pixel: RGBA, with every transparent pixel as 0.
using Look = std::vector<uint32_t>;

std::shared_ptr<Image> make_frame(fuzz::Input& in, const Image* before, int sw, int sh) {
  const uint8_t kind = in.take_byte();
  int w = sw, h = sh;
  if (!before || kind & 0x10) w = in.take_int(1, 24), h = in.take_int(1, 24);
  auto im = std::make_shared<Image>(kind & 1 ? Mode::L : Mode::P, w, h);
  if (im->mode() == Mode::P) {
    const int colours = kind & 0x20 ? 256 : in.take_int(1, 8);
    for (int i = 0; i < colours; ++i) {
      // Alpha is all or nothing mostly, as GIFs have it; sometimes in between.
      const uint8_t a = in.take_byte();
      const uint8_t alpha = a < 16 ? 0 : a < 32 ? a : 255;
      im->palette.push_back({in.take_byte(), in.take_byte(), in.take_byte(), alpha});
    }
    if (kind & 2) im->info.transparency = in.take_int(0, colours + 1);
  }
  if (kind & 4) im->info.duration = in.take_int(0, 255) * 10;
  const bool repeat = before && before->mode() == im->mode() && before->width() == w &&
                      before->height() == h && kind & 8;
  if (repeat) {
    im->pixels() = before->pixels();
    im->palette = before->palette;
    im->info.transparency = before->info.transparency;
    const int edits = in.take_int(0, 3);
    for (int e = 0; e < edits; ++e)
      im->pixels()[in.take_byte() % im->pixels().size()] = in.take_byte();
  } else {
    const int span = im->mode() == Mode::L ? 256 : static_cast<int>(im->palette.size()) + 2;
    for (uint8_t& px : im->pixels()) px = static_cast<uint8_t>(in.take_byte() % span);
  }
  return im;
}

// The picture a frame given to the writer should show on a screen of sw x sh, placed at the top
// left: the writer's own rules for which palette entry is transparent.
Look expected_look(const Image& im, int sw, int sh) {
  int t = im.info.transparency.value_or(-1);  // -1: none
  if (t > 255) t = -1;                        // no such index
  if (im.mode() == Mode::P && t < 0)
    for (size_t i = 0; i < im.palette.size(); ++i)
      if (im.palette[i][3] == 0) {
        t = static_cast<int>(i);
        break;
      }
  Look look(static_cast<size_t>(sw) * sh, 0);
  for (int y = 0; y < std::min(sh, im.height()); ++y)
    for (int x = 0; x < std::min(sw, im.width()); ++x) {
      const int i = im.row(y)[x];
      if (i == t) continue;
      Rgba c{0, 0, 0, 255};
      if (im.mode() == Mode::L)
        c = {uint8_t(i), uint8_t(i), uint8_t(i), 255};
      else if (i < static_cast<int>(im.palette.size()))
        c = im.palette[static_cast<size_t>(i)];
      look[static_cast<size_t>(y) * sw + x] =
          uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 | 0xFF000000u;
    }
  return look;
}

Look decoded_look(const Image& frame) {
  const Image rgba = imaging::convert(frame, Mode::RGBA);
  Look look(static_cast<size_t>(rgba.width()) * rgba.height(), 0);
  const auto& px = rgba.pixels();
  for (size_t i = 0; i < look.size(); ++i) {
    const uint8_t* p = &px[i * 4];
    if (p[3] == 0) continue;
    look[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  return look;
}

void push_unless_repeated(std::vector<Look>& looks, Look look) {
  if (looks.empty() || looks.back() != look) looks.push_back(std::move(look));
}

// Prints what was given and what came back, pictures as hex grids, then aborts.
[[noreturn]] void mismatch(const char* what, size_t picture, const imaging::EncodeOptions& o,
                           bool opaque, const std::vector<std::shared_ptr<Image>>& frames,
                           const std::vector<Look>& want, const std::vector<Look>& got, int sw) {
  std::fprintf(stderr, "GIF written with optimize=%d opaque_frames=%d: %s (picture %zu)\n",
               o.optimize, opaque, what, picture);
  for (const auto& f : frames) {
    std::fprintf(stderr, "frame %s %dx%d transparency %d palette", mode_name(f->mode()), f->width(),
                 f->height(), f->info.transparency.value_or(-1));
    for (const Rgba& c : f->palette)
      std::fprintf(stderr, " %02x%02x%02x%02x", c[0], c[1], c[2], c[3]);
    std::fprintf(stderr, "\n");
  }
  for (const auto* looks : {&want, &got}) {
    std::fprintf(stderr, looks == &want ? "expected:\n" : "read back:\n");
    for (const Look& look : *looks) {
      for (size_t i = 0; i < look.size(); ++i)
        std::fprintf(stderr, "%08x%s", look[i], (i + 1) % sw ? " " : "\n");
      std::fprintf(stderr, "--\n");
    }
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.take_byte();
  imaging::EncodeOptions opts;
  opts.optimize = flags & 1;
  const bool opaque = flags & 2;
  if (flags & 4) opts.loop = in.take_int(0, 3);
  if (flags & 8) opts.duration = in.take_int(0, 50) * 10;
  const int count = in.take_int(1, 6);

  std::vector<std::shared_ptr<Image>> frames;
  for (int i = 0; i < count; ++i) {
    const Image* before = frames.empty() ? nullptr : frames.back().get();
    frames.push_back(make_frame(in, before, frames.empty() ? 0 : frames[0]->width(),
                                frames.empty() ? 0 : frames[0]->height()));
  }
  const int sw = frames[0]->width(), sh = frames[0]->height();

  std::string gif;
  try {
    imaging::GifWriter writer(opts, opaque);
    for (const auto& f : frames) writer.add(f);
    gif = writer.finish();
  } catch (const ValueError&) {
    // A frame that breaks the promise of opaque_frames: refused, as documented.
    if (opaque) return 0;
    throw;
  }

  std::vector<Look> want, got;
  for (const auto& f : frames) push_unless_repeated(want, expected_look(*f, sw, sh));
  ImagePtr read = Image::open_bytes(gif, "written.gif");
  if (read->width() != sw || read->height() != sh)
    mismatch("screen size", 0, opts, opaque, frames, want, got, sw);
  imaging::FrameReader reader(*read);
  while (ImagePtr frame = reader.next()) push_unless_repeated(got, decoded_look(*frame));
  if (got.size() != want.size())
    mismatch("number of pictures", got.size(), opts, opaque, frames, want, got, sw);
  for (size_t i = 0; i < want.size(); ++i)
    if (got[i] != want[i]) mismatch("pixels differ", i, opts, opaque, frames, want, got, sw);
  return 0;
}
