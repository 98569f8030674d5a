// SPDX-License-Identifier: Apache-2.0
// The table of 500 service buffers: taking a buffer for a record, giving
// it back, and queueing it for the sender. Buffer states change only under
// Classic().bufferLock.
#ifndef HISTFEED_CLASSIC_SERVICE_BUFFER_TABLE_H_
#define HISTFEED_CLASSIC_SERVICE_BUFFER_TABLE_H_

#include <cstdint>

#include "classic/classic_state.h"
#include "classic/service_buffer.h"
#include "platform/thread_annotations.h"

namespace histfeed::classic {

// Buffer `b`, 0 to 499.
ServiceBuffer& Buffer(int32_t b);

// Buffer state. SetBufferState keeps the lookup index in step, so every
// state change goes through it.
BufferState GetBufferState(int32_t b) REQUIRES(Classic().bufferLock);
void SetBufferState(int32_t b, BufferState state) REQUIRES(Classic().bufferLock);

// Returns buffer `b` for the next record of (service, kind): the IN USE
// buffer of that service and kind, or a FREE one, now ACQUIRED and
// carrying the service name (its first 19 characters) and kind. When none
// is left, queues the fullest IN USE buffer and tries again 2 ms later, up
// to 100 attempts; then returns kNoServiceBuffer.
int32_t AcquireServiceBuffer(const char* service, int32_t kind) EXCLUDES(Classic().bufferLock);

// One attempt of AcquireServiceBuffer: the buffer now ACQUIRED, or
// kNoServiceBuffer and in *victim (when given) the fullest IN USE buffer
// to queue (or kNoServiceBuffer).
int32_t TakeServiceBufferLocked(const char* service, int32_t kind, int32_t* victim)
    REQUIRES(Classic().bufferLock);

// Sets buffer b to IN USE; returns whether it was ACQUIRED. 500 or more: 0.
int32_t ReleaseServiceBuffer(int32_t b) EXCLUDES(Classic().bufferLock);

// Queues an IN USE buffer: PENDING FLUSH and its number on the send queue.
// Returns 1 when queued; 0 (nothing changed) for any other state, a number
// of 500 or more, no send queue, or a failed push.
int32_t QueueServiceBuffer(int32_t b) EXCLUDES(Classic().bufferLock);

// As QueueServiceBuffer, with the buffer lock already held.
int32_t QueueServiceBufferLocked(int32_t b) REQUIRES(Classic().bufferLock);

// What one attempt of AcquireServiceBuffer finds, as a scan of buffers 0
// to 499 would: the buffer it takes (or kNoServiceBuffer) and, when it
// takes none, the fullest IN USE buffer to queue (or kNoServiceBuffer).
struct ServiceBufferChoice {
  int32_t taken;
  int32_t victim;
};
// Changes nothing.
ServiceBufferChoice ChooseServiceBuffer(const char* service, int32_t kind)
    REQUIRES(Classic().bufferLock);

// The first IN USE buffer of (service, kind), or kNoServiceBuffer.
int32_t FindInUseServiceBuffer(const char* service, int32_t kind) REQUIRES(Classic().bufferLock);

// Records waiting in the send queue (0 without one).
uint16_t SendQueueDepth() EXCLUDES(Classic().bufferLock);

// Puts the whole family back to its state at load: all buffers FREE and
// zero, rate table empty, flags clear. The sender must be stopped. Tests.
void ResetClassicStateForTesting() EXCLUDES(Classic().bufferLock);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_SERVICE_BUFFER_TABLE_H_
