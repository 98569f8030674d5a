// SPDX-License-Identifier: Apache-2.0
#include "platform/thread_priority.h"

#include <windows.h>

namespace histfeed::platform {

bool LowerCurrentThreadToIdle() {
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE) != 0;
}

}  // namespace histfeed::platform
