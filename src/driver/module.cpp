// Module-level values: plugin directory, debug switch, line sink and run hooks.
#include "img_util/module.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

#include "driver/driver.hpp"
#include "img_util/images.hpp"
#include "support/deferred.hpp"

namespace img_util {

namespace {

std::string& plugin_dir_storage() {
  static std::string dir = kDefaultPluginDir;
  return dir;
}

// Reads the process's argument list (program name included) as the kernel recorded it, so the
// answer is the same for the CLI and for a Python host that loads us.
bool cmdline_has_debug() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return false;
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (all.compare(start, end - start, "--debug") == 0) return true;
    start = end + 1;
  }
  return false;
}

std::optional<bool>& debug_storage() {
  static std::optional<bool> on;
  return on;
}

void default_sink(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

LineSink& sink_storage() {
  static LineSink sink = default_sink;
  return sink;
}

RunHooks& hooks_storage() {
  static RunHooks hooks;
  return hooks;
}

bool& selected_flag() {
  static bool selected = false;
  return selected;
}

}  // namespace

const std::string& basedir() { return plugin_dir_storage(); }
const std::string& plugin_path() { return plugin_dir_storage(); }
void set_plugin_dir(const std::string& dir) { plugin_dir_storage() = dir; }

namespace {
std::string& scratch_default_storage() {
  static std::string dir = "./temp";
  return dir;
}
}  // namespace
const std::string& default_scratch_dir() { return scratch_default_storage(); }

namespace {
bool& keep_mtime_storage() {
  static bool on = false;
  return on;
}
}  // namespace
bool keep_mtime() { return keep_mtime_storage(); }
void set_keep_mtime(bool on) { keep_mtime_storage() = on; }
void set_default_scratch_dir(const std::string& dir) { scratch_default_storage() = dir; }

namespace {
int& jobs_storage() {
  static int n = 0;
  return n;
}
}  // namespace
int jobs() { return jobs_storage(); }
void set_jobs(int n) { jobs_storage() = n < 0 ? 0 : n; }

namespace {
bool& dry_run_storage() {
  static bool on = false;
  return on;
}
}  // namespace
bool dry_run() { return dry_run_storage(); }
void set_dry_run(bool on) { dry_run_storage() = on; }

bool debug() {
  auto& on = debug_storage();
  if (!on) on = cmdline_has_debug();
  return *on;
}
void set_debug(bool on) { debug_storage() = on; }

void set_line_sink(LineSink sink) {
  sink_storage() = sink ? std::move(sink) : LineSink(default_sink);
}
void print_line(const std::string& line) {
  if (DeferredEffects* fx = deferring()) return fx->add([line](const Value&) { print_line(line); });
  sink_storage()(line);
}

void set_run_hooks(RunHooks hooks) { hooks_storage() = std::move(hooks); }
const RunHooks& run_hooks() { return hooks_storage(); }

namespace {
FileNote& note_storage() {
  static FileNote note;
  return note;
}
}  // namespace

// A file worked on ahead of its turn notes what became of it at its turn (see deferred.hpp).
void note_file_selected() {
  if (DeferredEffects* fx = deferring())
    return fx->add([](const Value&) { note_file_selected(); }, DeferredEffects::Kind::Note);
  selected_flag() = true;
}
void reset_file_selected() {
  selected_flag() = false;
  note_storage() = FileNote{};
}
const FileNote& file_note() { return note_storage(); }
bool note_skipped(const char* reason) {
  if (DeferredEffects* fx = deferring()) {
    fx->add([reason](const Value&) { note_skipped(reason); }, DeferredEffects::Kind::Note);
    return false;
  }
  note_storage().skip_reason = reason;
  return false;
}
void note_written(int64_t bytes, std::optional<int> quality) {
  if (DeferredEffects* fx = deferring())
    return fx->add([=](const Value&) { note_written(bytes, quality); },
                   DeferredEffects::Kind::Note);
  note_storage().bytes_written = bytes;
  note_storage().quality = quality;
}
void note_unchanged(const char* reason) {
  if (DeferredEffects* fx = deferring())
    return fx->add([reason](const Value&) { note_unchanged(reason); }, DeferredEffects::Kind::Note);
  note_storage().unchanged_reason = reason;
}
void note_source_size(int64_t bytes) { note_storage().bytes_before = bytes; }
bool file_selected() { return selected_flag(); }

std::string IMAGES::backdir() { return path_join(basedir(), "backups"); }
std::string IMAGES::tmpPath() { return path_join(plugin_path(), "temp"); }

}  // namespace img_util
