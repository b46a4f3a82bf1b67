// File selection: whether one file found by the run is processed at all. The rules run in a
// fixed order and the first rejection ends the test, so a later rule's keys are not even read.
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <string_view>

#include "img_util/ascii.hpp"
#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/marker.hpp"
#include "support/regex.hpp"

namespace img_util {

namespace {

std::string slashes_forward(std::string text) {
  for (char& c : text)
    if (c == '\\') c = '/';
  return text;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string base_name(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The extension as the host's path library splits it: from the last "." to the end, unless
// everything before that dot is dots (".bashrc" and "..jpg" have none; "a." has ".").
std::string extension_of(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos) return "";
  if (name.find_first_not_of('.') >= dot) return "";
  return ascii_lower(std::string_view(name).substr(dot));
}

bool extension_wanted(const Value& exts, const std::string& ext) {
  if (exts.is_list()) {
    const Value wanted(ext);
    for (const Value& item : exts.as_list())
      if (item == wanted) return true;
    return false;
  }
  if (exts.is_dict()) return exts.as_dict().contains(ext);
  throw TypeError("exts must be a text or a list of extensions, not '" + exts.type_name() + "'");
}

bool name_matches(const Value& cfg, const std::string& name) {
  const Value& pattern = cfg.at("_exts");
  if (!pattern.is_text())
    throw TypeError("_exts must be a regular expression text, not '" + pattern.type_name() + "'");
  return cached_regex(pattern.as_text())->search(name);
}

// Modification time in whole seconds, as UTC text "%Y-%m-%d %H:%M:%S".
std::string mtime_text(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw_errno(path);
  std::time_t t = st.st_mtim.tv_sec;
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) throw OSError(EOVERFLOW, path);
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return std::string(buf, n);
}

const std::string& time_text(const Value& utime, const char* op) {
  if (!utime.is_text())
    throw TypeError(std::string("'") + op + "' not supported between instances of 'str' and '" +
                    utime.type_name() + "'");
  return utime.as_text();
}

double number_of(const Value& v, const char* op) {
  if (!v.is_number())
    throw TypeError(std::string("'") + op + "' not supported between instances of 'float' and '" +
                    v.type_name() + "'");
  return v.as_number();
}

bool narrower_than_minimum(const std::string& fpath, const Value& cfg) {
  // Anything that goes wrong while looking at the header counts as a rejection.
  try {
    ImagePtr im = Image::open(slashes_forward(fpath));
    const Value& minwidth = cfg.at("minwidth");
    if (!minwidth.is_number()) return true;
    return minwidth.as_number() > static_cast<double>(im->width());
  } catch (...) {
    return true;
  }
}

}  // namespace

double IMAGES::get_size(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) throw_errno(file);
  return static_cast<double>(st.st_size) / 1024.0;
}

bool IMAGES::check(const std::string& fpath, const Value& cfg, bool checkTemp, bool checkTime) {
  struct stat st {};
  if (::stat(fpath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return note_skipped("not a regular file");

  if (starts_with(fpath, backdir())) return note_skipped("in the backup folder");

  if (checkTemp) {
    std::string tmp = tmpPath();
    if (auto colon = tmp.rfind(':'); colon != std::string::npos) tmp = tmp.substr(colon + 1);
    if (starts_with(slashes_forward(fpath), slashes_forward(tmp)))
      return note_skipped("in the scratch folder");
  }

  const std::string f = base_name(fpath);

  const Value& exts = cfg.at("exts");
  if (exts.is_text()) {
    if (exts.as_text().find("*.*") == std::string::npos && !name_matches(cfg, f))
      return note_skipped("name not taken by _exts");
  } else {
    const std::string ext = extension_of(f);
    if (!extension_wanted(exts, ext) || ext.empty()) return note_skipped("extension not taken");
  }

  const Value& utimemode = cfg.at("utimemode");
  const Value& utime = cfg.at("utime");
  if (utimemode.truthy() && utime.truthy() && checkTime) {
    const std::string modified = mtime_text(fpath);
    if (num_eq(utimemode, 1) && modified >= time_text(utime, ">="))
      return note_skipped("too new (utime)");
    if (num_eq(utimemode, 2) && modified <= time_text(utime, "<="))
      return note_skipped("too old (utime)");
  }

  if (cfg.get("minsize").truthy() && get_size(fpath) < number_of(cfg.at("minsize"), "<"))
    return note_skipped("too small (minsize)");

  if (cfg.get("minwidth").truthy() && narrower_than_minimum(fpath, cfg))
    return note_skipped("too narrow (minwidth)");

  if (cfg.get("isprotect").truthy() && !num_eq(cfg.at("maskmode"), 1)) {
    const std::string msk = read_marker(fpath);
    if (msk == kMarkerCompressed) return true;
    if (msk.size() == kMarkerSize && std::string_view(msk).substr(1) == "mask")
      return note_skipped("already marked as processed");
  }
  if (!cfg.get("isaprotect").truthy()) return true;
  return read_marker(fpath) != kMarkerCompressed || note_skipped("already marked as compressed");
}

}  // namespace img_util
