// SPDX-License-Identifier: Apache-2.0
// Lets a thread step aside for every other thread of the machine: it then
// runs only on processor time nobody else wants. For work that must never
// delay anything that answers a peer, such as the service's pages.
#ifndef HISTFEED_PLATFORM_THREAD_PRIORITY_H_
#define HISTFEED_PLATFORM_THREAD_PRIORITY_H_

namespace histfeed::platform {

// Lowers the calling thread to the lowest priority the system offers
// (SCHED_IDLE on Linux, the idle priority on Windows); where that is not
// allowed, to the weakest nice value. There is no way back up: a thread
// without privileges may not raise its priority again. Returns false when
// neither could be set.
bool LowerCurrentThreadToIdle();

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_THREAD_PRIORITY_H_
