// SPDX-License-Identifier: Apache-2.0
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

uint16_t Ring::PeekMany(uint8_t* dst, uint16_t size, uint16_t* lengths, uint16_t max) const {
  uint16_t seen = 0;
  for (uint16_t index = readIndex; seen < max && index != writeIndex; ++seen) {
    index = Advance(index);
    uint16_t length = this->lengths[index];
    lengths[seen] = length;
    if (length > 0 && length <= size) std::memcpy(dst + size_t{seen} * size, Slot(index), length);
  }
  return seen;
}

}  // namespace histfeed
