// SPDX-License-Identifier: Apache-2.0
// A lookup index over the service buffer table, so that finding the buffer
// of a record costs the same with 1 or 500 buffers in use, while giving
// exactly what a scan of buffers 0 to 499 would give.
//
// It is kept under the buffer lock and fed every state change. All of it
// is zero at load, which is the index of a table of FREE buffers.
#ifndef HISTFEED_CLASSIC_SERVICE_BUFFER_INDEX_H_
#define HISTFEED_CLASSIC_SERVICE_BUFFER_INDEX_H_

#include <cstdint>

#include "classic/service_buffer.h"

namespace histfeed::classic {

class ServiceBufferIndex {
 public:
  // The lowest-numbered buffer that is IN USE or ACQUIRED with this name
  // (ignoring letter case) and kind, or kNoServiceBuffer.
  int32_t FirstMember(const char* service, bool longKind) const;
  // The next such buffer after `b`, in number order, or kNoServiceBuffer.
  int32_t NextMember(int32_t b) const;

  // The lowest-numbered FREE buffer, or kNoServiceBuffer.
  int32_t FirstFree() const;

  // Among IN USE buffers numbered below `limit` with a record count above
  // 0, the one with the largest count (the lowest number on equal counts),
  // or kNoServiceBuffer.
  int32_t FullestInUseBefore(int32_t limit) const;

  // Buffer b went from `before` to `after`. `service` and `longKind` are its
  // name and kind, which must stay as they are while it is IN USE or
  // ACQUIRED; `count` is its record count now.
  void Update(int32_t b, BufferState before, BufferState after, const char* service,
              bool longKind, uint16_t count);

  // Back to all FREE.
  void Clear();

 private:
  static constexpr int32_t kSlots = 1024;     // hash slots, twice the buffers
  static constexpr int32_t kLeaves = 512;     // tree leaves, buffers rounded up
  static constexpr int32_t kTakenWords = (kServiceBufferCount + 63) / 64;

  struct Key {
    char name[kServiceNameSize];  // lower case, zero-padded
    uint8_t longKind;
  };
  struct Slot {
    Key key;
    uint8_t used;
    int16_t head;  // first member + 1; 0 = none
  };

  static bool MakeKey(const char* service, bool longKind, Key* key);
  static uint32_t Hash(const Key& key);
  int32_t FindSlot(const Key& key) const;  // -1 when absent
  void Insert(int32_t b, const Key& key);
  void Remove(int32_t b, const Key& key);
  void EraseSlot(int32_t slot);
  void SetLeaf(int32_t b, uint32_t value);

  Slot slots_[kSlots];
  int16_t next_[kServiceBufferCount];   // next member + 1; 0 = end
  uint64_t taken_[kTakenWords];         // bit set: buffer not FREE
  uint32_t tree_[2 * kLeaves];          // max tree of victim candidates
};

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_SERVICE_BUFFER_INDEX_H_
