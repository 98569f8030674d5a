// SPDX-License-Identifier: Apache-2.0
// Stopping the classic family: the exported StopProcess (histfeed.h) and
// the stronger stop that runs when the library is unloaded.
#ifndef HISTFEED_CLASSIC_STOP_PROCESS_H_
#define HISTFEED_CLASSIC_STOP_PROCESS_H_

#include <cstdint>

namespace histfeed::classic {

// Waits this long for the sender to drain and end.
inline constexpr int64_t kStopWaitMs = 5000;

// StopProcess, and then, if the sender thread is still delivering after
// its wait, makes it give up (no further attempt, pauses cut short) and
// waits for it to end, so that no thread runs the library's code once it
// is unmapped. That wait is as long as the client library call under way.
// Buffers the sender gave up on stay IN USE with their records. Does not
// wait when called on the sender thread itself (the process exiting from
// inside a client library call).
void StopForUnloading();

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_STOP_PROCESS_H_
