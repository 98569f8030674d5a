// The table of connection slots, taking a slot, and the connected-state
// query.
#include <array>

#include "histfeed.h"
#include "platform/no_destructor.h"
#include "universal/mx_connection.h"
#include "universal/status_items.h"

namespace histfeed::universal {
namespace {

// Never destroyed: the application may leave keys open (and their threads
// running) while the library unloads.
std::array<MxConnection, kMaxConnections>& Table() {
  static platform::NoDestructor<std::array<MxConnection, kMaxConnections>> table;
  return *table;
}

// Takes the lowest free slot; the exchange makes the claim exclusive when
// initializations run at the same time.
int32_t ClaimSlot() {
  for (int32_t key = 0; key < kMaxConnections; ++key) {
    int32_t expected = 0;
    if (Table()[key].inUse.compare_exchange_strong(expected, 1)) return key;
  }
  return -1;
}

}  // namespace

MxConnection& Connection(int32_t key) { return Table()[static_cast<size_t>(key)]; }

}  // namespace histfeed::universal


using histfeed::universal::Connection;
using histfeed::universal::MxConnection;

extern "C" {

HISTFEED_API int32_t VornMxUniversalInitialize(int32_t* key, int32_t ackEnabled, int32_t queueEnabled,
                                               int32_t cacheEnabled, int32_t cacheSize,
                                               const char* cachePrefix, const char* cacheDirectory) {
  // Without a place to put the key the slot could never be closed again.
  int32_t taken = key != nullptr ? histfeed::universal::ClaimSlot() : -1;
  if (taken >= 0) {
    MxConnection& connection = Connection(taken);
    std::lock_guard<std::mutex> lifecycle(connection.control.lifecycle);
    {
      histfeed::SemLock buffers(connection.buffers.lock());
      connection.buffers.Reset();
    }
    connection.ackTimeoutSeconds = histfeed::universal::kDefaultAckTimeoutSeconds;
    connection.ackEnabled = 0;
    connection.queueEnabled = 0;
    connection.cacheEnabled = 0;
    connection.threadsRun = 0;
    connection.currentConnection = histfeed::universal::kUsePrimary;
    connection.primaryState = histfeed::universal::kDisconnected;
    connection.heartBeatSeconds = 0;
    connection.alternateState = histfeed::universal::kNoAlternate;
    if (queueEnabled != 0) {
      int32_t setUp = histfeed::universal::SetUpQueue(taken, cacheEnabled, cacheSize, cachePrefix,
                                                       cacheDirectory);
      if (setUp != 0) {
        // The caller never learns this key, so the slot is given back.
        connection.inUse = 0;
        return setUp;
      }
    }
    if (ackEnabled != 0) connection.ackEnabled = 1;
    *key = taken;
  }
  histfeed::universal::FillStatusItems();
  return taken >= 0 ? 0 : histfeed::universal::kNoFreeSlot;
}

HISTFEED_API int32_t ISVornMxUniversalConnected(int32_t key) {
  if (!histfeed::universal::IsValidKey(key)) return 0;
  MxConnection& connection = Connection(key);
  return connection.primaryState.load() == histfeed::universal::kConnected ||
                 connection.alternateState.load() == histfeed::universal::kConnected
             ? 1
             : 0;
}

}  // extern "C"
