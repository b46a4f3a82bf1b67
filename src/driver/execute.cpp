// execute: the run driver. Walks the folder, routes each entry to its pipeline, applies the
// error policy, and completes the backup archive at the end.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "driver/driver.hpp"
#include "img_util/ascii.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/leftovers.hpp"
#include "support/run_lock.hpp"
#include "support/zip_repair.hpp"
#include "support/zip_writer.hpp"

namespace img_util {

namespace {

PipelineSeam& seam_storage() {
  static PipelineSeam seam;
  return seam;
}

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

// Names of a directory's entries in the order the OS gives them, without "." and "..".
// `is_dir` (optional) receives for each name whether it is a directory, links to directories
// included. Returns 0, or the errno of a directory that cannot be listed.
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

// Whether `path` names nothing only because it is longer than the system takes (PATH_MAX).
bool path_too_long(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 && errno == ENAMETOOLONG;
}

bool ends_with_gif(const std::string& path) { return ends_with_ascii_ci(path, ".gif"); }

// The folders a run writes into itself: the plugin directory (backups, lock, run log, the
// frames' scratch folder), the output tree and the trial scratch folder. When one of them lies
// below the folder being walked, its files are this run's own (or an earlier run's) work, never
// site images: entering it would watermark outputs again and nest out/out/out.
class OwnFolders {
 public:
  explicit OwnFolders(const Value& cfg) {
    paths_.push_back(basedir());
    const Value outpath = cfg.get("outpath");
    if (outpath.is_text() && !outpath.as_text().empty()) paths_.push_back(outpath.as_text());
    const Value scratch = cfg.get("tmpPath");
    paths_.push_back(scratch.is_text() ? scratch.as_text() : default_scratch_dir());
  }

  // Compared by identity, not by name, so another spelling of the same folder (a trailing "/",
  // "..", a link) is recognised too. Looked up each time: the output tree may appear mid-run.
  bool contains(const std::string& dir) const {
    struct stat d {};
    if (::stat(dir.c_str(), &d) != 0) return false;
    for (const std::string& p : paths_) {
      struct stat o {};
      if (::stat(p.c_str(), &o) == 0 && o.st_dev == d.st_dev && o.st_ino == d.st_ino) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> paths_;
};

class Run {
 public:
  Run(IMAGES& self, const Value& cfg) : self_(self), cfg_(cfg), own_(cfg) {}

  void entry(const std::string& raw) {
    if (const auto& poll = run_hooks().poll) poll();
    std::string fpath = self_.enpath(raw);
    // Too long a path cannot be processed, but it must not drop out of the run unreported.
    const bool too_long = fpath.empty() && path_too_long(raw);
    if (too_long) fpath = raw;
    if (fpath.empty()) return;
    // Another writer's file half-way to its rename, never an image of the site.
    if (is_atomic_temp_name(std::string_view(fpath).substr(fpath.rfind('/') + 1))) return;
    reset_file_selected();
    const bool gif = ends_with_gif(fpath);
    struct stat before {};
    const int64_t size_before = ::stat(fpath.c_str(), &before) == 0 ? before.st_size : -1;
    try {
      if (too_long)
        throw OSError(ENAMETOOLONG, fpath,
                      "Path too long for the system (" + std::to_string(PATH_MAX) +
                          " bytes at most); not processed");
      if (const auto& seam = seam_storage())
        seam(self_, fpath, cfg_, gif);
      else if (gif)
        self_.doing_gif(fpath, cfg_);
      else
        self_.doing(fpath, cfg_);
    } catch (...) {
      print_line(tuple_line({fpath, "error"}));
      if (const auto& on_file = run_hooks().on_file)
        on_file(fpath, FileOutcome::Failed, describe_exception(std::current_exception()));
      if (!cfg_.get("jumperr").truthy()) throw;
      return;
    }
    if (file_selected()) note_source_size(size_before);
    if (const auto& on_file = run_hooks().on_file)
      on_file(fpath, file_selected() ? FileOutcome::Processed : FileOutcome::Skipped, "");
  }

  // Top-down, parent before children, directory links listed but never entered; directories
  // that cannot be listed are passed over, silently unless their path is too long to open
  // (then everything below them would vanish from the run unreported).
  void walk(const std::string& root) {
    std::vector<std::string> names;
    std::vector<bool> is_dir;
    if (const int err = list_dir(root, names, &is_dir)) {
      if (err == ENAMETOOLONG) entry(root);
      return;
    }
    std::vector<std::string> dirs;
    for (size_t i = 0; i < names.size(); ++i) {
      if (is_dir[i])
        dirs.push_back(names[i]);
      else
        entry(path_join(root, names[i]));
    }
    for (const std::string& d : dirs) {
      const std::string sub = path_join(root, d);
      if (!is_link(sub) && !own_.contains(sub)) walk(sub);
    }
  }

 private:
  IMAGES& self_;
  const Value& cfg_;
  OwnFolders own_;
};

std::string path_text(const Value& v) {
  if (v.is_bytes()) return v.as_bytes().data;
  if (!v.is_text()) throw TypeError("'folder' must be a path text, not " + v.type_name());
  return v.as_text();
}

// What a killed run may have left: backup archives without their central directory, and
// temporary files of atomic writes in the trees this run walks and writes. Said on standard
// error; a repair that fails leaves that archive as it was and does not stop the run.
void clean_up_after_killed_run(const Value& cfg, const std::string& folder) {
  auto say = [](const std::string& text) {
    std::fprintf(stderr, "img_util: %s\n", text.c_str());
    std::fflush(stderr);
  };
  for (const ArchiveRepair& r : repair_backup_archives(IMAGES::backdir(), ZipWriter::writing))
    say(describe_repair(r));

  std::vector<std::string> trees{folder};
  const Value outpath = cfg.get("outpath");
  if (outpath.is_text() && !outpath.as_text().empty()) trees.push_back(outpath.as_text());
  for (size_t i = 0; i < trees.size(); ++i) {
    const bool recursive = i > 0 || cfg.get("subfold").truthy();
    for (const LeftoverRemoval& r : remove_leftover_temp_files(trees[i], recursive))
      say(r.error.empty() ? "removed the temporary file " + r.path + " of an unfinished write"
                          : "cannot remove the temporary file " + r.path + ": " + r.error);
  }
}

}  // namespace

void set_pipeline_seam(PipelineSeam seam) { seam_storage() = std::move(seam); }

std::string IMAGES::enpath(const std::string& path) {
  // Paths are bytes here already, so the retry through a UTF-8 decoding would name the same
  // entry: one stat decides.
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? path : std::string();
}

void IMAGES::execute(const Value& cfg) {
  // Held to the end of the run, whether it returns or raises.
  RunLock lock(basedir());

  if (!cfg.contains("allmaxsize")) cfg.set("allmaxsize", 0);

  const std::string tmp = tmpPath();
  struct stat st {};
  if (::stat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::error_code ec;
    std::filesystem::create_directories(tmp, ec);
    if (ec) throw OSError(ec.value(), tmp);
  }

  const std::string folder = path_text(cfg.at("folder"));
  clean_up_after_killed_run(cfg, folder);
  Run run(*this, cfg);
  if (cfg.get("subfold").truthy()) {
    run.walk(folder);
  } else {
    std::vector<std::string> names;
    if (const int err = list_dir(folder, names, nullptr)) throw OSError(err, folder);
    for (const std::string& name : names) run.entry(path_join(folder, name));
  }

  if (cfg.get("zfile").truthy()) {
    cfg.at("zfile").as_handle()->close();
    cfg.erase("zfile");
  }
}

}  // namespace img_util
