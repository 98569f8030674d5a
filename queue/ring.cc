#include "queue/ring.h"

#include <cstring>

#include "queue/record_queue.h"

namespace histfeed {

int32_t Ring::Take(bool remove, void* dst, uint16_t capacity, uint16_t* outLength) {
  if (Empty()) return kQueueEmpty;
  uint16_t oldest = Advance(readIndex);
  if (remove) readIndex = oldest;
  uint16_t length = lengths[oldest];
  if (length > capacity) return kQueueRecordTooLong;
  if (length > 0) std::memcpy(dst, Slot(oldest), length);
  *outLength = length;
  return kQueueOk;
}

}  // namespace histfeed
