// backup: records the source in the run's result and, with backups on, adds its untouched bytes
// to the run's zip archive, starting a new archive once the bytes put in pass the cap.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string_view>
#include <vector>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/deferred.hpp"
#include "support/files.hpp"
#include "support/zip_writer.hpp"

namespace img_util {

namespace {

// The source path as an entry name: "/" separators (backslashes too), no empty parts (so no
// leading or trailing "/"), and "." and ".." resolved by the text alone, never above the top,
// so that no entry can be extracted outside the folder it is unpacked in.
std::string entry_name(const std::string& fpath) {
  std::string slashed = fpath;
  for (char& c : slashed)
    if (c == '\\') c = '/';
  std::vector<std::string_view> parts;
  const std::string_view text(slashed);
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('/', start), text.size());
    const std::string_view part = text.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string name;
  for (const std::string_view part : parts) {
    if (!name.empty()) name += '/';
    name += part;
  }
  return name;
}

std::string local_stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

double running_total(const Value& v) {
  if (!v.is_number())
    throw TypeError("'>' not supported between instances of '" + v.type_name() + "' and 'int'");
  return v.as_number();
}

}  // namespace

void IMAGES::backup(const std::string& fpath, const Value& cfg) {
  // The archive takes its entries in the run's order: a file worked on ahead adds its own at
  // its turn.
  if (DeferredEffects* fx = deferring())
    return fx->add([this, fpath](const Value& run_cfg) { backup(fpath, run_cfg); });
  cfg.at("result").at("files").as_list().push_back(Value(fpath));
  if (!cfg.get("isbackup").truthy()) return;

  if (running_total(cfg.at("allmaxsize")) > static_cast<double>(allmaxsize)) {
    if (cfg.get("zfile").truthy()) {
      cfg.at("zfile").as_handle()->close();
      cfg.erase("zfile");
    }
    cfg.set("allmaxsize", 0);
  }

  struct stat st {};
  if (::stat(fpath.c_str(), &st) != 0) throw_errno(fpath);
  const Value total = cfg.at("allmaxsize");
  if (total.is_float())
    cfg.set("allmaxsize", total.as_number() + static_cast<double>(st.st_size));
  else
    cfg.set("allmaxsize", total.as_int() + static_cast<int64_t>(st.st_size));

  // An archive completed early because an entry failed takes no more: the next file starts
  // another one.
  if (cfg.get("zfile").truthy()) {
    auto open = std::dynamic_pointer_cast<ZipWriter>(cfg.at("zfile").as_handle());
    if (open && open->ended_by_error()) cfg.erase("zfile");
  }

  if (!cfg.get("zfile").truthy()) {
    const std::string dir = backdir();
    struct stat ds {};
    if (::stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode)) {
      if (::mkdir(dir.c_str(), 0777) != 0) throw_errno(dir);
      fsync_directory(basedir());
    }
    cfg.set("zfile", std::shared_ptr<Handle>(
                         std::make_shared<ZipWriter>(path_join(dir, local_stamp() + ".zip"))));
  }

  auto zip = std::dynamic_pointer_cast<ZipWriter>(cfg.at("zfile").as_handle());
  if (!zip) throw TypeError("'zfile' holds a " + cfg.at("zfile").type_name() + ", not an archive");
  zip->add_file(fpath, entry_name(fpath));
}

}  // namespace img_util
