// Pieces of the img_util command-line tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

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

// Counts the outcomes of a run and draws the progress line on standard error.
class Progress {
 public:
  explicit Progress(bool live);
  void file(int outcome);  // a FileOutcome
  // Clears the live line so a module line can be printed cleanly, and redraws after.
  void before_line();
  void after_line();
  void finish();
  int64_t seen() const { return seen_; }
  int64_t processed() const { return processed_; }
  int64_t skipped() const { return skipped_; }
  int64_t failed() const { return failed_; }
  double elapsed() const;
  std::string last_error;     // the cause of the last file that failed, as said
  bool verbose = false;       // a line per file
  std::FILE* json = nullptr;  // where JSON events go, when asked for
  int64_t written = 0, bytes_before = 0, bytes_after = 0;  // over the files written

 private:
  void draw(bool force);
  bool live_;
  bool shown_ = false;
  int64_t seen_ = 0, processed_ = 0, skipped_ = 0, failed_ = 0;
  double start_;
  double last_draw_ = 0;
};

double now_seconds();

}  // namespace img_util::cli
