// Output path: in place, or the source's position below `folder` mirrored below `outpath`.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/output_place.hpp"
#include "support/atomic_file.hpp"

namespace img_util {

namespace {

// POSIX joining of one more piece onto `left`.
void join_onto(std::string& left, const std::string& piece) {
  if (!piece.empty() && piece.front() == '/') {
    left = piece;
  } else {
    if (!left.empty() && left.back() != '/') left += '/';
    left += piece;
  }
}

const std::string& text_value(const Value& v, const char* key) {
  if (!v.is_text())
    throw TypeError(std::string(key) + " must be a text path, not '" + v.type_name() + "'");
  return v.as_text();
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The target worked out from the texts alone.
struct Target {
  std::string fname;
  std::string path;
  std::string outpath;            // empty: in place
  std::vector<std::string> dirs;  // below `outpath`, in order
};

Target target_of(const std::string& fpath, const Value& cfg) {
  auto slash = fpath.rfind('/');
  Target t;
  t.fname = slash == std::string::npos ? fpath : fpath.substr(slash + 1);
  t.path = fpath;

  const Value outpath_value = cfg.get("outpath");
  if (!outpath_value.truthy()) return t;
  t.outpath = text_value(outpath_value, "outpath");
  const std::string& folder = text_value(cfg.at("folder"), "folder");

  // Only a leading root is cut off: removing the root's text wherever it occurs would send
  // /r/x/r/b.jpg and /r/x/b.jpg to the same target.
  std::string rel = fpath;
  if (!folder.empty() && rel.compare(0, folder.size(), folder) == 0) rel.erase(0, folder.size());
  for (char& c : rel)
    if (c == '\\') c = '/';
  auto first = rel.find_first_not_of('/');
  if (first == std::string::npos) {
    rel.clear();
  } else {
    rel = rel.substr(first, rel.find_last_not_of('/') - first + 1);
  }

  std::vector<std::string> pths = split(rel, '/');
  t.dirs.assign(pths.begin(), pths.end() - 1);
  for (const std::string& dir : t.dirs) {
    // A name such as "..\\..\\x.jpg" would otherwise climb out of the output tree.
    if (dir == "..")
      throw OSError(EINVAL, fpath,
                    "Name leads out of the output folder " + py_repr(std::string_view(t.outpath)) +
                        " (a '..' part once backslashes are read as '/')");
  }

  t.path = t.outpath;
  for (const std::string& dir : t.dirs) join_onto(t.path, dir);
  join_onto(t.path, t.fname);
  return t;
}

std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) throw_errno(path);
  return real.get();
}

bool lies_inside(const std::string& path, const std::string& root) {
  if (root == "/") return path.size() > 1;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
         path[root.size()] == '/';
}

bool is_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

struct LinkTarget {
  std::string root;    // the folder, links resolved
  std::string target;  // the link's final target, inside `root`
};

LinkTarget link_target_inside_folder(const std::string& fpath, const Value& cfg) {
  const std::string& folder = text_value(cfg.at("folder"), "folder");
  LinkTarget t{real_path(folder.empty() ? "." : folder), real_path(fpath)};
  if (!lies_inside(t.target, t.root))
    throw OSError(EPERM, fpath,
                  "Symbolic link to " + py_repr(std::string_view(t.target)) +
                      " outside the folder " + py_repr(std::string_view(folder)) +
                      " is left alone");
  return t;
}

}  // namespace

std::pair<std::string, std::string> IMAGES::get_save_path(const std::string& fpath,
                                                          const Value& cfg) {
  Target t = target_of(fpath, cfg);
  if (!t.dirs.empty()) open_directory_below(t.outpath, t.dirs, /*create=*/true);
  return {t.fname, t.path};
}

std::string target_path(const std::string& fpath, const Value& cfg) {
  return target_of(fpath, cfg).path;
}

void check_place(const std::string& fpath, const Value& cfg) {
  const Target t = target_of(fpath, cfg);
  if (t.outpath.empty() || !t.dirs.empty()) return;
  struct stat st {};
  if (::stat(t.outpath.c_str(), &st) != 0) throw_errno(t.outpath);
  if (!S_ISDIR(st.st_mode)) throw OSError(ENOTDIR, t.outpath);
}

void refuse_link_leaving_folder(const std::string& fpath, const Value& cfg) {
  if (cfg.get("outpath").truthy() || !is_link(fpath)) return;
  link_target_inside_folder(fpath, cfg);
}

FilePlace output_place(const std::string& fpath, const Value& cfg) {
  Target t = target_of(fpath, cfg);
  FilePlace place;
  place.path = t.path;
  place.dir_path = dir_of(t.path);
  place.name = t.fname;
  if (!t.outpath.empty()) {
    // The output folder itself is made only on the way to a deeper directory, as
    // get_save_path does.
    place.dir = open_directory_below(t.outpath, t.dirs, /*create=*/!t.dirs.empty());
  } else if (is_link(fpath)) {
    // Entered again from the folder without following links, so that what was checked is
    // what gets written.
    const LinkTarget link = link_target_inside_folder(fpath, cfg);
    std::vector<std::string> below = split(link.target.substr(link.root.size()), '/');
    place.name = below.back();
    below.pop_back();
    place.dir = open_directory_below(link.root, below, /*create=*/false);
    place.dir_path = dir_of(link.target);
  } else {
    place.dir = open_directory_below(place.dir_path, {}, /*create=*/false);
  }
  struct stat st {};
  if (keep_mtime() && ::stat(fpath.c_str(), &st) == 0) place.mtime = st.st_mtim;
  return place;
}

}  // namespace img_util
