// SPDX-License-Identifier: Apache-2.0
// The table of 500 service buffers and the state machine of each buffer:
//
//   FREE --Take--> ACQUIRED --Release--> IN USE --Queue / Claim--> PENDING FLUSH
//   IN USE --Take--> ACQUIRED     PENDING FLUSH --Free--> FREE
//                                 PENDING FLUSH --ReturnToUse--> IN USE
//
// Every change of state is one of the methods below, made under
// Classic().bufferLock; nothing else writes a buffer's state. While a
// buffer is ACQUIRED only the thread that took it touches its records and
// count; while it is PENDING FLUSH only the one delivering it does.
#ifndef HISTFEED_CLASSIC_SERVICE_BUFFER_TABLE_H_
#define HISTFEED_CLASSIC_SERVICE_BUFFER_TABLE_H_

#include <cstdint>

#include "classic/classic_state.h"
#include "classic/service_buffer.h"
#include "classic/service_buffer_index.h"
#include "platform/thread_annotations.h"

namespace histfeed::classic {

// One of the 500 buffers, by its number, or no buffer. The number is what
// the send queue carries and what the snapshot prints.
class BufferNumber {
 public:
  constexpr BufferNumber() = default;
  constexpr explicit BufferNumber(int32_t value) : value_(value) {}

  constexpr int32_t value() const { return value_; }
  // Whether it names one of the 500 buffers.
  constexpr bool Valid() const { return value_ >= 0 && value_ < kServiceBufferCount; }
  constexpr bool operator==(const BufferNumber&) const = default;

 private:
  int32_t value_ = kNoServiceBuffer;
};

inline constexpr BufferNumber kNoBuffer{};

// What one attempt to take a buffer finds, as a scan of buffers 0 to 499
// would: the buffer it takes (or none) and, when it takes none, the
// fullest IN USE buffer to queue (or none).
struct ServiceBufferChoice {
  BufferNumber taken;
  BufferNumber victim;
};

class ServiceBufferTable {
 public:
  // The buffer itself; `b` must be valid. Who may touch its records is
  // said at the top of this file.
  ServiceBuffer& operator[](BufferNumber b) { return buffers_[b.value()]; }

  BufferState StateOf(BufferNumber b) const REQUIRES(Classic().bufferLock) {
    return static_cast<BufferState>(buffers_[b.value()].state);
  }

  // The buffer for the next record of (service, kind), now ACQUIRED: the
  // IN USE buffer of that service and kind, or a FREE one, which takes the
  // service name (its first 19 characters) and kind. When none is left,
  // queues the fullest IN USE buffer and tries again 2 ms later, up to
  // 100 attempts; then kNoBuffer.
  BufferNumber Acquire(const char* service, int32_t kind) EXCLUDES(Classic().bufferLock);

  // One attempt of Acquire: the buffer now ACQUIRED, or kNoBuffer and in
  // *victim (when given) the fullest IN USE buffer to queue (or kNoBuffer).
  BufferNumber Take(const char* service, int32_t kind, BufferNumber* victim)
      REQUIRES(Classic().bufferLock);

  // Sets buffer b to IN USE; returns whether it was ACQUIRED. An invalid
  // number: false.
  bool Release(BufferNumber b) EXCLUDES(Classic().bufferLock);
  bool ReleaseLocked(BufferNumber b) REQUIRES(Classic().bufferLock);

  // Queues an IN USE buffer: PENDING FLUSH and its number on the send
  // queue. Returns true when queued; false (nothing changed) for any other
  // state, an invalid number, no send queue, or a failed push.
  bool Queue(BufferNumber b) EXCLUDES(Classic().bufferLock);
  bool QueueLocked(BufferNumber b) REQUIRES(Classic().bufferLock);

  // Claims an IN USE buffer as PENDING FLUSH for the caller to deliver
  // itself; false for any other state.
  bool ClaimLocked(BufferNumber b) REQUIRES(Classic().bufferLock);

  // A PENDING FLUSH buffer its service accepted: FREE again.
  void FreeLocked(BufferNumber b) REQUIRES(Classic().bufferLock);

  // A PENDING FLUSH buffer that could not be delivered: IN USE again, so
  // that it is neither stranded nor lost.
  void ReturnToUse(BufferNumber b) EXCLUDES(Classic().bufferLock);

  // What Take would find now. Changes nothing.
  ServiceBufferChoice Choose(const char* service, int32_t kind) const
      REQUIRES(Classic().bufferLock);

  // The first IN USE buffer of (service, kind), or kNoBuffer.
  BufferNumber FindInUse(const char* service, int32_t kind) const
      REQUIRES(Classic().bufferLock);

  // Records waiting in the send queue (0 without one).
  uint16_t SendQueueDepth() EXCLUDES(Classic().bufferLock);
  uint16_t SendQueueDepthLocked() REQUIRES(Classic().bufferLock);

 private:
  friend void ResetClassicStateForTesting();

  // The one place a state changes; the lookup index follows.
  void Move(BufferNumber b, BufferState next) REQUIRES(Classic().bufferLock);

  // All zero at load: every buffer FREE.
  ServiceBuffer buffers_[kServiceBufferCount];
  ServiceBufferIndex index_ GUARDED_BY(Classic().bufferLock);
};

// The table, in zero-filled static storage.
ServiceBufferTable& ServiceBuffers();

// Puts the whole family back to its state at load: all buffers FREE and
// zero, rate table empty, flags clear. The sender must be stopped. Tests.
void ResetClassicStateForTesting() EXCLUDES(Classic().bufferLock);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_SERVICE_BUFFER_TABLE_H_
