// SPDX-License-Identifier: Apache-2.0
#include "platform/thread_cpu_time.h"

#include <time.h>

namespace histfeed::platform {

std::chrono::nanoseconds CurrentThreadCpuTime() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

}  // namespace histfeed::platform
