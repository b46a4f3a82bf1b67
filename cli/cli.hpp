// Pieces of the img_util command-line tool.
#pragma once

#include <cstdint>
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
  std::string last_error;  // the cause of the last file that failed, as said

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
