// SPDX-License-Identifier: Apache-2.0
// The ring of fixed-size slots inside a RecordQueue. The queue's own ring
// and the region loaded back from a cache file follow the same rules.
#ifndef HISTFEED_QUEUE_RING_H_
#define HISTFEED_QUEUE_RING_H_

#include <cstdint>
#include <memory>

namespace histfeed {

struct Ring {
  // Indices run over 0..slotCount; slotCount itself means "before slot 0"
  // and is where a new ring starts.
  uint16_t slotCount = 0;
  uint16_t slotSize = 0;
  uint16_t writeIndex = 0;  // slot of the newest record
  uint16_t readIndex = 0;   // slot of the record taken last
  std::unique_ptr<uint16_t[]> lengths;
  std::unique_ptr<uint8_t[]> slots;

  uint16_t Advance(uint16_t index) const {
    uint32_t next = index + 1u;
    return next >= slotCount ? 0 : static_cast<uint16_t>(next);
  }

  bool Empty() const { return writeIndex == readIndex; }

  // On its first pass a ring of n slots takes n records; once its read
  // index has moved it holds at most n - 1.
  bool Full() const {
    return writeIndex + 1u == readIndex || (writeIndex + 1u == slotCount && readIndex == 0);
  }

  uint16_t Count() const {
    if (writeIndex >= readIndex) return writeIndex - readIndex;
    if (readIndex == slotCount) return writeIndex + 1;
    return slotCount - readIndex + writeIndex;
  }

  uint8_t* Slot(uint16_t index) const {
    return slots.get() + static_cast<size_t>(index) * slotSize;
  }

  // Takes (pop) or copies (peek) the oldest record. Returns 0, -305 when
  // empty, or -304 when it is longer than capacity (a pop drops it).
  int32_t Take(bool remove, void* dst, uint16_t capacity, uint16_t* outLength);

  // Copies up to `max` of the oldest records, leaving them in place, into
  // consecutive `size`-byte places of dst, and their lengths into
  // lengths[]; a record longer than `size` gets its length and no bytes.
  // Returns how many records it saw.
  uint16_t PeekMany(uint8_t* dst, uint16_t size, uint16_t* lengths, uint16_t max) const;
};

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_RING_H_
