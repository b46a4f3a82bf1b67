// Module-level values: the plugin directory and the paths derived from it, the debug switch,
// where the module's own lines go, and the hooks a front end uses to watch a run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace img_util {

inline constexpr const char* kDefaultPluginDir = "/srv/panel/plugin/quorvane";

// `basedir` and `plugin_path`: the plugin directory (both the same).
const std::string& basedir();
const std::string& plugin_path();
// Places the plugin directory elsewhere; `backdir` and `tmpPath` follow it.
void set_plugin_dir(const std::string& dir);

// The scratch folder of compression's trials when the configuration has no `tmpPath`: "./temp"
// of the working directory, as hosts have always had it, unless a front end places it
// elsewhere (the CLI uses the plugin directory's, so a run from "/" works too).
const std::string& default_scratch_dir();
void set_default_scratch_dir(const std::string& dir);

// Whether written files keep their source's modification time (off by default: a written
// file is new, and web caches see it so).
bool keep_mtime();
void set_keep_mtime(bool on);

// How many files a run works on at once (0, the default: as many as the process has CPUs;
// 1: one at a time). Whatever the number, a run's files, archives, counters and lines come out
// exactly as with one at a time: files are worked on ahead and take effect in the run's order.
int jobs();
void set_jobs(int n);

// A dry run walks and selects as a run does and works every file out in memory, telling each
// file's outcome through the run hooks and file_note(), but touches nothing: no lock, no
// backup, no scratch or output file, no counter.
bool dry_run();
void set_dry_run(bool on);

// True when the process was started with an argument exactly "--debug" (read from
// /proc/self/cmdline once, so it also holds when a Python host loads the library).
bool debug();
void set_debug(bool on);

// Every line the module prints (progress tuples, the driver's error line) goes through here.
// The default writes the line and a newline to standard output and flushes.
using LineSink = std::function<void(const std::string& line)>;
void set_line_sink(LineSink sink);
void print_line(const std::string& line);

// What became of one entry of a run, for progress displays.
enum class FileOutcome {
  Skipped,    // refused by file selection, or nothing to do
  Processed,  // selected and went through its pipeline without an error
  Failed,     // its pipeline raised
};

// Optional observer of a run. `poll` runs between files and may throw to stop the run there
// (the Python module raises KeyboardInterrupt from it).
struct RunHooks {
  std::function<void(const std::string& fpath, FileOutcome outcome, const std::string& error)>
      on_file;
  std::function<void()> poll;
};
void set_run_hooks(RunHooks hooks);
const RunHooks& run_hooks();

// Called by the pipelines once file selection has accepted a file, so the driver can tell
// Skipped from Processed.
void note_file_selected();

// What became of the entry being processed, for front ends that say so per file: why file
// selection passed it over, or what was written. Reset before each entry; read it from the
// on_file hook.
struct FileNote {
  std::string skip_reason;       // empty unless selection refused the file
  int64_t bytes_before = -1;     // the source's size, once selected
  int64_t bytes_written = -1;    // the written file's size (marker included), when written
  std::optional<int> quality;    // the encoder quality of what was written, where one was used
  std::string unchanged_reason;  // why a selected file was not written, where known
};
const FileNote& file_note();
// Selection refused the file because of `reason` ("extension not taken", ...); returns false.
bool note_skipped(const char* reason);
void note_written(int64_t bytes, std::optional<int> quality = std::nullopt);
void note_unchanged(const char* reason);

}  // namespace img_util
