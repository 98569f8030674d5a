// SPDX-License-Identifier: Apache-2.0
#include <cstring>

#include "classic/delivery_abandon.h"
#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "classic/service_load.h"
#include "client_library/client_library.h"
#include "queue/record_queue.h"

namespace histfeed::classic {
namespace {

constexpr int kDeliveryAttempts = 100;
constexpr int64_t kAttemptPauseMs = 100;
constexpr int64_t kBusyPauseMs = 5000;

uint32_t ReplyStatus(const uint8_t* reply) {
  const uint8_t* p = reply + TARVO_REPLY_STATUS_OFFSET;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool IsBusy(uint32_t status) {
  return (status & TARVO_STATUS_BUSY_BITS) == TARVO_STATUS_BUSY_BITS;
}

void DropQueueHead(RecordQueue& queue) {
  uint8_t number[2];
  uint16_t length = 0;
  queue.Pop(number, sizeof(number), &length);
}

// Only this thread writes the flag, so reading it first is enough; a
// store on every delivery would fence each time.
void ClearBusy(ClassicState& shared) {
  if (shared.busy.load(std::memory_order_relaxed) != 0) shared.busy = 0;
}

int32_t Exchange(bool longKind, const char* service, const uint8_t* request, uint8_t* reply) {
  return longKind ? client_library::LongIdExchange(service, request, reply)
                  : client_library::ShortIdExchange(service, request, reply);
}

}  // namespace

int32_t DeliverServiceBuffer(BufferNumber b, AfterDelivery after, RecordQueue* popFrom) {
  if (!b.Valid()) return 0;
  ClassicState& shared = Classic();
  ServiceBuffer& buffer = ServiceBuffers()[b];
  char service[kServiceNameSize];
  std::memcpy(service, buffer.serviceName, kServiceNameSize);
  service[kServiceNameSize - 1] = '\0';
  const bool longKind = buffer.kind != 0;
  const uint16_t code = longKind ? TARVO_CODE_LONG_ID_DATA : TARVO_CODE_SHORT_ID_DATA;

  // Sent from the buffer's own slot: while it is PENDING FLUSH only this
  // thread touches it, and the code and stamp land in header bytes that
  // nothing else reads. The records are not copied on any attempt.
  uint8_t* request = buffer.request;
  uint8_t reply[TARVO_REPLY_SIZE];
  for (int attempt = 1;; ++attempt) {
    if (DeliveriesAbandoned()) return 0;
    if (client_library::Connect(service) == 0) {
      std::memset(reply, 0, sizeof(reply));
      request[0] = static_cast<uint8_t>(code & 0xFF);
      request[1] = static_cast<uint8_t>(code >> 8);
      client_library::Stamp(request + TARVO_STAMP_OFFSET, TARVO_STAMP_SIZE);
      int32_t result = Exchange(longKind, service, request, reply);
      if (result == 0 && IsBusy(ReplyStatus(reply))) {
        // Same request, same reply block: neither zeroed nor stamped again.
        shared.busy = 1;
        PauseDelivery(kBusyPauseMs);
        if (DeliveriesAbandoned()) return 0;
        result = Exchange(longKind, service, request, reply);
      }
      uint32_t status = ReplyStatus(reply);
      if (result == 0 && (status & 0xFFFF) == 0) {
        ClearBusy(shared);
        LoadReport report;
        bool reported = ParseLoadReport(reply, &report);
        // One hold of the lock for all of it: the sender's cost per buffer
        // is mostly its locking. The number leaves the queue before the
        // buffer is FREE, so the queue never holds a free buffer's number.
        platform::MutexLock lock(Classic().bufferLock);
        SetRecordCount(buffer, 0);
        if (reported) StoreServiceLoad(service, report);
        if (popFrom != nullptr) DropQueueHead(*popFrom);
        if (after == AfterDelivery::kFree) ServiceBuffers().FreeLocked(b);
        return 1;
      }
      if (!IsBusy(status)) {
        client_library::Disconnect(service);
        ClearBusy(shared);
      }
    }
    if (attempt >= kDeliveryAttempts) return 0;
    PauseDelivery(kAttemptPauseMs);
  }
}

}  // namespace histfeed::classic
