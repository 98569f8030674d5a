// SPDX-License-Identifier: Apache-2.0
// The classic family's table of 500 service buffers and its shared state.
//
// A ServiceBuffer collects the records of one service name and identifier
// kind in place, already in the layout of the data request that delivers
// them. Its state moves FREE -> ACQUIRED -> IN USE -> PENDING FLUSH -> FREE
// (and IN USE -> ACQUIRED for the next record), always under the buffer
// lock. While a buffer is ACQUIRED only the thread that acquired it
// touches its records and count; while it is PENDING FLUSH only the
// sender does.
#ifndef HISTFEED_CLASSIC_SERVICE_BUFFER_H_
#define HISTFEED_CLASSIC_SERVICE_BUFFER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "classic/request_layout.h"
#include "client_library/tarvo_plugin.h"
#include "platform/lazy_semaphore.h"

namespace histfeed {

struct RecordQueue;

namespace classic {

inline constexpr int32_t kServiceBufferCount = 500;
inline constexpr size_t kServiceNameSize = 20;  // 19 characters and a terminator
inline constexpr size_t kRequestImageSize = TARVO_SHORT_ID_REQUEST_SIZE;
inline constexpr size_t kRecordsOffset = TARVO_REQUEST_HEADER_SIZE;
inline constexpr int32_t kNoServiceBuffer = -1;

// Identifier kinds: the kind field holds 0 for short, non-zero for long.
inline constexpr int32_t kShortIdKind = 0;
inline constexpr int32_t kLongIdKind = 1;

enum BufferState : uint8_t {
  kFree = 0,
  kInUse = 1,
  kAcquired = 3,
  kPendingFlush = 5,
};

#pragma pack(push, 1)

struct ServiceBuffer {
  uint8_t state;
  char serviceName[kServiceNameSize];  // the 20th byte is never written
  int32_t kind;
  // The data request: code (zero here), record count, header rest (zero
  // here), then the records from offset 72.
  uint8_t request[kRequestImageSize];
};

struct ShortIdRecord {
  int32_t time;
  uint16_t milliseconds;
  char pointId[8];
  uint8_t unused1;
  uint16_t status;
  char value[17];
  uint8_t unused2[6];
};

struct LongIdRecord {
  int32_t time;
  uint16_t milliseconds;
  char pointId[60];
  uint8_t unused1;
  uint16_t status;
  char value[17];
  uint8_t unused2[2];
};

#pragma pack(pop)

static_assert(sizeof(ServiceBuffer) == 4097);
static_assert(offsetof(ServiceBuffer, kind) == 21);
static_assert(offsetof(ServiceBuffer, request) == 25);
static_assert(sizeof(ShortIdRecord) == TARVO_SHORT_ID_RECORD_SIZE);
static_assert(offsetof(ShortIdRecord, pointId) == record_layout::kShortPointId.offset &&
              sizeof(ShortIdRecord::pointId) == record_layout::kShortPointId.size);
static_assert(offsetof(ShortIdRecord, status) == record_layout::kShortStatus.offset &&
              offsetof(ShortIdRecord, value) == record_layout::kShortValue.offset);
static_assert(sizeof(LongIdRecord) == TARVO_LONG_ID_RECORD_SIZE);
static_assert(offsetof(LongIdRecord, pointId) == record_layout::kLongPointId.offset &&
              sizeof(LongIdRecord::pointId) == record_layout::kLongPointId.size);
static_assert(offsetof(LongIdRecord, status) == record_layout::kLongStatus.offset &&
              offsetof(LongIdRecord, value) == record_layout::kLongValue.offset);
static_assert(kRecordsOffset + TARVO_SHORT_ID_RECORDS_MAX * sizeof(ShortIdRecord) ==
              kRequestImageSize);
static_assert(kRecordsOffset + TARVO_LONG_ID_RECORDS_MAX * sizeof(LongIdRecord) ==
              TARVO_LONG_ID_REQUEST_SIZE);

// One row of the service rate table: the last load a service reported.
struct RateEntry {
  uint32_t count;
  uint32_t capacity;
  char serviceName[kServiceNameSize];
};

inline constexpr int32_t kRateTableRows = 10;

// The family's process-wide state. Lock order: add lock, then sender start
// lock or buffer lock, then a queue's own lock.
struct ClassicState {
  LazySemaphore addLock;          // serialises whole add calls
  LazySemaphore bufferLock;       // buffer states, counts of shared buffers, rate table, index
  LazySemaphore senderStartLock;  // starting and stopping the sender
  // The queue producers push onto; cleared under the buffer lock when the
  // sender stops, so nothing is pushed after its drain.
  std::atomic<RecordQueue*> sendQueue{nullptr};
  // The queue of the current sender thread; destroyed only once that thread
  // has ended.
  std::atomic<RecordQueue*> senderQueue{nullptr};
  std::atomic<int32_t> running{0};
  std::atomic<int32_t> busy{0};
  std::atomic<int32_t> libraryStarted{0};
  RateEntry rates[kRateTableRows];  // guarded by bufferLock
  // Each row's name in lower case, zero-padded, so that a lookup is one
  // compare per row; guarded by bufferLock.
  char rateKeys[kRateTableRows][kServiceNameSize];
  // Each row's count / capacity in floating point, worked out when the row
  // is written, so that choosing a row to replace divides nothing; guarded
  // by bufferLock.
  double rateLoads[kRateTableRows];
};

ClassicState& Classic();

// Buffer `b`, 0 to 499.
ServiceBuffer& Buffer(int32_t b);

// The record count at request offset 2. Read and written by the thread
// that owns the buffer (see the top of this file), or under the buffer lock.
uint16_t RecordCount(const ServiceBuffer& buffer);
void SetRecordCount(ServiceBuffer& buffer, uint16_t count);

// Buffer state; call with the buffer lock held. SetBufferState keeps the
// lookup index in step, so every state change goes through it.
BufferState GetBufferState(int32_t b);
void SetBufferState(int32_t b, BufferState state);

// Returns buffer `b` for the next record of (service, kind): the IN USE
// buffer of that service and kind, or a FREE one, now ACQUIRED and
// carrying the service name (its first 19 characters) and kind. When none
// is left, queues the fullest IN USE buffer and tries again 2 ms later, up
// to 100 attempts; then returns kNoServiceBuffer.
int32_t AcquireServiceBuffer(const char* service, int32_t kind);

// One attempt of AcquireServiceBuffer, with the buffer lock held: the
// buffer now ACQUIRED, or kNoServiceBuffer and in *victim (when given) the
// fullest IN USE buffer to queue (or kNoServiceBuffer).
int32_t TakeServiceBufferLocked(const char* service, int32_t kind, int32_t* victim);

// Sets buffer b to IN USE; returns whether it was ACQUIRED. 500 or more: 0.
int32_t ReleaseServiceBuffer(int32_t b);

// Queues an IN USE buffer: PENDING FLUSH and its number on the send queue.
// Returns 1 when queued; 0 (nothing changed) for any other state, a number
// of 500 or more, no send queue, or a failed push.
int32_t QueueServiceBuffer(int32_t b);

// As QueueServiceBuffer, with the buffer lock already held.
int32_t QueueServiceBufferLocked(int32_t b);

// What one attempt of AcquireServiceBuffer finds, as a scan of buffers 0
// to 499 would: the buffer it takes (or kNoServiceBuffer) and, when it
// takes none, the fullest IN USE buffer to queue (or kNoServiceBuffer).
struct ServiceBufferChoice {
  int32_t taken;
  int32_t victim;
};
// Call with the buffer lock held; changes nothing.
ServiceBufferChoice ChooseServiceBuffer(const char* service, int32_t kind);

// The first IN USE buffer of (service, kind), or kNoServiceBuffer. Call
// with the buffer lock held.
int32_t FindInUseServiceBuffer(const char* service, int32_t kind);

// Records waiting in the send queue (0 without one).
uint16_t SendQueueDepth();

// Puts the whole family back to its state at load: all buffers FREE and
// zero, rate table empty, flags clear. The sender must be stopped. Tests.
void ResetClassicStateForTesting();

}  // namespace classic
}  // namespace histfeed

#endif  // HISTFEED_CLASSIC_SERVICE_BUFFER_H_
