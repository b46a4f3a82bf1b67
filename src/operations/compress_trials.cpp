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
std::optional<bool> g_size_model;

// Tells the observer, if any, that the loop uses the trial at `quality`.
void observe(int quality) {
  std::lock_guard lock(g_seam_mutex);
  if (g_observer) g_observer(quality);
}

}  // namespace

void set_trial_observer(TrialObserver observer) {
  std::lock_guard lock(g_seam_mutex);
  g_observer = std::move(observer);
}

void set_trial_lookahead(std::optional<bool> enabled) {
  std::lock_guard lock(g_seam_mutex);
  g_lookahead = enabled;
}

void set_trial_size_model(std::optional<bool> enabled) {
  std::lock_guard lock(g_seam_mutex);
  g_size_model = enabled;
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
  model_on_ =
      g_size_model.value_or(true) && format_ == "JPEG" && imaging::JpegSizeModel::covers(*im_);
}

// A lookahead still running uses this object; the future's destructor would wait for it too,
// but waiting here makes the order explicit.
TrialEncoder::~TrialEncoder() {
  if (pending_.valid()) pending_.wait();
}

imaging::EncodeOptions TrialEncoder::options(int quality) const {
  imaging::EncodeOptions opts;
  opts.quality = quality;
  opts.optimize = optimize_;
  return opts;
}

// From the size model's coefficients where there is one: the same bytes without transforming
// the image again. Should that fail (out of memory, say), the encoder starts afresh, and its
// failure, if any, is the trial's.
std::string TrialEncoder::run(int quality, const imaging::JpegSizeModel* model) const {
  if (model) {
    try {
      return model->encode(quality, optimize_);
    } catch (...) {
    }
  }
  return imaging::encode(*im_, format_, options(quality));
}

TrialEncoder::Made TrialEncoder::run_here(int quality) const {
  try {
    return {quality, run(quality, model_.get()), nullptr};
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
  observe(quality);
  asked_ = true;
  if (!uses_quality_) {
    if (!same_for_all_) same_for_all_ = run(quality, nullptr);
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
    bytes = run(quality, model_.get());
  }

  if (ahead > 0 && goes_on_ && !made_or_pending(ahead) && goes_on_(bytes.size())) prefetch(ahead);
  return bytes;
}

void TrialEncoder::prefetch(int quality) noexcept {
  if (!lookahead_ || pending_.valid()) return;
  // Made ahead only on a CPU that no file of the run is using (forced on, always).
  SpareCpu cpu;
  if (!lookahead_forced_ && !(cpu = SpareCpu::take(SpareUse::trial_ahead))) return;
  // Before the loop's first trial, where it compares sizes, its first trials are likely sized.
  if (model_on_ && goes_on_ && !asked_) return start_size_model(std::move(cpu));
  try {
    // The model goes along: this object may drop its own meanwhile.
    pending_ =
        std::async(std::launch::async, [this, quality, model = model_, cpu = std::move(cpu)] {
          return run(quality, model.get());
        });
    pending_quality_ = quality;
  } catch (...) {
    // No thread to be had: the trial is simply made when it is asked for.
  }
}

// ---- trials sized by the model ---------------------------------------------------------------

// A trial the loop goes on after is one it never adopts, writes or compares with the probe, so
// its bytes are not needed; a lower bound of its size over the target shows the loop goes on
// exactly as its real size would. Trials that may fit are encoded, and so is any trial that
// could end the loop. Nothing is encoded ahead then: the next trial is likely sized too.
TrialEncoder::Measured TrialEncoder::measure(int quality, std::optional<int> next,
                                             bool size_will_do) {
  if (size_will_do && goes_on_ && !made_or_pending(quality)) {
    if (const imaging::JpegSizeModel* model = size_model()) {
      const size_t bound = model->lower_bound(quality, goes_on_);
      if (goes_on_(bound)) {
        observe(quality);
        asked_ = true;
        return {bound, std::nullopt};
      }
      next.reset();
    }
  }
  // Encoded from the model where there is one (one being made is waited for): written from its
  // coefficients, with the optimal tables from its counts, an encoding takes about half the
  // encoder's time, and holds an MCU row of coefficients beside the model where the encoder's
  // own optimised encoding would hold all of them again.
  if (model_pending_.valid()) size_model();
  std::string bytes = encode(quality, next);
  const size_t size = bytes.size();
  return {size, std::move(bytes)};
}

// With a CPU to spare, the model is made there while the probe is encoded as usual: that
// ends sooner than both one after the other. Without one, the model comes first and the probe
// is written from its coefficients, sparing the encoder's own transform of the image.
std::string TrialEncoder::probe(std::optional<int> first_trial) {
  if (first_trial) prefetch(*first_trial);
  if (first_trial && model_on_ && goes_on_ && !model_pending_.valid()) {
    if (const imaging::JpegSizeModel* model = size_model()) {
      try {
        return model->encode(75, false);  // the encoder's defaults
      } catch (...) {
        // The encoder starts afresh.
      }
    }
  }
  return imaging::encode(*im_, format_);
}

const imaging::JpegSizeModel* TrialEncoder::size_model() {
  if (model_pending_.valid()) {
    try {
      model_ = model_pending_.get();
    } catch (...) {
      model_.reset();  // out of memory, say: the trials are encoded
    }
  } else if (model_on_ && !model_tried_) {
    try {
      model_ = std::make_shared<const imaging::JpegSizeModel>(*im_, options(0));
    } catch (...) {
      model_.reset();
    }
  }
  model_tried_ = true;
  return model_.get();
}

void TrialEncoder::start_size_model(SpareCpu cpu) noexcept {
  if (!model_on_ || model_tried_ || model_pending_.valid()) return;
  try {
    model_pending_ =
        std::async(std::launch::async, [im = im_, opts = options(0), cpu = std::move(cpu)] {
          return std::make_shared<const imaging::JpegSizeModel>(*im, opts);
        });
  } catch (...) {
    // No thread to be had: the model is made when it is first needed.
  }
}

}  // namespace img_util::compress_detail
