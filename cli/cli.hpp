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
inline constexpr int kInterrupted = 130;

// A configuration the tool refuses before the run starts; the message names the key.
struct ConfigError {
  std::string message;
};

// Checks the kinds of the keys a run reads. Throws ConfigError for the first problem found.
void validate_config(const Value& cfg);

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
