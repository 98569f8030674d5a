// SPDX-License-Identifier: Apache-2.0
// StopProcess: flush every buffer, stop the sender after it has drained
// the send queue, and leave the family ready to start again.
#include "classic/stop_process.h"

#include "classic/delivery_abandon.h"
#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "client_library/client_library.h"
#include "histfeed.h"
#include "platform/clock.h"

namespace histfeed::classic {
namespace {

// Lets buffers that were just queued reach the sender before it stops.
constexpr int64_t kFlushSettleMs = 100;

}  // namespace

void StopForUnloading() {
  StopProcess();
  platform::MutexLock lock(Classic().senderStartLock);
  if (IsSenderThread()) return;
  // Ended already (or never started): this only frees what it left.
  if (StopSender(0)) return;
  AbandonDeliveries(true);
  StopSender(-1);  // no time limit
  // The sender may have opened a connection after StopProcess closed them.
  client_library::CloseConnections();
  // The library may stay loaded (another reference to it): later runs
  // deliver as usual.
  AbandonDeliveries(false);
}

}  // namespace histfeed::classic

extern "C" HISTFEED_API int32_t HISTFEED_CALL StopProcess(void) {
  using namespace histfeed::classic;
  int32_t result = 0;
  {
    histfeed::platform::MutexLock lock(Classic().senderStartLock);
    if (Classic().running.load()) {
      result = KelFlushAllRecords(nullptr, nullptr, 0);
      histfeed::platform::SleepMs(kFlushSettleMs);
      // A sender that has not ended in time keeps its thread and queue;
      // the next start waits for it and then frees them.
      StopSender(kStopWaitMs);
    }
  }
  // Each open connection holds a socket here and resources at the
  // service; the next call opens what it needs again.
  histfeed::client_library::CloseConnections();
  return result;
}
