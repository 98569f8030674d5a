// SPDX-License-Identifier: Apache-2.0
#include "platform/thread_priority.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace histfeed::platform {

bool LowerCurrentThreadToIdle() {
#if defined(__linux__)
  // Under SCHED_IDLE a waking normal thread takes the processor at once,
  // where a high nice value only shrinks this thread's share of it.
  sched_param none{};
  if (sched_setscheduler(0, SCHED_IDLE, &none) == 0) return true;
  // On Linux these calls name the calling thread alone.
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19) == 0;
#else
  // Elsewhere the nice value belongs to the whole process; leave it be.
  return false;
#endif
}

}  // namespace histfeed::platform
