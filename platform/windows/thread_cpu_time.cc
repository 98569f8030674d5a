// SPDX-License-Identifier: Apache-2.0
#include "platform/thread_cpu_time.h"

#include <windows.h>

#include <cstdint>

namespace histfeed::platform {

std::chrono::nanoseconds CurrentThreadCpuTime() {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user)) {
    return std::chrono::nanoseconds(0);
  }
  auto ticks = [](const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  };
  // FILETIME counts 100-nanosecond ticks.
  return std::chrono::nanoseconds(static_cast<int64_t>((ticks(kernel) + ticks(user)) * 100));
}

}  // namespace histfeed::platform
