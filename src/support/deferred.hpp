// Effects held back until a file's turn.
//
// Files of a run may be worked on ahead of their turn on other threads. Everything such a file
// would do to the world (lines printed, counters, its backup entry, scratch and output files,
// its note) is recorded instead, in the order it would have happened, and done at the file's
// turn on the run's own thread. So the archives, files, counters and lines come out exactly as
// a run that takes one file at a time makes them. The pixel work itself has no effects and is
// what runs ahead.
#pragma once

#include <exception>
#include <functional>
#include <utility>
#include <vector>

namespace img_util {

class Value;

class DeferredEffects {
 public:
  // An effect, done against the run's own configuration (counters, archive, file list).
  using Effect = std::function<void(const Value& cfg)>;
  // What the file's note says (selected, skipped and why, written, unchanged and why) is kept
  // apart from what touches the world, so a dry run can say what would happen; a dry run's
  // checks stand in for effects whose failure it must still tell.
  enum class Kind { Touches, Note, DryCheck };

  void add(Effect effect, Kind kind = Kind::Touches) {
    effects_.push_back({std::move(effect), kind});
  }
  // The file's own failure, at the point it happened: effects after it never come.
  void fail(std::exception_ptr error) { error_ = std::move(error); }

  // Does the effects in order; then raises the recorded failure, if any. An effect that fails
  // raises at once, and the later ones are not done, as they would not have happened.
  // A dry replay does the notes and the dry checks only.
  void replay(const Value& cfg, bool dry = false) const {
    for (const auto& [effect, kind] : effects_)
      if (kind == Kind::Note || (kind == Kind::Touches) != dry) effect(cfg);
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::vector<std::pair<Effect, Kind>> effects_;
  std::exception_ptr error_;
};

// The list the calling thread records its effects into, or null when effects happen at once.
DeferredEffects* deferring();

// Records the calling thread's effects into `effects` for its lifetime.
class DeferringScope {
 public:
  explicit DeferringScope(DeferredEffects& effects);
  ~DeferringScope();
  DeferringScope(const DeferringScope&) = delete;
  DeferringScope& operator=(const DeferringScope&) = delete;

 private:
  DeferredEffects* previous_;
};

}  // namespace img_util
