// How many CPUs this process may run on (its affinity mask: 1 under `taskset -c 0`), which is
// what decides whether a second thread can make anything faster.
#pragma once

#include <sched.h>

namespace img_util {

inline int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return CPU_COUNT(&set);
}

}  // namespace img_util
