// The run log: the database in the plugin directory where save_db adds one row per run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "img_util/value.hpp"

namespace img_util {

// One logged run, its counts as the log stores them.
struct LoggedRun {
  int64_t ctime = 0;          // start of the run, seconds since the epoch
  std::string flags;          // the run's maskmode ("1", "2.0", ...)
  std::string compresscount;  // empty: not known (a run that never ended)
  std::string maskcount;
  std::string seconds;  // how long the run took; empty: not known
  std::string folder;
  // How a run of the command-line tool went: "running", "finished", "failed" or "interrupted"
  // (one that ended without saying how: killed, or the machine went down). Empty for a run
  // that only save_db logged (the module's host).
  std::string status;
  std::string message;                // why it failed, or how many files failed
  std::vector<std::string> archives;  // the backup archives it wrote
};

// What the run log holds.
struct RunLog {
  enum class State {
    Missing,  // no database file yet
    NoTable,  // a database without either run table
    Present,
  };
  std::string path;  // the database file
  State state = State::Missing;
  std::vector<LoggedRun> runs;  // newest first
};

// Reads the run log of the plugin directory: the rows save_db added, each joined with the
// command-line tool's record of the same run, and the tool's runs that save_db did not log.
// Throws the database's error (OSError, or Error with SQLite's message) when it exists but
// cannot be read.
RunLog read_run_log();

// How a run of the command-line tool ended, for its record.
struct RunEnd {
  std::string status;                 // "finished", "failed" or "interrupted"
  std::string message;                // why it failed, or how many files failed; may be empty
  Value result;                       // cfg["result"]: its counters
  std::string backdir;                // where the archives are
  std::vector<std::string> archives;  // names of the archives the run wrote, in backdir
};

// The command-line tool's record of its runs, a table of its own beside image_logs in the same
// database (image_logs stays exactly as the module's host knows it). A row is added as a run
// starts, with status "running", and completed as it ends; a row still "running" whose process
// is gone reads as "interrupted". Both throw the database's error.
int64_t record_run_start(const Value& cfg);
void record_run_end(int64_t id, const RunEnd& end);

}  // namespace img_util
