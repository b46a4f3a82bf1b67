// The pieces of the folder walk.
#include "driver/walk.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "img_util/module.hpp"
#include "support/files.hpp"

namespace img_util {

namespace {

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

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

}  // namespace img_util
