// IMAGES: every operation of the system, under the names and parameters the host knows.
//
// No operation keeps state on the object: all run state lives in `cfg`. Class-level
// operations are static. Paths are byte strings (POSIX file names need not be UTF-8).
// Every operation may throw the exceptions of errors.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "img_util/image.hpp"
#include "img_util/value.hpp"

namespace img_util {

class IMAGES {
 public:
  // Class attributes.
  static std::string backdir();                      // <plugin dir>/backups
  static std::string tmpPath();                      // <plugin dir>/temp
  static constexpr int64_t allmaxsize = 1932525568;  // 1843 MiB per backup archive

  // Size of `file` in KiB (bytes / 1024, fractional). Follows links; throws OSError.
  static double get_size(const std::string& file);
  // Appends `fpath` to result.files and, with `isbackup`, adds the file to the run's archive.
  void backup(const std::string& fpath, const Value& cfg);
  // Whether the file qualifies for processing.
  static bool check(const std::string& fpath, const Value& cfg, bool checkTemp = true,
                    bool checkTime = true);
  // Downscale and re-encode towards the size target; null when there is nothing to write.
  static ImagePtr compress(const std::string& fpath, const Value& cfg, ImagePtr im = nullptr,
                           bool iscount = true);
  // Tiled diagonal text watermark; null when the file cannot be opened.
  ImagePtr watermark_word(const std::string& fpath, const Value& cfg, ImagePtr im = nullptr,
                          bool iscount = true);
  // Picture watermark; null when the file cannot be opened.
  ImagePtr watermark_pic(const std::string& fpath, const Value& cfg, ImagePtr im = nullptr,
                         bool iscount = true);
  // Lossy pass of a whole animated GIF through the external gifsicle tool.
  void gifsicle(const std::string& fpath, const Value& cfg);
  // (file name, target path).
  static std::pair<std::string, std::string> get_save_path(const std::string& fpath,
                                                           const Value& cfg);
  // Writes `im` to the target path and appends the processed marker.
  static void save(const std::string& fpath, const Value& cfg, const ImagePtr& im);
  // The still-image pipeline.
  void doing(const std::string& fpath, const Value& cfg, bool use_check = true,
             bool use_back = true);
  // The GIF pipeline.
  void doing_gif(const std::string& fpath, const Value& cfg, const std::string& mode = "jpg");
  // `path` when it names a reachable entry, else "".
  std::string enpath(const std::string& path);
  // The run driver: the host's entry point.
  void execute(const Value& cfg);
  // Appends the run's row to the run log.
  void save_db(const Value& d);
};

}  // namespace img_util
