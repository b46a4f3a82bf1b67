// Shared test fixtures: temporary directories, small files and images made in code, and a
// runner for the CLI.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "img_util/image.hpp"
#include "img_util/value.hpp"

namespace img_util::test {

namespace fs = std::filesystem;

// A fresh directory below $TMPDIR, removed with everything in it when the object dies.
// Also points the plugin directory at `plugin()` so no test touches the real one.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // "<tmp>/plugin", created.
  std::string plugin() const { return (path_ / "plugin").string(); }
  std::string operator/(const std::string& rel) const { return (path_ / rel).string(); }

 private:
  fs::path path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
// Last n bytes of a file (the whole file when shorter).
std::string tail(const std::string& path, size_t n = 5);

// A smooth colour gradient with some detail, so encoders have something to compress.
Image make_photo(int width, int height, Mode mode = Mode::RGB);
// Writes make_photo() in the format of the path's extension; returns the path.
std::string write_photo(const std::string& path, int width, int height, Mode mode = Mode::RGB,
                        int quality = 95);

// A GIF of a `width` x `height` screen holding `frames` frames of one pixel each: some 15
// bytes a frame, however large the screen it claims.
std::string gif_of_pixel_frames(int width, int height, int frames);

// Runs the img_util CLI with `args`; captures standard output and error separately.
struct CliResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
CliResult run_cli(const std::vector<std::string>& args, const std::string& stdin_text = "");

// The complete lines of `text`, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

// A configuration for a run over `folder` with the plugin directory's defaults; tests add keys.
Value base_config(const std::string& folder, int maskmode = 1);

}  // namespace img_util::test
