#include "pillow_oracle.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

const char* kRunner = R"PY(
import sys, os
from PIL import Image
d = sys.argv[1]
ins = []
with open(os.path.join(d, "inputs")) as f:
    for line in f:
        parts = line.split()
        if not parts:
            continue
        mode, w, h, trns = parts[0], int(parts[1]), int(parts[2]), int(parts[3])
        pal = [int(v) for v in parts[4:]]
        with open(os.path.join(d, "in%d.raw" % len(ins)), "rb") as r:
            im = Image.frombytes(mode, (w, h), r.read())
        if mode == "P":
            im.putpalette(pal, "RGBA")
            if trns >= 0:
                im.info["transparency"] = trns
        ins.append(im)
out = None
with open(os.path.join(d, "code.py")) as f:
    exec(f.read())
out.load()
with open(os.path.join(d, "out.raw"), "wb") as r:
    r.write(out.tobytes())
with open(os.path.join(d, "out"), "w") as f:
    pal = []
    if out.mode == "P":
        raw = out.im.getpalette("RGBA", "RGBA")
        pal = list(raw)
    f.write("%s %d %d %s\n" % (out.mode, out.width, out.height, " ".join(map(str, pal))))
)PY";

// A scratch directory of our own: the shared TempDir also repoints the plugin directory,
// which pixel tests have no need of.
class Scratch {
 public:
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "img_util_pillow_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::string str() const { return path_.string(); }
  std::string operator/(const std::string& rel) const { return (path_ / rel).string(); }

 private:
  fs::path path_;
};

}  // namespace

bool pillow_available() {
  static const bool ok = std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0;
  return ok;
}

Image pillow(const std::string& code, const std::vector<const Image*>& inputs) {
  Scratch dir;
  std::ostringstream meta;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const Image& im = *inputs[i];
    meta << mode_name(im.mode()) << ' ' << im.width() << ' ' << im.height() << ' '
         << (im.info.transparency ? *im.info.transparency : -1);
    if (im.mode() == Mode::P)
      for (const Rgba& c : im.palette)
        meta << ' ' << int(c[0]) << ' ' << int(c[1]) << ' ' << int(c[2]) << ' ' << int(c[3]);
    meta << '\n';
    write_file(dir / ("in" + std::to_string(i) + ".raw"),
               std::string(im.pixels().begin(), im.pixels().end()));
  }
  write_file(dir / "inputs", meta.str());
  write_file(dir / "code.py", code);
  write_file(dir / "runner.py", kRunner);
  std::string cmd =
      "/usr/bin/python3 " + (dir / "runner.py") + " " + dir.str() + " 2>" + (dir / "err");
  if (std::system(cmd.c_str()) != 0)
    throw std::runtime_error("Pillow failed: " + read_file(dir / "err"));
  std::istringstream head(read_file(dir / "out"));
  std::string mode;
  int w = 0, h = 0;
  head >> mode >> w >> h;
  Image out(parse_mode(mode), w, h);
  std::string raw = read_file(dir / "out.raw");
  if (raw.size() != out.pixels().size())
    throw std::runtime_error("Pillow gave the wrong byte count");
  std::copy(raw.begin(), raw.end(), out.pixels().begin());
  if (out.mode() == Mode::P) {
    std::vector<int> v;
    for (int x; head >> x;) v.push_back(x);
    for (size_t i = 0; i + 3 < v.size(); i += 4)
      out.palette.push_back(
          Rgba{uint8_t(v[i]), uint8_t(v[i + 1]), uint8_t(v[i + 2]), uint8_t(v[i + 3])});
  }
  return out;
}

Image random_image(Mode mode, int width, int height, unsigned seed, int palette_size) {
  Image im(mode, width, height);
  std::mt19937 rng(seed);
  if (mode == Mode::P) {
    for (int i = 0; i < palette_size; ++i)
      im.palette.push_back(
          Rgba{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(rng() % 2 ? 255 : rng())});
    for (auto& b : im.pixels()) b = static_cast<uint8_t>(rng() % palette_size);
  } else {
    for (auto& b : im.pixels()) b = static_cast<uint8_t>(rng());
  }
  return im;
}

int max_difference(const Image& a, const Image& b) {
  if (a.mode() != b.mode() || a.width() != b.width() || a.height() != b.height()) return -1;
  int m = 0;
  for (size_t i = 0; i < a.pixels().size(); ++i)
    m = std::max(m, std::abs(int(a.pixels()[i]) - int(b.pixels()[i])));
  return m;
}

double psnr(const Image& a, const Image& b) {
  double se = 0;
  for (size_t i = 0; i < a.pixels().size(); ++i) {
    double d = double(a.pixels()[i]) - double(b.pixels()[i]);
    se += d * d;
  }
  if (se == 0) return 99.0;
  return 10 * std::log10(255.0 * 255.0 * double(a.pixels().size()) / se);
}

std::string hex_grid(const Image& im) {
  std::ostringstream s;
  if (im.width() * im.height() > 400) {
    s << '(' << im.width() << 'x' << im.height() << ')';
    return s.str();
  }
  char buf[4];
  for (int y = 0; y < im.height(); ++y) {
    for (size_t i = 0; i < im.stride(); ++i) {
      std::snprintf(buf, sizeof buf, "%02x", im.row(y)[i]);
      s << buf << ((i + 1) % im.bands() == 0 ? " " : "");
    }
    s << '\n';
  }
  return s.str();
}

}  // namespace img_util::test
