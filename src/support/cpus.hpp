// How many CPUs this process may use, and who uses them.
//
// A run keeps its CPUs busy with whole files first: each thread working on a file holds a
// FileCpu. Work inside one file (half the rows, decoding beside resizing, a second decoder, a
// trial made ahead) goes to another thread only with a SpareCpu, which is there only while the
// files leave a CPU idle: for the last file of a batch, a single huge one, or a run of one job.
// Work outside a run counts as one file.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace img_util {

// The process's affinity mask: 1 under `taskset -c 0`.
inline int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return CPU_COUNT(&set);
}

namespace cpu_detail {
inline std::atomic<int> g_file_threads{0};
inline std::atomic<int> g_spare_threads{0};
}  // namespace cpu_detail

class FileCpu {
 public:
  FileCpu() { ++cpu_detail::g_file_threads; }
  ~FileCpu() { --cpu_detail::g_file_threads; }
  FileCpu(const FileCpu&) = delete;
  FileCpu& operator=(const FileCpu&) = delete;
};

// The kinds of work inside one file that may take a spare CPU. Each can be switched off, for
// tests and benchmarks: set_spare_uses_off(), or in the environment
// IMG_UTIL_NO_SPARE=rows,resize,decoder,trials (read once).
enum class SpareUse : unsigned {
  rows = 1,            // half the rows of a resize or a watermark
  beside_resize = 2,   // decoding on one thread, resizing on another
  second_decoder = 4,  // a progressive JPEG's scans read on two threads
  trial_ahead = 8,     // the next quality trial made meanwhile
};

namespace cpu_detail {
inline unsigned uses_off_from_environment() {
  const char* text = std::getenv("IMG_UTIL_NO_SPARE");
  if (!text) return 0;
  const std::string_view list(text);
  unsigned off = 0;
  for (const auto& [name, use] :
       {std::pair{"rows", SpareUse::rows}, std::pair{"resize", SpareUse::beside_resize},
        std::pair{"decoder", SpareUse::second_decoder}, std::pair{"trials", SpareUse::trial_ahead}})
    if (list.find(name) != std::string_view::npos) off |= static_cast<unsigned>(use);
  return off;
}
inline std::atomic<unsigned> g_uses_off{uses_off_from_environment()};
}  // namespace cpu_detail

// A bit set of SpareUse values that never get a spare CPU (0: all may).
inline void set_spare_uses_off(unsigned uses) { cpu_detail::g_uses_off = uses; }
inline bool spare_use_off(SpareUse use) {
  return (cpu_detail::g_uses_off.load() & static_cast<unsigned>(use)) != 0;
}

class SpareCpu {
 public:
  SpareCpu() = default;  // none
  // One spare CPU for `use`, or none when it is switched off or the files and the other
  // spares use every usable CPU.
  static SpareCpu take(SpareUse use) {
    if (spare_use_off(use)) return {};
    const int usable = usable_cpus();
    const int files = std::max(1, cpu_detail::g_file_threads.load());
    int spares = cpu_detail::g_spare_threads.load();
    while (files + spares + 1 <= usable) {
      if (cpu_detail::g_spare_threads.compare_exchange_weak(spares, spares + 1)) {
        SpareCpu cpu;
        cpu.held_ = true;
        return cpu;
      }
    }
    return {};
  }
  SpareCpu(SpareCpu&& other) noexcept : held_(std::exchange(other.held_, false)) {}
  SpareCpu& operator=(SpareCpu&& other) noexcept {
    if (this != &other) {
      release();
      held_ = std::exchange(other.held_, false);
    }
    return *this;
  }
  ~SpareCpu() { release(); }
  explicit operator bool() const { return held_; }

 private:
  void release() {
    if (std::exchange(held_, false)) --cpu_detail::g_spare_threads;
  }
  bool held_ = false;
};

// Set on a thread whose starter waits for its first results: a decoder feeding a resizer.
// Until rows come, the starter's CPU is idle, and a progressive file's reading, which comes
// before any row, may use it for a second thread reading scans.
inline thread_local bool t_starter_waits = false;

}  // namespace img_util
