// Output path: in place, or the source's position below `folder` mirrored below `outpath`.
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/value.hpp"
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

bool is_directory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::pair<std::string, std::string> IMAGES::get_save_path(const std::string& fpath,
                                                          const Value& cfg) {
  auto slash = fpath.rfind('/');
  std::string fname = slash == std::string::npos ? fpath : fpath.substr(slash + 1);

  const Value outpath_value = cfg.get("outpath");
  if (!outpath_value.truthy()) return {fname, fpath};
  const std::string& outpath = text_value(outpath_value, "outpath");
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

  std::vector<std::string> pths;
  for (size_t start = 0;;) {
    size_t end = rel.find('/', start);
    pths.push_back(rel.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }

  std::string path = outpath;
  if (pths.size() > 1) {
    std::string opDir = outpath;
    for (size_t i = 0; i + 1 < pths.size(); ++i) join_onto(opDir, pths[i]);
    if (!is_directory(opDir)) make_directories(opDir);
    path = opDir;
  }
  join_onto(path, fname);
  return {fname, path};
}

}  // namespace img_util
