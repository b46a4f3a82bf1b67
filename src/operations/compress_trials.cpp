#include "operations/compress_trials.hpp"

#include <mutex>
#include <system_error>
#include <utility>

#include "support/cpus.hpp"

namespace img_util::compress_detail {

namespace {

std::mutex g_seam_mutex;
TrialObserver g_observer;
std::optional<bool> g_lookahead;

}  // namespace

void set_trial_observer(TrialObserver observer) {
  std::lock_guard lock(g_seam_mutex);
  g_observer = std::move(observer);
}

void set_trial_lookahead(std::optional<bool> enabled) {
  std::lock_guard lock(g_seam_mutex);
  g_lookahead = enabled;
}

bool format_uses_quality(const std::string& format) {
  return format == "JPEG" || format == "WEBP";
}

LoopStep after_trial(int quality, int step) {
  if (quality - step <= 0) {
    // Halving rounds the decrement up (10, 5, 3, 2, 1, 1, ...) so it never reaches 0.
    step -= step / 2;
    if (quality <= 1) return {step, true, quality};
  }
  return {step, false, quality - step};
}

TrialEncoder::TrialEncoder(std::shared_ptr<const Image> im, std::string format, bool optimize)
    : im_(std::move(im)), format_(std::move(format)), optimize_(optimize),
      uses_quality_(format_uses_quality(format_)) {
  std::lock_guard lock(g_seam_mutex);
  lookahead_ = uses_quality_ && g_lookahead.value_or(usable_cpus() > 1);
}

// A lookahead still running uses this object; the future's destructor would wait for it too,
// but waiting here makes the order explicit.
TrialEncoder::~TrialEncoder() {
  if (pending_.valid()) pending_.wait();
}

std::string TrialEncoder::run(int quality) const {
  imaging::EncodeOptions opts;
  opts.quality = quality;
  opts.optimize = optimize_;
  return imaging::encode(*im_, format_, opts);
}

// Trials go in pairs: a call that finds its trial already made returns it and starts nothing,
// and the next call makes its own trial on this thread while the one after it is made on the
// second. So both CPUs work while the loop goes on, and when it stops, the trial made ahead in
// vain ran beside the last one instead of after it.
std::string TrialEncoder::encode(int quality, std::optional<int> next) {
  {
    std::lock_guard lock(g_seam_mutex);
    if (g_observer) g_observer(quality);
  }
  if (!uses_quality_) {
    if (!same_for_all_) same_for_all_ = run(quality);
    return *same_for_all_;
  }
  if (pending_.valid()) {
    const bool wanted = pending_quality_ == quality;
    pending_quality_.reset();
    // get() rethrows a failure of the lookahead; it is the failure this trial would have had.
    if (wanted) return std::exchange(pending_, {}).get();
    pending_.wait();
    pending_ = {};
  }
  if (next) prefetch(*next);
  return run(quality);
}

void TrialEncoder::prefetch(int quality) noexcept {
  if (!lookahead_ || pending_.valid()) return;
  try {
    pending_ = std::async(std::launch::async, [this, quality] { return run(quality); });
    pending_quality_ = quality;
  } catch (...) {
    // No thread to be had: the trial is simply made when it is asked for.
  }
}

}  // namespace img_util::compress_detail
