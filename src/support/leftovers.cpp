#include "support/leftovers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "support/files.hpp"

namespace img_util {

namespace {

struct DirClose {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

void sweep(const std::string& dir, bool recursive, std::vector<LeftoverRemoval>& out) {
  std::unique_ptr<DIR, DirClose> d(::opendir(dir.c_str()));
  if (!d) return;
  std::vector<std::string> subdirs;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (recursive) subdirs.push_back(name);
    } else if (S_ISREG(st.st_mode) && is_atomic_temp_name(name)) {
      LeftoverRemoval r{path_join(dir, name), ""};
      if (::unlinkat(dirfd(d.get()), e->d_name, 0) != 0) r.error = std::strerror(errno);
      out.push_back(std::move(r));
    }
  }
  d.reset();
  for (const std::string& sub : subdirs) sweep(path_join(dir, sub), recursive, out);
}

}  // namespace

bool is_atomic_temp_name(std::string_view name) {
  constexpr std::string_view kMark = ".tmp-";
  constexpr size_t kSuffix = 10;
  // "." + any characters + ".tmp-" + the suffix.
  if (name.size() < 1 + kMark.size() + kSuffix || name.front() != '.') return false;
  const std::string_view suffix = name.substr(name.size() - kSuffix);
  for (char c : suffix)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  return name.substr(name.size() - kSuffix - kMark.size(), kMark.size()) == kMark;
}

std::vector<LeftoverRemoval> remove_leftover_temp_files(const std::string& root, bool recursive) {
  std::vector<LeftoverRemoval> out;
  sweep(root, recursive, out);
  return out;
}

}  // namespace img_util
