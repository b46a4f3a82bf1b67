// Rows worked on by two threads when the work pays for one and a CPU is spare.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

#include "support/cpus.hpp"

namespace img_util::imaging {

// Runs fn(begin, end, part) over the rows [0, n): as two parts (0 and 1) on two threads when
// `work` (in the caller's units) reaches `worth_a_thread` and a CPU is spare, else as
// one part. Rows must be computed the same way wherever they run, so results never depend on
// the split. An exception from either part reaches the caller once both have ended.
template <class Fn>
void split_rows(int n, double work, double worth_a_thread, Fn&& fn) {
  if (n < 2 || work < worth_a_thread) return fn(0, n, 0);
  const SpareCpu spare = SpareCpu::take(SpareUse::rows);
  if (!spare) return fn(0, n, 0);
  const int mid = n / 2;
  std::exception_ptr failure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        fn(0, mid, 0);
      } catch (...) {
        failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    return fn(0, n, 0);
  }
  try {
    fn(mid, n, 1);
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace img_util::imaging
