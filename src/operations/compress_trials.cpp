#include "operations/compress_trials.hpp"

#include <chrono>
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

bool format_uses_quality(const std::string& format) { return imaging::format_caps(format).quality; }

LoopStep after_trial(int quality, int step) {
  if (quality - step <= 0) {
    // Halving rounds the decrement up (10, 5, 3, 2, 1, 1, ...) so it never reaches 0.
    step -= step / 2;
    if (quality <= 1) return {step, true, quality};
  }
  return {step, false, quality - step};
}

TrialEncoder::TrialEncoder(std::shared_ptr<const Image> im, std::string format, bool optimize)
    : im_(std::move(im)),
      format_(std::move(format)),
      optimize_(optimize),
      uses_quality_(format_uses_quality(format_)) {
  std::lock_guard lock(g_seam_mutex);
  lookahead_ = uses_quality_ && g_lookahead.value_or(true);
  lookahead_forced_ = lookahead_ && g_lookahead.has_value();
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

TrialEncoder::Made TrialEncoder::run_here(int quality) const {
  try {
    return {quality, run(quality), nullptr};
  } catch (...) {
    return {quality, {}, std::current_exception()};
  }
}

bool TrialEncoder::made_or_pending(int quality) const {
  return (made_ && made_->quality == quality) || (pending_.valid() && pending_quality_ == quality);
}

// Two CPUs, two trials at a time: while the calling thread would wait for a trial running on
// the second thread, it makes the next one itself; a trial the loop is sure to want next goes
// to the second thread at once. Only a trial made on a guess can turn out to be in vain, and it
// always runs beside one that was wanted.
std::string TrialEncoder::encode(int quality, std::optional<int> next) {
  {
    std::lock_guard lock(g_seam_mutex);
    if (g_observer) g_observer(quality);
  }
  if (!uses_quality_) {
    if (!same_for_all_) same_for_all_ = run(quality);
    return *same_for_all_;
  }
  // The trial after this one, where it may be made ahead (qualities are positive).
  const int ahead = lookahead_ && next ? *next : 0;

  std::string bytes;
  if (made_ && made_->quality == quality) {
    Made m = std::move(*made_);
    made_.reset();
    if (m.error) std::rethrow_exception(m.error);
    bytes = std::move(m.bytes);
  } else if (pending_.valid() && pending_quality_ == quality) {
    using namespace std::chrono_literals;
    if (ahead > 0 && !made_or_pending(ahead) && pending_.wait_for(0s) != std::future_status::ready)
      made_ = run_here(ahead);
    pending_quality_.reset();
    // get() rethrows a failure of the lookahead; it is the failure this trial would have had.
    bytes = std::exchange(pending_, {}).get();
  } else {
    // Whatever was made ahead is not what the loop asks for (it never happens with the loop's
    // own order): drop it.
    if (pending_.valid()) pending_.wait();
    pending_ = {};
    pending_quality_.reset();
    made_.reset();
    if (ahead > 0) prefetch(ahead);
    bytes = run(quality);
  }

  if (ahead > 0 && goes_on_ && !made_or_pending(ahead) && goes_on_(bytes)) prefetch(ahead);
  return bytes;
}

void TrialEncoder::prefetch(int quality) noexcept {
  if (!lookahead_ || pending_.valid()) return;
  // Made ahead only on a CPU that no file of the run is using (forced on, always).
  SpareCpu cpu;
  if (!lookahead_forced_ && !(cpu = SpareCpu::take(SpareUse::trial_ahead))) return;
  try {
    pending_ = std::async(std::launch::async,
                          [this, quality, cpu = std::move(cpu)] { return run(quality); });
    pending_quality_ = quality;
  } catch (...) {
    // No thread to be had: the trial is simply made when it is asked for.
  }
}

}  // namespace img_util::compress_detail
