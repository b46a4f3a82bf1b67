// img_util: compress and watermark the images of a folder from the shell.
//
//   img_util run CONFIG.json [--plugin-dir DIR] [--debug] [--report OUT.json] [--no-log]
//                [--keep-mtime] [--jobs N] [--dry-run]
//   img_util log [--plugin-dir DIR]
//   img_util restore ARCHIVE... [--only PATH...] [--to DIR] [--dry-run]
//
// Standard output carries exactly the module's own lines; everything the tool says itself
// (progress, summary, errors) goes to standard error.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/run_log.hpp"
#include "img_util/value.hpp"

namespace img_util::cli {

void say(const std::string& text) {
  std::fprintf(stderr, "img_util: %s\n", text.c_str());
  std::fflush(stderr);
}

// Takes the value of an option given as "--opt VALUE" or "--opt=VALUE".
bool option_value(const std::vector<std::string>& args, size_t& i, const std::string& name,
                  std::string& out) {
  const std::string& a = args[i];
  if (a == name) {
    if (i + 1 >= args.size()) throw Usage{name + " needs a value"};
    out = args[++i];
    return true;
  }
  if (a.rfind(name + "=", 0) == 0) {
    out = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

namespace {

const char* const kMainHelp =
    "usage: img_util <command> [options]\n"
    "\n"
    "Compresses and watermarks the images of a folder, keeping zip backups of the originals\n"
    "and a log of every run.\n"
    "\n"
    "commands:\n"
    "  compress DIR      compress the images of a folder, set by flags\n"
    "  watermark DIR     stamp a text or a logo on the images of a folder, set by flags\n"
    "  run CONFIG.json   process a folder as a JSON configuration describes (every key)\n"
    "  log               show the run history, newest first\n"
    "  restore ARCHIVE   put the originals back from backup archives\n"
    "\n"
    "options:\n"
    "  --help            show this help (also: img_util <command> --help)\n"
    "  --version         show the version\n";

const char* const kRunHelp =
    "usage: img_util run CONFIG.json [--plugin-dir DIR] [--debug] [--report OUT.json] [--no-log]\n"
    "                    [--keep-mtime] [--jobs N] [--dry-run]\n"
    "\n"
    "Runs one pass over the folder named in CONFIG.json (a JSON object; \"-\" reads standard\n"
    "input). Standard output carries the module's lines; progress and a summary go to\n"
    "standard error.\n"
    "\n"
    "When standard error is a terminal, the folder is counted first and a live line shows\n"
    "the files done of the total, the share done, the time left, the bytes saved so far and\n"
    "the file being worked on. The closing summary gives the files written, unchanged,\n"
    "skipped and failed, the bytes before -> after over the files written, the counters,\n"
    "and the backup archives the run wrote.\n"
    "\n"
    "options:\n"
    "  --plugin-dir DIR   plugin directory holding backups/, temp/, the run log and gifsicle\n"
    "                     (default: $IMG_UTIL_PLUGIN_DIR, else /srv/panel/plugin/quorvane);\n"
    "                     its temp/ also takes the trial files when CONFIG has no tmpPath\n"
    "  --debug            print a progress line for every processed file\n"
    "  --report OUT.json  write the finished configuration, counters included, to OUT.json\n"
    "                     (also after a failed run)\n"
    "  --no-log           do not add the run to the run log\n"
    "  --dry-run          walk, check and work every file out as the run would, and say per\n"
    "                     file what it would do and why; touch nothing (no backup, scratch or\n"
    "                     output file, lock, run-log row or report)\n"
    "  --keep-mtime       written files keep their source's modification time\n"
    "  --jobs N           files worked on at once (default: one per CPU); whatever N, every\n"
    "                     output, archive, line and counter is the same as with --jobs 1\n"
    "  -v, --verbose      a line per file: written (bytes before and after, quality),\n"
    "                     unchanged or skipped, and why\n"
    "  --json FILE        one JSON object per event (each file, then a summary) to FILE,\n"
    "                     or to standard error with -\n"
    "\n"
    "exit status: 0 done, every file fine; 1 the run stopped on an error; 2 usage or\n"
    "configuration error (nothing touched); 3 the run finished but some files failed\n"
    "(with jumperr); 130 interrupted\n";

const char* const kLogHelp =
    "usage: img_util log [--plugin-dir DIR]\n"
    "\n"
    "Shows the logged runs of the plugin directory, newest first: when each started, how it\n"
    "went, its mode, the images compressed and watermarked, its duration and folder; below a\n"
    "run, why it failed (or how many files failed) and the backup archives it wrote.\n"
    "\n"
    "status: finished, failed, interrupted (Ctrl-C, or the process ended without saying how:\n"
    "killed, the machine went down) or running; - for a run logged by the Python module's\n"
    "host. A column the run never got to fill shows -.\n"
    "\n"
    "options:\n"
    "  --plugin-dir DIR   plugin directory holding the run log (default:\n"
    "                     $IMG_UTIL_PLUGIN_DIR, else /srv/panel/plugin/quorvane)\n";

// Raised from the poll hook after Ctrl-C, so the run stops between two files.
class Interrupted : public Error {
 public:
  Interrupted() : Error("interrupted") {}
  const char* type_name() const noexcept override { return "KeyboardInterrupt"; }
};

volatile std::sig_atomic_t g_interrupted = 0;

void on_sigint(int) { g_interrupted = 1; }

void install_sigint() {
  struct sigaction sa {};
  sa.sa_handler = on_sigint;
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

std::string read_all(const std::string& path) {
  if (path == "-") {
    std::ostringstream ss;
    ss << std::cin.rdbuf();
    return ss.str();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw OSError(errno, path);
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw OSError(EIO, path);
  return ss.str();
}

// Writes through a temporary file and a rename, so a report is either whole or absent.
void write_report(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw OSError(errno, tmp);
    out << text << '\n';
    out.flush();
    if (!out) {
      const int err = errno;
      ::unlink(tmp.c_str());
      throw OSError(err ? err : EIO, tmp);
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw OSError(err, path);
  }
}

// The backup folder's archives and their sizes.
using ZipSizes = std::map<std::string, int64_t>;
ZipSizes zip_sizes(const std::string& dir) {
  ZipSizes out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      struct stat st {};
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0 &&
          ::stat((dir + "/" + name).c_str(), &st) == 0)
        out[name] = st.st_size;
    }
    ::closedir(d);
  }
  return out;
}

std::string count_text(const Value& v) {
  if (v.is_int() || v.is_float() || v.is_bool()) return py_repr(v);
  return v.is_none() ? "0" : py_repr(v);
}

// The plugin directory: --plugin-dir, else $IMG_UTIL_PLUGIN_DIR, else the built-in default.
void use_plugin_dir(const std::string& flag) {
  const char* env = std::getenv("IMG_UTIL_PLUGIN_DIR");
  if (!flag.empty())
    set_plugin_dir(flag);
  else if (env != nullptr && *env != '\0')
    set_plugin_dir(env);
}

// `run`'s arguments; none once the help has been printed.
std::optional<RunOptions> parse_run_args(const std::vector<std::string>& args) {
  RunOptions opts;
  bool have_config = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    if (a == "--help" || a == "-h") {
      std::fputs(kRunHelp, stdout);
      return std::nullopt;
    } else if (option_value(args, i, "--plugin-dir", value)) {
      if (value.empty()) throw Usage{"--plugin-dir needs a directory"};
      opts.plugin_dir = value;
    } else if (option_value(args, i, "--report", value)) {
      if (value.empty()) throw Usage{"--report needs a file name"};
      opts.report_path = value;
    } else if (a == "--debug") {
      opts.debug = true;
    } else if (a == "--no-log") {
      opts.no_log = true;
    } else if (a == "--keep-mtime") {
      opts.keep_mtime = true;
    } else if (a == "--dry-run") {
      opts.dry_run = true;
    } else if (option_value(args, i, "--jobs", value)) {
      opts.jobs = parse_jobs(value);
    } else if (a == "-v" || a == "--verbose") {
      opts.verbose = true;
    } else if (option_value(args, i, "--json", value)) {
      if (value.empty()) throw Usage{"--json needs a file name, or - for standard error"};
      opts.json_path = value;
    } else if (a.size() > 1 && a[0] == '-') {
      throw Usage{"unknown option " + a};
    } else if (!have_config) {
      opts.config_path = a;
      have_config = true;
    } else {
      throw Usage{"unexpected argument " + a};
    }
  }
  if (!have_config) throw Usage{"run needs a configuration file"};
  return opts;
}

// The configuration file as a JSON object; none once the reason it is refused has been said.
std::optional<Value> read_config(const std::string& path) {
  Value cfg;
  try {
    std::string text = read_all(path);
    // Editors on some systems start UTF-8 files with a byte order mark.
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    cfg = parse_json(text, DuplicateKeys::Refuse);
  } catch (const OSError& e) {
    say("cannot read configuration: " + std::string(e.what()));
    return std::nullopt;
  } catch (const DuplicateKeyError& e) {
    // The host would take the last value silently; a hand-edited file more likely holds a
    // leftover line than a deliberate override.
    say("config key " + py_repr(std::string_view(e.key())) + " is given more than once in " + path +
        " (again at " + e.where() + "); keep one");
    return std::nullopt;
  } catch (const ValueError& e) {
    say(path + " is not valid JSON: " + e.what());
    return std::nullopt;
  }
  if (!cfg.is_dict()) {
    say("the configuration must be a JSON object, got " + cfg.type_name());
    return std::nullopt;
  }
  return cfg;
}

// Files directly in the root folder are written straight into the output folder, which
// nothing else creates; made here so they do not fail one by one. False once the reason it
// cannot be has been said.
bool make_output_folder(const Value& cfg) {
  const Value outpath = cfg.get("outpath");
  struct stat ost {};
  if (outpath.truthy() && ::stat(outpath.as_text().c_str(), &ost) == 0 && !S_ISDIR(ost.st_mode)) {
    say("config key 'outpath': " + py_repr(outpath) + " exists and is not a folder");
    return false;
  }
  if (outpath.truthy() && ::stat(outpath.as_text().c_str(), &ost) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(outpath.as_text(), ec);
    if (ec) {
      say("config key 'outpath': cannot create " + py_repr(outpath) + ": " + ec.message());
      return false;
    }
    say("created the output folder " + py_repr(outpath));
  }
  return true;
}

// The configuration, ready to run: given a fresh `result` when it has none, checked, and its
// output folder made. None once the reason it is refused has been said.
std::optional<Value> prepared_config(std::optional<Value> cfg) {
  if (!cfg) return std::nullopt;
  if (!cfg->contains("result")) {
    Value result = Value::dict();
    result.set("ctime", static_cast<int64_t>(std::time(nullptr)));
    result.set("compresscount", 0);
    result.set("maskcount", 0);
    result.set("files", Value::list());
    cfg->set("result", result);
  }
  const ConfigProblems problems = check_config(*cfg);
  for (const std::string& e : problems.errors) say(e);
  if (!problems.errors.empty()) return std::nullopt;
  for (const std::string& w : problems.warnings) say("warning: " + w);
  if (!make_output_folder(*cfg)) return std::nullopt;
  return cfg;
}

// A cause as the module describes it ("OSError: [Errno 2] No such file or directory: '/x'"), said
// plainly for a person: without the host language's exception type and error number, and
// without the file's own name where the line names it already.
std::string plain_cause(std::string cause, const std::string& fpath = {}) {
  const size_t colon = cause.find(": ");
  if (colon != std::string::npos && colon > 0 &&
      std::isupper(static_cast<unsigned char>(cause[0])) &&
      cause.find_first_of(" '\"", 0) > colon) {
    const std::string type = cause.substr(0, colon);
    if (type.ends_with("Error") || type.ends_with("Exception") || type.ends_with("Interrupt"))
      cause.erase(0, colon + 2);
  }
  if (cause.starts_with("[Errno ")) {
    const size_t close = cause.find("] ");
    if (close != std::string::npos) cause.erase(0, close + 2);
  }
  if (!fpath.empty()) {
    const std::string named = py_repr(std::string_view(fpath));
    for (const std::string& tail : {" in " + named, ": " + named})
      if (cause.size() > tail.size() && cause.ends_with(tail))
        cause.resize(cause.size() - tail.size());
  }
  return cause;
}

// With -v: what became of one file and why (in a dry run: what would).
std::string outcome_line(const std::string& fpath, FileOutcome outcome, const FileNote& note,
                         bool dry) {
  const std::string path = py_repr(std::string_view(fpath));
  const std::string would = dry ? "would be " : "";
  if (outcome == FileOutcome::Skipped)
    return would + "skipped " + path + ": " +
           (note.skip_reason.empty() ? std::string("not selected") : note.skip_reason);
  if (note.bytes_written < 0)
    return (dry ? "would stay unchanged " : "unchanged ") + path + ": " +
           (note.unchanged_reason.empty() ? std::string("nothing to write")
                                          : note.unchanged_reason);
  std::string line = would + "written " + path + ": " + byte_text(note.bytes_before) + " -> " +
                     byte_text(note.bytes_written);
  if (note.quality) line += ", quality " + std::to_string(*note.quality);
  return line;
}

// One event as a JSON line, for scripts. A path that is not UTF-8 goes as its repr.
void emit(std::FILE* out, Value event) {
  std::string line;
  try {
    line = to_json(event);
  } catch (...) {
    event.set("path", py_repr(event.get("path")));
    line = to_json(event);
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

// What became of one file, as an event.
Value file_event(const std::string& fpath, FileOutcome outcome, const FileNote& note,
                 const std::string& error) {
  Value e = Value::dict();
  e.set("event", "file");
  e.set("path", fpath);
  if (outcome == FileOutcome::Failed) {
    e.set("outcome", "failed");
    e.set("reason", error);
  } else if (outcome == FileOutcome::Skipped) {
    e.set("outcome", "skipped");
    e.set("reason", note.skip_reason.empty() ? std::string("not selected") : note.skip_reason);
  } else if (note.bytes_written < 0) {
    e.set("outcome", "unchanged");
    e.set("reason",
          note.unchanged_reason.empty() ? std::string("nothing to write") : note.unchanged_reason);
  } else {
    e.set("outcome", "written");
    e.set("bytes_before", note.bytes_before);
    e.set("bytes_after", note.bytes_written);
    if (note.quality) e.set("quality", *note.quality);
  }
  return e;
}

// Runs `cfg` with the module's lines on standard output, progress and failures on standard
// error, and Ctrl-C stopping the run between two files. The run's exception, if any.
std::exception_ptr run_with_progress(IMAGES& images, Value& cfg, Progress& progress) {
  set_line_sink([&progress](const std::string& line) {
    progress.before_line();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    progress.after_line();
  });
  RunHooks hooks;
  hooks.on_start = [&progress](const std::string& fpath) { progress.start(fpath); };
  hooks.on_file = [&progress](const std::string& fpath, FileOutcome outcome,
                              const std::string& error) {
    const FileNote& note = file_note();
    progress.file(outcome, note);
    if (progress.json) emit(progress.json, file_event(fpath, outcome, note, error));
    std::string line;
    if (outcome == FileOutcome::Failed) {
      // The module's error line names only the file; the cause goes beside it on stderr.
      line = (progress.dry ? "would fail " : "") + py_repr(std::string_view(fpath)) + ": " +
             plain_cause(error, fpath);
      progress.last_error = error;
    } else if (progress.verbose) {
      line = outcome_line(fpath, outcome, note, progress.dry);
    }
    if (line.empty()) return;
    progress.before_line();
    say(line);
    progress.after_line();
  };
  hooks.poll = [] {
    if (g_interrupted) throw Interrupted();
  };
  set_run_hooks(hooks);
  install_sigint();

  std::exception_ptr failure;
  try {
    images.execute(cfg);
  } catch (...) {
    failure = std::current_exception();
  }
  progress.finish();
  set_run_hooks({});
  set_line_sink(nullptr);
  return failure;
}

// A run that stopped early leaves its archive open in cfg; completed here so the backups taken
// so far are readable, and taken out so the report is free of it.
void complete_left_archive(Value& cfg) {
  if (!cfg.get("zfile").truthy()) return;
  try {
    cfg.at("zfile").as_handle()->close();
  } catch (...) {
    say("the backup archive could not be completed: " +
        describe_exception(std::current_exception()));
  }
  cfg.erase("zfile");
}

// The exit status of a run that raised `failure`, said on standard error.
// What stopped the run, said once and plainly: a file's failure was said with its file already.
std::string failure_text(const std::exception_ptr& failure, const Progress& progress) {
  const std::string text = describe_exception(failure);
  if (!progress.last_error.empty() && text == progress.last_error)
    return "stopped at the first file that failed (set \"jumperr\": true, or pass --keep-going "
           "to compress or watermark, to go on past failed files)";
  try {
    std::rethrow_exception(failure);
  } catch (const OSError& e) {
    if (e.error_number() == EBUSY)
      return "another run is using " + basedir() +
             " (lock held); wait for it or pass another --plugin-dir";
  } catch (...) {
  }
  return plain_cause(text);
}

int failure_status(const std::exception_ptr& failure, const Progress& progress) {
  say(failure_text(failure, progress));
  try {
    std::rethrow_exception(failure);
  } catch (const Interrupted&) {
    return kInterrupted;
  } catch (...) {
    return kRunFailed;
  }
}

// The backup archives this run wrote: new in the backup folder, or grown since it started.
struct ArchiveWritten {
  std::string path;
  int64_t size = 0, added = 0;  // bytes; `added` is `size` for a new archive
};
std::vector<ArchiveWritten> archives_written(const std::string& backdir, const ZipSizes& before) {
  std::vector<ArchiveWritten> out;
  for (const auto& [name, size] : zip_sizes(backdir)) {
    const auto was = before.find(name);
    const int64_t added = was == before.end() ? size : size - was->second;
    if (was == before.end() || added > 0) out.push_back({backdir + "/" + name, size, added});
  }
  return out;
}

// "3 files" or "1 file".
std::string files_text(int64_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

// The closing summary: the time taken and the files per outcome, the bytes before and after
// over the files written, the counters and the backup archives this run wrote.
void say_summary(const Progress& progress, bool failed, const Value& result,
                 const std::vector<ArchiveWritten>& archives) {
  char timing[64];
  std::snprintf(timing, sizeof timing, "%.1f s", progress.elapsed());
  const std::string written = progress.dry ? " would be written" : " written";
  say(std::string(progress.dry ? "dry run " : "") + (failed ? "stopped" : "done") + " in " +
      timing + ": " + files_text(progress.seen()) + " seen: " + std::to_string(progress.written()) +
      written + ", " + std::to_string(progress.unchanged()) + " unchanged, " +
      std::to_string(progress.skipped()) + " skipped, " + std::to_string(progress.failed()) +
      " failed");
  if (progress.written() > 0) {
    const int64_t before = progress.bytes_before(), after = progress.bytes_after();
    const double share =
        before > 0 ? 100.0 * static_cast<double>(before - after) / static_cast<double>(before)
                   : 0.0;
    char percent[32];
    if (after <= before)
      std::snprintf(percent, sizeof percent, "%.0f%% saved", share);
    else
      std::snprintf(percent, sizeof percent, "%.0f%% more", -share);
    say(files_text(progress.written()) + written + ": " + byte_text(before) + " -> " +
        byte_text(after) + " (" + byte_text(after <= before ? before - after : after - before) +
        ", " + percent + ")");
  }
  const auto counter = [&result](const char* key) {
    return count_text(result.is_dict() ? result.get(key) : Value());
  };
  std::string counts = "compresscount " + counter("compresscount") + ", maskcount " +
                       counter("maskcount") + ", " + std::to_string(archives.size()) +
                       (archives.size() == 1 ? " backup archive" : " backup archives");
  for (size_t i = 0; i < archives.size(); ++i) {
    const ArchiveWritten& a = archives[i];
    counts += (i == 0 ? ": " : ", ") + a.path + " (" + byte_text(a.size) +
              (a.added == a.size ? "" : ", " + byte_text(a.added) + " added") + ")";
  }
  if (progress.dry)
    say("nothing was touched: no backup, scratch or output file, run-log row or report");
  else
    say(counts);
}

// After the run: the archive completed, the run logged, the report written, the summary said.
// The exit status.
int finish_run(IMAGES& images, Value& cfg, const RunOptions& opts,
               const std::exception_ptr& failure, const Progress& progress) {
  if (failure) complete_left_archive(cfg);
  // A cron job must be able to tell a run where files failed from a clean one.
  int status = failure                 ? failure_status(failure, progress)
               : progress.failed() > 0 ? kSomeFilesFailed
                                       : kOk;
  if (opts.dry_run) return status;

  const Value result = cfg.get("result");
  const bool counted = result.is_dict() &&
                       (result.get("compresscount").truthy() || result.get("maskcount").truthy());
  // Files already changed by a run that stopped early are logged too.
  if (!opts.no_log && (!failure || counted)) {
    try {
      images.save_db(cfg);
    } catch (...) {
      say("the run could not be logged: " + describe_exception(std::current_exception()));
      if (status == kOk) status = kRunFailed;
    }
  }
  if (!opts.report_path.empty()) {
    try {
      write_report(opts.report_path, to_json(cfg));
    } catch (...) {
      say("the report could not be written: " + describe_exception(std::current_exception()));
      if (status == kOk) status = kRunFailed;
    }
  }
  return status;
}

int cmd_run(const std::vector<std::string>& args) {
  const std::optional<RunOptions> opts = parse_run_args(args);
  if (!opts) return kOk;
  apply_run_options(*opts);
  return run_config(read_config(opts->config_path), *opts);
}

// The mode as stored (an integer, or a float such as 2.0 when the host gave one).
std::string mode_name(const std::string& flags) {
  if (flags == "1" || flags == "1.0") return "compress";
  if (flags == "2" || flags == "2.0") return "text";
  if (flags == "3" || flags == "3.0") return "picture";
  return flags;
}

std::string local_time(int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

int cmd_log(const std::vector<std::string>& args) {
  std::string plugin_dir;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kLogHelp, stdout);
      return kOk;
    } else if (option_value(args, i, "--plugin-dir", value)) {
      if (value.empty()) throw Usage{"--plugin-dir needs a directory"};
      plugin_dir = value;
    } else {
      throw Usage{
          (args[i].size() > 1 && args[i][0] == '-' ? "unknown option " : "unexpected argument ") +
          args[i]};
    }
  }
  use_plugin_dir(plugin_dir);
  RunLog log;
  try {
    log = read_run_log();
  } catch (const Error& e) {
    say(std::string(e.type_name()) + ": " + e.what());
    return kRunFailed;
  }
  if (log.state == RunLog::State::Missing) {
    say("no runs logged yet (" + log.path + " does not exist)");
    return kOk;
  }
  if (log.state == RunLog::State::NoTable) {
    say("no runs logged yet (" + log.path + " has no run table)");
    return kOk;
  }
  if (log.runs.empty()) {
    say("no runs logged yet");
    return kOk;
  }
  const auto known = [](const std::string& text) { return text.empty() ? "-" : text.c_str(); };
  std::printf("%-19s  %-11s  %-8s  %10s  %11s  %7s  %s\n", "started", "status", "mode",
              "compressed", "watermarked", "seconds", "folder");
  for (const LoggedRun& r : log.runs) {
    std::printf("%-19s  %-11s  %-8s  %10s  %11s  %7s  %s\n", local_time(r.ctime).c_str(),
                known(r.status), mode_name(r.flags).c_str(), known(r.compresscount),
                known(r.maskcount), known(r.seconds), r.folder.c_str());
    if (!r.message.empty()) std::printf("    %s\n", r.message.c_str());
    for (const std::string& archive : r.archives) std::printf("    archive %s\n", archive.c_str());
  }
  say(std::to_string(log.runs.size()) + (log.runs.size() == 1 ? " run" : " runs"));
  return kOk;
}

int dispatch(const std::vector<std::string>& args) {
  if (args.empty()) throw Usage{"a command is needed (compress, watermark, run, log or restore)"};
  const std::string& cmd = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kMainHelp, stdout);
    return kOk;
  }
  if (cmd == "--version") {
    std::printf("img_util %s\n", IMG_UTIL_VERSION);
    return kOk;
  }
  if (cmd == "compress" || cmd == "watermark") return cmd_flags(cmd, rest);
  if (cmd == "run") return cmd_run(rest);
  if (cmd == "log") return cmd_log(rest);
  if (cmd == "restore") return cmd_restore(rest);
  throw Usage{"unknown command " + cmd};
}

}  // namespace

