// Working on a run's files ahead of their turn: the workers, and what they leave for the turn.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "img_util/value.hpp"
#include "support/deferred.hpp"

namespace img_util {

// What a file's work read, as it was: the source (followed through links) and the watermark's
// font and picture. Equal identities mean the file's turn would read what the work read.
struct Identity {
  struct Part {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    bool operator==(const Part& o) const {
      return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
             mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
             ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
  };
  std::vector<Part> parts;
  bool operator==(const Identity&) const = default;

  static Identity of(const std::string& fpath, const Value& cfg) {
    Identity id;
    id.parts.push_back(part(fpath));
    for (const char* key : {"fontttf", "maskimgPath"}) {
      const Value path = cfg.get(key);
      if (path.is_text()) id.parts.push_back(part(path.as_text()));
    }
    return id;
  }
  static Part part(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
};

// An entry of the walk, worked on ahead of its turn by one of the workers.
struct Ahead {
  std::string raw;    // as the walk named it
  int64_t bytes = 0;  // its size when handed over: larger files are started first
  // Set by the worker before `done`: whether it worked on the entry (some take their turn
  // only: animations, which run an external tool on shared scratch files), what the work read
  // and what it would do.
  bool worked = false;
  Identity read;
  DeferredEffects effects;
  bool done = false;  // guarded by the workers' mutex
};

// Threads that work on entries ahead of their turn, the largest of those waiting first.
class Workers {
 public:
  using Work = std::function<void(Ahead&)>;
  Workers(int n, Work work) : work_(std::move(work)) {
    for (int i = 0; i < n; ++i) {
      try {
        threads_.emplace_back([this] { serve(); });
      } catch (const std::system_error&) {
        break;  // fewer threads do the work (the run makes sure of at least one)
      }
    }
  }
  // Work already started ends first; entries not started are dropped.
  ~Workers() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wanted_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  bool any() const { return !threads_.empty(); }

  // Entries handed over together are started largest first.
  void hand_over(std::vector<std::shared_ptr<Ahead>> entries) {
    {
      std::lock_guard lock(mutex_);
      for (auto& e : entries) queue_.push_back(std::move(e));
    }
    wanted_.notify_all();
  }

  // Waits until a worker is done with `entry`. The run's thread does not take an entry back to
  // work on it itself: beside the workers it would be one thread more than there are CPUs,
  // and slow down the large file started first, which the batch waits for in the end.
  void wait_for(const std::shared_ptr<Ahead>& entry) {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return entry->done; });
  }

 private:
  void serve() {
    while (true) {
      std::shared_ptr<Ahead> entry;
      {
        std::unique_lock lock(mutex_);
        wanted_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        // The largest first: a large file started last would leave the other workers idle at
        // the end of a batch, and hold up the turns meanwhile.
        auto largest =
            std::max_element(queue_.begin(), queue_.end(),
                             [](const auto& a, const auto& b) { return a->bytes < b->bytes; });
        entry = std::move(*largest);
        queue_.erase(largest);
      }
      work_(*entry);
      {
        std::lock_guard lock(mutex_);
        entry->done = true;
      }
      finished_.notify_all();
    }
  }

  Work work_;
  std::mutex mutex_;
  std::condition_variable wanted_, finished_;
  std::deque<std::shared_ptr<Ahead>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace img_util
