// The pieces of the folder walk.
#include "driver/walk.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string_view>

#include "img_util/module.hpp"
#include "support/files.hpp"
#include "support/leftovers.hpp"

namespace img_util {

namespace {

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

// Whether the run hands `path`, an entry of its walk, to a pipeline: when it names something
// that is not another writer's file half-way to its rename, or names nothing only because it is
// too long (then it is handed over to be reported).
bool handed_over(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENAMETOOLONG;
  return !half_written(path);
}

int64_t count_below(const std::string& root, const OwnFolders& own) {
  std::vector<std::string> names;
  std::vector<bool> is_dir;
  if (const int err = list_dir(root, names, &is_dir)) return err == ENAMETOOLONG ? 1 : 0;
  int64_t n = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string path = path_join(root, names[i]);
    if (!is_dir[i])
      n += handed_over(path) ? 1 : 0;
    else if (!is_link(path) && !own.contains(path))
      n += count_below(path, own);
  }
  return n;
}

}  // namespace

int list_dir(const std::string& dir, std::vector<std::string>& names, std::vector<bool>* is_dir) {
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (!d) return errno;
  while (true) {
    errno = 0;
    const dirent* e = ::readdir(d.get());
    if (!e) {
      if (errno != 0) return errno;
      break;
    }
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
    if (is_dir) {
      bool dir_entry = e->d_type == DT_DIR;
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st {};
        dir_entry = ::stat(path_join(dir, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      is_dir->push_back(dir_entry);
    }
  }
  return 0;
}

bool path_too_long(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 && errno == ENAMETOOLONG;
}

bool half_written(const std::string& path) {
  return is_atomic_temp_name(std::string_view(path).substr(path.rfind('/') + 1));
}

bool is_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

OwnFolders::OwnFolders(const Value& cfg) {
  paths_.push_back(basedir());
  const Value outpath = cfg.get("outpath");
  if (outpath.is_text() && !outpath.as_text().empty()) paths_.push_back(outpath.as_text());
  const Value scratch = cfg.get("tmpPath");
  paths_.push_back(scratch.is_text() ? scratch.as_text() : default_scratch_dir());
}

bool OwnFolders::contains(const std::string& dir) const {
  struct stat d {};
  if (::stat(dir.c_str(), &d) != 0) return false;
  for (const std::string& p : paths_) {
    struct stat o {};
    if (::stat(p.c_str(), &o) == 0 && o.st_dev == d.st_dev && o.st_ino == d.st_ino) return true;
  }
  return false;
}

int64_t count_walk_entries(const Value& cfg) {
  const Value folder_value = cfg.get("folder");
  if (!folder_value.is_text() && !folder_value.is_bytes()) return 0;
  const std::string folder =
      folder_value.is_text() ? folder_value.as_text() : folder_value.as_bytes().data;
  if (cfg.get("subfold").truthy()) return count_below(folder, OwnFolders(cfg));
  std::vector<std::string> names;
  if (list_dir(folder, names, nullptr) != 0) return 0;
  int64_t n = 0;
  for (const std::string& name : names) n += handed_over(path_join(folder, name)) ? 1 : 0;
  return n;
}

}  // namespace img_util
