// The run log: the database in the plugin directory where save_db adds one row per run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace img_util {

// One logged run, its counts as the log stores them.
struct LoggedRun {
  int64_t ctime = 0;  // start of the run, seconds since the epoch
  std::string flags;  // the run's maskmode ("1", "2.0", ...)
  std::string compresscount;
  std::string maskcount;
  std::string seconds;  // how long the run took
  std::string folder;
};

// What the run log holds.
struct RunLog {
  enum class State {
    Missing,  // no database file yet
    NoTable,  // a database without the run table
    Present,
  };
  std::string path;  // the database file
  State state = State::Missing;
  std::vector<LoggedRun> runs;  // newest first
};

// Reads the run log of the plugin directory. Throws the database's error (OSError, or Error
// with SQLite's message) when it exists but cannot be read.
RunLog read_run_log();

}  // namespace img_util
