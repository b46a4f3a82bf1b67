// Trial encodings of the compression quality loop, made in memory.
//
// The loop's next quality never depends on the size just measured, only on whether the loop
// goes on, so while one trial is encoded the next one can already be encoded on a second
// core. Encoding is deterministic, so whichever trials run ahead the bytes are the same as
// encoding one after the other; an encoding that turns out not to be needed is dropped.
#pragma once

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "imaging/imaging.hpp"

namespace img_util::compress_detail {

// Test seam: called with the quality of every trial the loop uses, in order (trials that ran
// ahead and were dropped are not reported). Empty to remove.
using TrialObserver = std::function<void(int quality)>;
void set_trial_observer(TrialObserver observer);

// Test seam: whether trials may run ahead on a second thread. Defaults to "when a CPU is spare"
// (see support/cpus.hpp); true makes them run ahead whatever else runs.
void set_trial_lookahead(std::optional<bool> enabled);

// Whether the encoder of `format` uses the quality option at all. Where it does not, every
// trial gives the same bytes.
bool format_uses_quality(const std::string& format);

// The loop's bookkeeping after a trial at `quality` with decrement `step`: the new step, and
// either the next quality or the decision to leave at once without measuring this trial.
struct LoopStep {
  int step;
  bool leave_now;
  int next_quality;
};
LoopStep after_trial(int quality, int step);

// Encodes one image at the qualities the loop asks for. The image must be fully loaded: a
// lookahead encoding reads its pixels from another thread (and keeps it alive meanwhile).
class TrialEncoder {
 public:
  TrialEncoder(std::shared_ptr<const Image> im, std::string format, bool optimize);
  ~TrialEncoder();
  TrialEncoder(const TrialEncoder&) = delete;
  TrialEncoder& operator=(const TrialEncoder&) = delete;

  // Tells which trials the loop goes on after: those whose bytes make `goes_on` true. The
  // trial after such a one is then started at once, being sure to be wanted.
  void set_goes_on(std::function<bool(const std::string&)> goes_on) {
    goes_on_ = std::move(goes_on);
  }
  // The encoding at `quality`; `next` is the trial the loop would ask for after it. Where
  // lookahead is on, `next` is made meanwhile on whichever CPU is free, so that both stay
  // busy while the loop goes on.
  std::string encode(int quality, std::optional<int> next = std::nullopt);
  // Starts the trial at `quality` in the background, where lookahead is on. Never throws.
  void prefetch(int quality) noexcept;

 private:
  // A trial made ahead on the calling thread, or its failure.
  struct Made {
    int quality;
    std::string bytes;
    std::exception_ptr error;
  };
  std::string run(int quality) const;
  Made run_here(int quality) const;
  bool made_or_pending(int quality) const;

  std::shared_ptr<const Image> im_;
  std::string format_;
  bool optimize_;
  bool uses_quality_;
  bool lookahead_;
  bool lookahead_forced_;
  std::optional<std::string> same_for_all_;  // formats that ignore quality: one encoding
  std::function<bool(const std::string&)> goes_on_;
  std::optional<int> pending_quality_;  // made on the second thread
  std::future<std::string> pending_;
  std::optional<Made> made_;  // made ahead on this thread
};

}  // namespace img_util::compress_detail