void apply_run_options(const RunOptions& opts) {
  use_plugin_dir(opts.plugin_dir);
  // Without a tmpPath the trials would go to ./temp of wherever the shell happens to be.
  set_default_scratch_dir(IMAGES::tmpPath());
  if (opts.debug) set_debug(true);
  if (opts.keep_mtime) set_keep_mtime(true);
  set_jobs(opts.jobs);
  set_dry_run(opts.dry_run);
}

int parse_jobs(const std::string& text) {
  size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || n < 1 || n > 256)
    throw Usage{"--jobs needs a number of files from 1 to 256, not '" + text + "'"};
  return n;
}

int run_config(std::optional<Value> read, const RunOptions& opts) {
  std::optional<Value> cfg = prepared_config(std::move(read));
  if (!cfg) return kUsage;

  const bool live = ::isatty(STDERR_FILENO) == 1;
  Progress progress(live);
  // A dry run is only worth what it says, so it says it per file.
  progress.verbose = opts.verbose || opts.dry_run;
  progress.dry = opts.dry_run;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> json_file(nullptr, &std::fclose);
  if (opts.json_path == "-") {
    progress.json = stderr;
  } else if (!opts.json_path.empty()) {
    json_file.reset(std::fopen(opts.json_path.c_str(), "w"));
    if (!json_file) {
      say("cannot write the events to " + opts.json_path + ": " + std::strerror(errno));
      return kUsage;
    }
    progress.json = json_file.get();
  }
  const std::string backdir = IMAGES::backdir();
  const ZipSizes zips_before = zip_sizes(backdir);
  // Only a display needs the total; a log file or a cron job need not wait for a second walk.
  if (live) progress.set_total(count_walk_entries(*cfg));
  // A dry run leaves no record of itself either.
  RunRecord record(*cfg, !opts.no_log && !opts.dry_run, backdir);
  IMAGES images;
  const std::exception_ptr failure = run_with_progress(images, *cfg, progress);

  const int status = finish_run(images, *cfg, opts, failure, progress);
  const std::vector<ArchiveWritten> archives = archives_written(backdir, zips_before);
  std::string why = failure ? failure_text(failure, progress) : "";
  // A file's failure was said beside its file; the record keeps the cause with it.
  if (failure && describe_exception(failure) == progress.last_error)
    why = progress.last_error + "; " + why;
  record.finish(status, why, progress.failed(), cfg->get("result"));
  say_summary(progress, failure != nullptr, cfg->get("result"), archives);
  if (progress.json) {
    Value e = Value::dict();
    e.set("event", "summary");
    e.set("seen", progress.seen());
    e.set("processed", progress.processed());
    e.set("skipped", progress.skipped());
    e.set("failed", progress.failed());
    e.set("written", progress.written());
    e.set("unchanged", progress.unchanged());
    e.set("bytes_before", progress.bytes_before());
    e.set("bytes_after", progress.bytes_after());
    List paths;
    for (const ArchiveWritten& a : archives) paths.emplace_back(a.path);
    e.set("archives", Value(std::move(paths)));
    if (opts.dry_run) e.set("dry_run", true);
    e.set("exit_status", static_cast<int64_t>(status));
    emit(progress.json, std::move(e));
  }
  return status;
}

}  // namespace img_util::cli

int main(int argc, char** argv) {
  using namespace img_util::cli;
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return dispatch(args);
  } catch (const Usage& u) {
    std::fprintf(stderr, "img_util: %s\n%s", u.message.c_str(),
                 "Try 'img_util --help' for more information.\n");
    return kUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "img_util: %s\n", e.what());
    return kRunFailed;
  }
}
