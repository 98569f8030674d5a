// SPDX-License-Identifier: Apache-2.0
// The byte layout of a classic service buffer and of the records in it.
//
// A ServiceBuffer collects the records of one service name and identifier
// kind in place, already in the layout of the data request that delivers
// them. Its state moves FREE -> ACQUIRED -> IN USE -> PENDING FLUSH -> FREE
// (and IN USE -> ACQUIRED for the next record), always under the buffer
// lock. While a buffer is ACQUIRED only the thread that acquired it
// touches its records and count; while it is PENDING FLUSH only the
// sender does. The table of buffers: classic/service_buffer_table.h.
#ifndef HISTFEED_CLASSIC_SERVICE_BUFFER_H_
#define HISTFEED_CLASSIC_SERVICE_BUFFER_H_

#include <cstddef>
#include <cstdint>

#include "wire/classic_request_layout.h"
#include "histfeed/tarvo_plugin.h"

namespace histfeed::classic {

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

// The record count at request offset 2. Read and written by the thread
// that owns the buffer (see the top of this file), or under the buffer lock.
inline uint16_t RecordCount(const ServiceBuffer& buffer) {
  return static_cast<uint16_t>(buffer.request[2] | (buffer.request[3] << 8));
}

inline void SetRecordCount(ServiceBuffer& buffer, uint16_t count) {
  buffer.request[2] = static_cast<uint8_t>(count & 0xFF);
  buffer.request[3] = static_cast<uint8_t>(count >> 8);
}

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_SERVICE_BUFFER_H_
