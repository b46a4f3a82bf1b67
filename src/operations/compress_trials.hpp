// Trial encodings of the compression quality loop, made in memory.
//
// The loop's next quality never depends on the size just measured, only on whether the loop
// goes on, so while one trial is encoded the next one can already be encoded on a second
// core. Encoding is deterministic, so whichever trials run ahead the bytes are the same as
// encoding one after the other; an encoding that turns out not to be needed is dropped.
//
// Most trials the loop makes only tell it to go on: they are over the target. For JPEG the size
// model (imaging/jpeg_size.hpp) shows that for a fraction of an encoding's cost, from a lower
// bound of the size; such a trial is not encoded at all. Trials that may fit, and any trial
// whose bytes or exact size the loop may use, are encoded in full: written from the model's
// coefficients where it exists, the same bytes in about half the time.
#pragma once

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "imaging/imaging.hpp"
#include "imaging/jpeg_size.hpp"
#include "support/cpus.hpp"

namespace img_util::compress_detail {

// Test seam: called with the quality of every trial the loop uses, in order (trials that ran
// ahead and were dropped are not reported). Empty to remove.
using TrialObserver = std::function<void(int quality)>;
void set_trial_observer(TrialObserver observer);

// Test seam: whether trials may run ahead on a second thread. Defaults to "when a CPU is spare"
// (see support/cpus.hpp); true makes them run ahead whatever else runs.
void set_trial_lookahead(std::optional<bool> enabled);

// Test seam: whether a trial that the loop needs only to see it go on may be sized by the JPEG
// size model instead of encoded. Defaults to on.
void set_trial_size_model(std::optional<bool> enabled);

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

  // Whether the loop goes on after a trial of `size` bytes.
  using GoesOn = std::function<bool(size_t size)>;
  // Tells which trials the loop goes on after: those whose size makes `goes_on` true. The
  // trial after such a one is then started at once, being sure to be wanted.
  void set_goes_on(GoesOn goes_on) { goes_on_ = std::move(goes_on); }
  // The encoding at `quality`; `next` is the trial the loop would ask for after it. Where
  // lookahead is on, `next` is made meanwhile on whichever CPU is free, so that both stay
  // busy while the loop goes on.
  std::string encode(int quality, std::optional<int> next = std::nullopt);
  // Starts the trial at `quality` in the background, where lookahead is on. Before the first
  // trial, where the loop compares sizes (set_goes_on) and the size model is on, it starts the
  // model instead. Never throws.
  void prefetch(int quality) noexcept;

  // The probe: encode(im, format) at the encoder's defaults, where the loop's first trial is
  // likely `first_trial` (none where the loop makes no trial). That trial, or before it the
  // size model, is started meanwhile where a CPU is spare (prefetch). Where the loop compares
  // sizes and the model covers the image but no CPU is spare, the model is made first and the
  // probe written from its coefficients.
  std::string probe(std::optional<int> first_trial);

  // What the loop learns of a trial: its size, and its bytes unless it did not need them.
  struct Measured {
    size_t size = 0;  // in bytes; where `bytes` is empty, a lower bound that makes goes_on true
    std::optional<std::string> bytes;
  };
  // The trial at `quality` for a loop that, where `size_will_do`, uses its size only if the
  // loop goes on after it. A JPEG trial is then not encoded when the size model shows it over
  // the target: when a lower bound of its size already makes goes_on true, that bound is all
  // it gives. Otherwise the trial is encode(quality, next).
  Measured measure(int quality, std::optional<int> next, bool size_will_do);

 private:
  // A trial made ahead on the calling thread, or its failure.
  struct Made {
    int quality;
    std::string bytes;
    std::exception_ptr error;
  };
  imaging::EncodeOptions options(int quality) const;
  std::string run(int quality, const imaging::JpegSizeModel* model) const;
  // The size model of the image: made here on first use, or by the start in the background;
  // null where the model is off or does not cover the image.
  const imaging::JpegSizeModel* size_model();
  void start_size_model(SpareCpu cpu) noexcept;
  Made run_here(int quality) const;
  bool made_or_pending(int quality) const;

  std::shared_ptr<const Image> im_;
  std::string format_;
  bool optimize_;
  bool uses_quality_;
  bool lookahead_;
  bool lookahead_forced_;
  std::optional<std::string> same_for_all_;  // formats that ignore quality: one encoding
  GoesOn goes_on_;
  bool asked_ = false;        // whether the loop has asked for a trial yet
  bool model_on_ = false;     // JPEG of a mode the size model covers, and the model not turned off
  bool model_tried_ = false;  // made (or found impossible) and not dropped since
  std::shared_ptr<const imaging::JpegSizeModel> model_;
  // Made on another thread. It holds the image itself, so it may outlive this object, whose
  // destruction waits for it all the same (a future of std::async does).
  std::future<std::shared_ptr<const imaging::JpegSizeModel>> model_pending_;
  std::optional<int> pending_quality_;  // made on the second thread
  std::future<std::string> pending_;
  std::optional<Made> made_;  // made ahead on this thread
};

}  // namespace img_util::compress_detail
