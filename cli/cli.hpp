// Pieces of the img_util command-line tool.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "img_util/module.hpp"
#include "img_util/value.hpp"

namespace img_util::cli {

// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kRunFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kSomeFilesFailed = 3;  // the run finished, but not every file
inline constexpr int kInterrupted = 130;

// A usage error: the message, then a pointer to --help; exit status 2.
struct Usage {
  std::string message;
};

// "img_util: <text>" on standard error.
void say(const std::string& text);

// Takes the value of an option given as "--opt VALUE" or "--opt=VALUE" at args[i].
bool option_value(const std::vector<std::string>& args, size_t& i, const std::string& name,
                  std::string& out);

// The options of a run, from `run` or the flag commands.
struct RunOptions {
  std::string config_path, plugin_dir, report_path;
  bool no_log = false, debug = false, keep_mtime = false, verbose = false;
  std::string json_path;  // --json: events as JSON lines to this file ("-": standard error)
  int jobs = 0;           // --jobs: files at once (0: one per CPU)
  bool dry_run = false;   // --dry-run: say what would happen, touch nothing
};

// The value of --jobs: 1 to 256; a Usage error otherwise.
int parse_jobs(const std::string& text);

// Sets the module up as `opts` asks (plugin directory, scratch folder, debug, modification
// times).
void apply_run_options(const RunOptions& opts);

// Runs a configuration (none when reading it failed, which was said): checked, run with
// progress, logged and reported as `opts` asks. The exit status.
int run_config(std::optional<Value> cfg, const RunOptions& opts);

// The names of the .zip files in `dir` (none when it cannot be read).
std::set<std::string> zip_names(const std::string& dir);

// A run's record in the log database, beside the run log proper: added when the run starts
// (unless disabled, as with --no-log) and completed when it ends with its outcome and the
// archives it wrote. A record that cannot be written is said on standard error; the run goes on.
class RunRecord {
 public:
  RunRecord(const Value& cfg, bool enabled, const std::string& backdir);
  // The archives of the backup folder that the run added.
  std::vector<std::string> new_archives() const;
  // `failure`: what stopped the run, as said; empty when it finished.
  void finish(int status, const std::string& failure, int64_t files_failed, const Value& result);

 private:
  int64_t id_ = 0;
  std::string backdir_;
  std::set<std::string> zips_before_;
};

// `img_util compress DIR ...` and `img_util watermark DIR ...`: a configuration from flags.
int cmd_flags(const std::string& command, const std::vector<std::string>& args);

// `img_util restore ARCHIVE...`: the originals put back from the backup archives.
int cmd_restore(const std::vector<std::string>& args);

// What is wrong with a configuration: errors refuse the run, warnings are said and it goes on.
// Each message names the key.
struct ConfigProblems {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

// Checks a configuration before the run touches anything: unknown keys (with the nearest
// known one), the kinds and ranges of values, keys the mode needs, extensions that can never
// match, the time rule's format, and that the folder, font and picture can be read.
ConfigProblems check_config(const Value& cfg);

// 1234567 -> "1.2 MiB" (B, KiB, MiB, GiB).
std::string byte_text(int64_t n);

// Counts the outcomes of a run and, when standard error is a terminal, keeps one line there up
// to date: files done of the total, the share done, the time left, the bytes saved so far and the
// file being worked on. The line is redrawn a few times a second, also while one file takes long.
class Progress {
 public:
  explicit Progress(bool live);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // The files the run will tell of, counted before it starts.
  void set_total(int64_t total);
  // A file's turn has come.
  void start(const std::string& fpath);
  // What became of it (`note` tells written from unchanged, and the bytes).
  void file(FileOutcome outcome, const FileNote& note);
  // Clears the live line so a line of text can be printed cleanly, and redraws after.
  void before_line();
  void after_line();
  // Clears the live line for good, before the summary.
  void finish();

  int64_t seen() const { return seen_; }
  int64_t processed() const { return written_ + unchanged_; }
  int64_t written() const { return written_; }
  int64_t unchanged() const { return unchanged_; }
  int64_t skipped() const { return skipped_; }
  int64_t failed() const { return failed_; }
  int64_t bytes_before() const { return bytes_before_; }  // over the files written
  int64_t bytes_after() const { return bytes_after_; }
  double elapsed() const;

  std::string last_error;     // the cause of the last file that failed, as said
  bool verbose = false;       // a line per file
  bool dry = false;           // a dry run: lines say what would happen
  std::FILE* json = nullptr;  // where JSON events go, when asked for

 private:
  // Each called with mutex_ held.
  void draw(bool force);
  void clear();
  std::string line(double now) const;
  void tick(std::stop_token stop);

  const bool live_;
  const double start_;
  // The counters are written by the run's thread only, always with mutex_ held, so that thread
  // reads them freely; the redrawing thread reads them with mutex_ held.
  int64_t seen_ = 0, written_ = 0, unchanged_ = 0, skipped_ = 0, failed_ = 0;
  int64_t bytes_before_ = 0, bytes_after_ = 0;
  int64_t total_ = -1;      // unknown until counted
  double counted_at_ = 0;   // when the total was known: the time left runs from there
  std::string current_;     // the file being worked on, as shown
  bool shown_ = false;      // the line is (or is to be put back) on the terminal
  bool suspended_ = false;  // a line of text is being printed
  double last_draw_ = 0;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread ticker_;  // last: stopped and joined before the rest goes
};

double now_seconds();

}  // namespace img_util::cli
