#include "support/fixtures.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "imaging/imaging.hpp"
#include "img_util/module.hpp"

extern char** environ;

namespace img_util::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/img_util_test_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  fs::create_directories(path_ / "plugin");
  set_plugin_dir(plugin());
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only directories behind; make them writable so removal works.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string tail(const std::string& path, size_t n) {
  std::string all = read_file(path);
  return all.size() <= n ? all : all.substr(all.size() - n);
}

std::string gif_of_pixel_frames(int width, int height, int frames) {
  auto le16 = [](int v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; };
  // Screen with a two-colour global palette (black, white).
  std::string g = "GIF89a" + le16(width) + le16(height) + std::string("\x80\0\0", 3) +
                  std::string("\0\0\0\xFF\xFF\xFF", 6);
  // A 1x1 image at the top left: LZW minimum code size 2, then the codes clear, 0, end in
  // three bits each, in one two-byte sub-block.
  const std::string frame =
      "\x2C" + le16(0) + le16(0) + le16(1) + le16(1) + std::string("\0\x02\x02\x44\x01\0", 6);
  g.reserve(g.size() + frame.size() * static_cast<size_t>(frames) + 1);
  for (int i = 0; i < frames; ++i) g += frame;
  return g + ";";
}

Image make_photo(int width, int height, Mode mode) {
  Image rgba(Mode::RGBA, width, height);
  std::mt19937 rng(width * 7919 + height);
  std::uniform_int_distribution<int> noise(-6, 6);
  for (int y = 0; y < height; ++y) {
    uint8_t* p = rgba.row(y);
    for (int x = 0; x < width; ++x, p += 4) {
      double fx = double(x) / std::max(1, width - 1), fy = double(y) / std::max(1, height - 1);
      double wave = 0.5 + 0.5 * std::sin(fx * 12.0 + fy * 5.0);
      auto clamp = [](double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); };
      p[0] = clamp(255 * fx + noise(rng));
      p[1] = clamp(255 * fy * wave + noise(rng));
      p[2] = clamp(255 * (1 - fx) * (1 - fy) + 60 * wave + noise(rng));
      p[3] = mode_has_alpha(mode) ? clamp(255 * (0.3 + 0.7 * fx)) : 255;
    }
  }
  return mode == Mode::RGBA ? rgba : imaging::convert(rgba, mode);
}

std::string write_photo(const std::string& path, int width, int height, Mode mode, int quality) {
  imaging::EncodeOptions opts;
  opts.quality = quality;
  imaging::save(make_photo(width, height, mode), path, opts);
  return path;
}

CliResult run_cli(const std::vector<std::string>& args, const std::string& stdin_text) {
  TempDir scratch;
  std::string out_path = scratch / "stdout", err_path = scratch / "stderr",
              in_path = scratch / "stdin";
  write_file(in_path, stdin_text);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv_s{IMG_UTIL_CLI_PATH};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv_s[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  CliResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

Value base_config(const std::string& folder, int maskmode) {
  Value result = Value::dict();
  result.set("ctime", static_cast<int64_t>(std::time(nullptr)));
  result.set("compresscount", 0);
  result.set("maskcount", 0);
  result.set("files", Value::list());
  Value cfg = Value::dict();
  cfg.set("folder", folder);
  cfg.set("maskmode", maskmode);
  cfg.set("exts", Value(List{Value(".jpg"), Value(".jpeg"), Value(".png"), Value(".gif"),
                             Value(".webp"), Value(".bmp")}));
  cfg.set("utimemode", 0);
  cfg.set("utime", "");
  cfg.set("result", result);
  return cfg;
}

}  // namespace img_util::test
