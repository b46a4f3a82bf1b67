// The live progress line on standard error.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "cli.hpp"
#include "img_util/module.hpp"

namespace img_util::cli {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Progress::Progress(bool live) : live_(live), start_(now_seconds()) {}

double Progress::elapsed() const { return now_seconds() - start_; }

void Progress::file(int outcome) {
  ++seen_;
  switch (static_cast<FileOutcome>(outcome)) {
    case FileOutcome::Processed: ++processed_; break;
    case FileOutcome::Skipped: ++skipped_; break;
    case FileOutcome::Failed: ++failed_; break;
  }
  draw(false);
}

void Progress::draw(bool force) {
  if (!live_) return;
  const double now = now_seconds();
  // A terminal cannot show more than a few redraws a second anyway.
  if (!force && now - last_draw_ < 0.1) return;
  last_draw_ = now;
  const double secs = now - start_;
  std::fprintf(stderr, "\r\033[K%lld seen, %lld processed, %lld skipped, %lld failed, %.1f files/s",
               static_cast<long long>(seen_), static_cast<long long>(processed_),
               static_cast<long long>(skipped_), static_cast<long long>(failed_),
               secs > 0 ? static_cast<double>(seen_) / secs : 0.0);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::before_line() {
  if (live_ && shown_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

void Progress::after_line() {
  if (live_ && shown_) draw(true);
}

void Progress::finish() {
  if (live_ && shown_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
  }
}

}  // namespace img_util::cli
