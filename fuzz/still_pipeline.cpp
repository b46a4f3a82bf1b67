// The whole pipeline of one file, as a run drives it: selection, backup, compression,
// watermark, save. The input is the file's bytes followed by eight bytes that choose the
// options (the name's extension, which picks the output format; maskmode; the size box;
// quality; the size target; switches such as optimize and an output folder). Images are held
// near 128 x 128 by refusing larger headers, as image libraries' own fuzzers do.
//
// Whatever happens, nothing of value may be lost: a source that fails is left as it was, and a
// file that is written is an image that opens and carries the processed marker.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "fuzz.hpp"
#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/marker.hpp"

using namespace img_util;
namespace fs = std::filesystem;

namespace {

constexpr int kMaxSide = 128;
constexpr int kMaxFrames = 8;
constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A scratch tree made once per process and removed at its end: the plugin directory, the
// source folder, the output folder, the scratch folder and a picture to stamp.
struct Scratch {
  fs::path root;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "img_util-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    root = pattern;
    fs::create_directories(root / "plugin");
    set_plugin_dir((root / "plugin").string());
    Image mark(Mode::RGBA, 12, 8, {200, 30, 30, 160});
    imaging::save(mark, (root / "mark.png").string());
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  std::string folder() const { return (root / "site").string(); }
  std::string out() const { return (root / "out").string(); }
  // Empties what the last input left behind, keeping the stamp picture.
  void reset() const {
    for (const char* dir : {"site", "out", "temp", "plugin"}) {
      fs::remove_all(root / dir);
      fs::create_directories(root / dir);
    }
  }
};

const Scratch& scratch() {
  static const Scratch s;
  return s;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

[[noreturn]] void lost(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "still pipeline: %s: %s\n", what.c_str(), path.c_str());
  std::abort();
}

// A written file must open, decode and end with the marker of the run that wrote it.
void check_written(const std::string& path, const Value& cfg) {
  const std::string bytes = slurp(path);
  if (bytes.size() < kMarkerSize ||
      std::string_view(bytes).substr(bytes.size() - kMarkerSize) != marker_for(cfg))
    lost("written without the processed marker", path);
  try {
    ImagePtr im = Image::open_bytes(bytes, path);
    im->load();
  } catch (const Error& e) {
    lost(std::string("written file does not decode (") + e.what() + ")", path);
  }
}

Value options(fuzz::Input& in, const Scratch& s, std::string& name) {
  static const char* const kExtensions[] = {".jpg", ".jpeg", ".png", ".gif", ".webp", ".bmp"};
  Value result = Value::dict();
  result.set("ctime", 0);
  result.set("compresscount", 0);
  result.set("maskcount", 0);
  result.set("files", Value::list());
  Value cfg = Value::dict();
  cfg.set("folder", s.folder());
  cfg.set("exts", Value(List{Value(".jpg"), Value(".jpeg"), Value(".png"), Value(".gif"),
                             Value(".webp"), Value(".bmp")}));
  cfg.set("utimemode", 0);
  cfg.set("utime", "");
  cfg.set("tmpPath", (s.root / "temp").string());
  name = std::string("photo") + kExtensions[in.take_int(0, 5)];
  cfg.set("maskmode", in.take_int(1, 3));
  if (int w = in.take_byte()) cfg.set("yswidth", w % 160);
  if (int h = in.take_byte()) cfg.set("ysheight", h % 160);
  if (int q = in.take_byte()) cfg.set("quality", q % 101);
  if (int kib = in.take_byte()) cfg.set("ctrsize", kib / 8.0);
  const uint8_t flags = in.take_byte();
  cfg.set("optimize", bool(flags & 1));
  if (flags & 2) cfg.set("outpath", s.out());
  cfg.set("iscompress", bool(flags & 4));
  cfg.set("clearexif", bool(flags & 8));
  cfg.set("isopaque", bool(flags & 16));
  cfg.set("isbackup", bool(flags & 32));
  static const char* const kPlaces[] = {"rightbottom", "lefttop", "center", ""};
  cfg.set("markpos", kPlaces[flags >> 6]);
  const uint8_t mark = in.take_byte();
  cfg.set("masktext", "fuzz");
  cfg.set("fontttf", kFont);
  cfg.set("fontsize", 4 + mark % 24);
  cfg.set("rgba", "#ffffff60");
  cfg.set("maskimgPath", (s.root / "mark.png").string());
  cfg.set("maskscale", 2 + (mark >> 4));    // the picture is 1/scale of the image
  cfg.set("maskopacity", (mark & 15) * 7);  // percent
  cfg.set("marginx", 2);
  cfg.set("marginy", 2);
  cfg.set("allmaxsize", IMAGES::allmaxsize);
  cfg.set("result", result);
  return cfg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_line_sink([](const std::string&) {});
  set_pixel_limit(fuzz::kFuzzPixelLimit);
  const Scratch& s = scratch();
  fuzz::Input in(data, size);
  std::string name;
  Value cfg = options(in, s, name);
  const std::string bytes(in.rest());

  try {
    ImagePtr header = Image::open_bytes(bytes, "input");
    if (header->width() > kMaxSide || header->height() > kMaxSide ||
        header->frame_count() > kMaxFrames)
      return -1;
  } catch (const Error&) {
    // Not an image, or a broken one: what the pipeline makes of it matters as much.
  }

  s.reset();
  const std::string source = s.folder() + "/" + name;
  { std::ofstream(source, std::ios::binary) << bytes; }
  const bool outpath = cfg.get("outpath").truthy();
  const std::string target = outpath ? s.out() + "/" + name : source;

  bool failed = false;
  try {
    // As the run driver dispatches by name.
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".gif") == 0)
      IMAGES().doing_gif(source, cfg);
    else
      IMAGES().doing(source, cfg);
  } catch (const Error&) {
    failed = true;
  }
  cfg.set("zfile", Value());  // completes the backup archive, if one was started

  const std::string after = slurp(source);
  if (outpath || failed) {
    if (after != bytes) lost(failed ? "failed, source changed" : "source changed", source);
  }
  if (!failed && fs::exists(target) && (outpath || slurp(target) != bytes))
    check_written(target, cfg);
  return 0;
}
