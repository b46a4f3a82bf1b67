// execute: the run driver. Walks the folder, routes each entry to its pipeline, applies the
// error policy, and completes the backup archive at the end.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "driver/driver.hpp"
#include "driver/walk.hpp"
#include "driver/work_ahead.hpp"
#include "imaging/imaging.hpp"
#include "img_util/ascii.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "operations/output_place.hpp"
#include "support/cpus.hpp"
#include "support/deferred.hpp"
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

bool ends_with_gif(const std::string& path) { return ends_with_ascii_ci(path, ".gif"); }

class Run {
 public:
  Run(IMAGES& self, const Value& cfg, bool dry) : self_(self), cfg_(cfg), own_(cfg), dry_(dry) {
    const int n = jobs() > 0 ? jobs() : usable_cpus();
    // The test seam takes every entry at its turn: nothing to work on ahead.
    if (n > 1 && !seam_storage()) {
      debug();  // read once here, not first by a worker
      ahead_cfg_ = deep_copy(cfg_);
      window_ = 4 * static_cast<size_t>(n);
      workers_ = std::make_unique<Workers>(n, [this](Ahead& a) { work_ahead(a); });
      if (!workers_->any()) workers_.reset();
    }
  }
  ~Run() { workers_.reset(); }  // before the entries they work on

  // Entries of the walk, in the walk's order. With workers they are handed over to be worked
  // on ahead, as many at once as the window has room for (so the largest of them is started
  // first, not the first listed), and each takes effect when every entry before it has.
  void submit(const std::vector<std::string>& raws) {
    for (size_t i = 0; i < raws.size();) {
      if (!workers_) {
        entry(raws[i++], nullptr);
        continue;
      }
      // Memory stays bounded: only a few entries are held ahead of their turn.
      while (pending_.size() >= window_) take_turn();
      std::vector<std::shared_ptr<Ahead>> batch;
      for (; i < raws.size() && pending_.size() < window_; ++i) {
        auto a = std::make_shared<Ahead>();
        a->raw = raws[i];
        struct stat st {};
        if (::stat(a->raw.c_str(), &st) == 0) a->bytes = st.st_size;
        pending_.push_back(a);
        batch.push_back(std::move(a));
      }
      workers_->hand_over(std::move(batch));
    }
  }

  // Every entry submitted so far takes its turn.
  void drain() {
    while (!pending_.empty()) take_turn();
  }

  // Top-down, parent before children, directory links listed but never entered; directories
  // that cannot be listed are passed over, silently unless their path is too long to open
  // (then everything below them would vanish from the run unreported). A directory is looked
  // at and listed once every entry before it has taken its turn, so it holds what a run of one
  // file at a time would find there.
  void walk(const std::string& root) {
    drain();
    std::vector<std::string> names;
    std::vector<bool> is_dir;
    if (const int err = list_dir(root, names, &is_dir)) {
      if (err == ENAMETOOLONG) submit({root});
      return;
    }
    std::vector<std::string> dirs, files;
    for (size_t i = 0; i < names.size(); ++i) {
      if (is_dir[i])
        dirs.push_back(names[i]);
      else
        files.push_back(path_join(root, names[i]));
    }
    submit(files);
    for (const std::string& d : dirs) {
      drain();
      const std::string sub = path_join(root, d);
      if (!is_link(sub) && !own_.contains(sub)) walk(sub);
    }
  }

 private:
  // The path the entry's pipeline takes, or empty when the entry is passed over; `too_long`
  // tells a path that names nothing only because of its length.
  std::string resolve(const std::string& raw, bool& too_long) {
    std::string fpath = self_.enpath(raw);
    // Too long a path cannot be processed, but it must not drop out of the run unreported.
    too_long = fpath.empty() && path_too_long(raw);
    if (too_long) return raw;
    if (!fpath.empty() && half_written(fpath)) return {};
    return fpath;
  }

  // On a worker: the entry's pipeline with its effects held back for its turn. Animations take
  // their turn only: they run an external tool on scratch files every animation shares.
  void work_ahead(Ahead& a) {
    bool too_long = false;
    const std::string fpath = resolve(a.raw, too_long);
    if (fpath.empty() || too_long || ends_with_gif(fpath)) return;
    FileCpu cpu;
    a.read = Identity::of(fpath, ahead_cfg_);
    DeferringScope deferring(a.effects);
    try {
      self_.doing(fpath, ahead_cfg_);
    } catch (...) {
      a.effects.fail(std::current_exception());
    }
    a.worked = true;
  }

