// What the benchmark drivers share: the best time of a few runs of a step.
#pragma once

#include <algorithm>
#include <chrono>

namespace img_util::bench {

// Milliseconds of the fastest of `repeat` runs of f().
template <class F>
double best_ms(int repeat, F&& f) {
  double best = 1e300;
  for (int i = 0; i < repeat; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count());
  }
  return best;
}

}  // namespace img_util::bench
