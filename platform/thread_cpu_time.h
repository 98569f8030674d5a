// SPDX-License-Identifier: Apache-2.0
// The processor time the calling thread has used. For budgets of work that
// may wait long for the processor (on a thread of the lowest priority) and
// should be charged only for what it did.
#ifndef HISTFEED_PLATFORM_THREAD_CPU_TIME_H_
#define HISTFEED_PLATFORM_THREAD_CPU_TIME_H_

#include <chrono>

namespace histfeed::platform {

std::chrono::nanoseconds CurrentThreadCpuTime();

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_THREAD_CPU_TIME_H_