  // A dry run's file, worked out with every effect held back. An animation is taken as far as
  // its selection and its first checks: its frames go through scratch files and an external
  // tool, which a dry run must not touch.
  void work_out(const std::string& fpath, bool gif, DeferredEffects& effects) {
    FileCpu cpu;
    DeferringScope deferring(effects);
    try {
      if (!gif) return self_.doing(fpath, cfg_);
      if (!self_.check(fpath, cfg_)) return;
      note_file_selected();
      refuse_link_leaving_folder(fpath, cfg_);
      ImagePtr im = Image::open_if_image(fpath);
      if (!im) return;
      if (!im->is_animated()) return self_.doing(fpath, cfg_, /*use_check=*/false);
      imaging::check_animation(im->frame_count(), im->width(), im->height(), fpath);
      note_unchanged("an animation: its frames are only worked out by a real run");
    } catch (...) {
      effects.fail(std::current_exception());
    }
  }

  void take_turn() {
    std::shared_ptr<Ahead> a = std::move(pending_.front());
    pending_.pop_front();
    workers_->wait_for(a);
    entry(a->raw, a.get());
  }

  // The entry's turn: its pipeline runs here, or what its work ahead recorded takes effect
  // when everything that work read is still as it was (else the work is done again now).
  void entry(const std::string& raw, const Ahead* ahead) {
    if (const auto& poll = run_hooks().poll) poll();
    bool too_long = false;
    const std::string fpath = resolve(raw, too_long);
    if (fpath.empty()) return;
    if (const auto& on_start = run_hooks().on_start) on_start(fpath);
    reset_file_selected();
    const bool gif = ends_with_gif(fpath);
    struct stat before {};
    const int64_t size_before = ::stat(fpath.c_str(), &before) == 0 ? before.st_size : -1;
    try {
      if (too_long)
        throw OSError(ENAMETOOLONG, fpath,
                      "Path too long for the system (" + std::to_string(PATH_MAX) +
                          " bytes at most); not processed");
      if (ahead && ahead->worked && (dry_ || ahead->read == Identity::of(fpath, cfg_))) {
        ahead->effects.replay(cfg_, /*dry=*/dry_);
      } else if (dry_) {
        DeferredEffects effects;
        work_out(fpath, gif, effects);
        effects.replay(cfg_, /*dry=*/true);
      } else {
        FileCpu cpu;
        if (const auto& seam = seam_storage())
          seam(self_, fpath, cfg_, gif);
        else if (gif)
          self_.doing_gif(fpath, cfg_);
        else
          self_.doing(fpath, cfg_);
      }
    } catch (...) {
      if (!dry_) print_line(tuple_line({fpath, "error"}));
      if (const auto& on_file = run_hooks().on_file)
        on_file(fpath, FileOutcome::Failed, describe_exception(std::current_exception()));
      if (!cfg_.get("jumperr").truthy()) throw;
      return;
    }
    if (file_selected()) note_source_size(size_before);
    if (const auto& on_file = run_hooks().on_file)
      on_file(fpath, file_selected() ? FileOutcome::Processed : FileOutcome::Skipped, "");
  }

  IMAGES& self_;
  const Value& cfg_;
  OwnFolders own_;
  const bool dry_;
  Value ahead_cfg_;  // the workers' own copy: the run's changes as it goes (counters, the
                     // open archive) are made at each file's turn on cfg_
  size_t window_ = 0;
  std::deque<std::shared_ptr<Ahead>> pending_;  // handed over, turn not yet taken
  std::unique_ptr<Workers> workers_;
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
  const bool dry = dry_run();
  // Held to the end of the run, whether it returns or raises. A dry run takes none: it would
  // make the lock file, and it changes nothing that another run could see half-done.
  std::optional<RunLock> lock;
  if (!dry) lock.emplace(basedir());

  if (!cfg.contains("allmaxsize")) cfg.set("allmaxsize", 0);

  const std::string tmp = tmpPath();
  struct stat st {};
  if (!dry && (::stat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    std::error_code ec;
    std::filesystem::create_directories(tmp, ec);
    if (ec) throw OSError(ec.value(), tmp);
  }

  const std::string folder = path_text(cfg.at("folder"));
  if (!dry) clean_up_after_killed_run(cfg, folder);
  Run run(*this, cfg, dry);
  if (cfg.get("subfold").truthy()) {
    run.walk(folder);
  } else {
    std::vector<std::string> names;
    if (const int err = list_dir(folder, names, nullptr)) throw OSError(err, folder);
    for (std::string& name : names) name = path_join(folder, name);
    run.submit(names);
  }
  run.drain();

  if (cfg.get("zfile").truthy()) {
    cfg.at("zfile").as_handle()->close();
    cfg.erase("zfile");
  }
}

}  // namespace img_util
