// SPDX-License-Identifier: Apache-2.0
// The operating system's thread start, one definition per system
// (posix/thread.cc, windows/thread.cc). Only the default ThreadSystem
// calls it; everything else goes through Threads().
#ifndef HISTFEED_PLATFORM_OS_THREADS_H_
#define HISTFEED_PLATFORM_OS_THREADS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/thread.h"

namespace histfeed::platform::os {

// Starts `body` on a new thread with at least `stackBytes` of stack; 0
// and *started set, or the system's error number.
int32_t StartThread(size_t stackBytes, ThreadBody body, std::shared_ptr<ThreadState>* started);

}  // namespace histfeed::platform::os

#endif  // HISTFEED_PLATFORM_OS_THREADS_H_
