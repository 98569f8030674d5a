// SPDX-License-Identifier: Apache-2.0
#include <atomic>
#include <cstddef>
#include <cstring>

#include "classic/add_request.h"
#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "classic/service_load.h"
#include "platform/clock.h"
#include "queue/record_queue.h"

namespace histfeed::classic {
namespace {

constexpr int64_t kBusyPauseMs = 10000;
constexpr int64_t kHighLoadPauseMs = 1000;
constexpr int64_t kMediumLoadPauseMs = 500;
constexpr int64_t kLowLoadPauseMs = 50;

constexpr uint16_t kDeepQueue = 437;
constexpr uint16_t kLongQueue = 375;
constexpr uint16_t kBusyQueue = 250;
constexpr int kDeepQueuePauses = 200;
constexpr int64_t kDeepQueuePauseMs = 50;
constexpr int64_t kLongQueuePauseMs = 50;
constexpr int64_t kBusyQueuePauseMs = 10;

std::atomic<ThrottleObserver> throttleObserver{nullptr};

void ThrottleSleep(int64_t ms) {
  ThrottleObserver observer = throttleObserver.load(std::memory_order_acquire);
  if (observer != nullptr) observer(ms);
  platform::SleepMs(ms);
}

// The pause the service throttle asks for (0: none): by the busy flag,
// else by the service's last load report, looked up under the name as the
// caller gave it, untrimmed. Call with the buffer lock held.
int64_t ServicePauseLocked(const char* service) REQUIRES(Classic().bufferLock) {
  if (Classic().busy.load() != 0) return kBusyPauseMs;
  LoadReport load{};
  if (!LookUpServiceLoadLocked(service, &load) || load.count == 0 || load.capacity == 0) {
    return 0;
  }
  // 64-bit, so that three quarters of a huge capacity does not wrap.
  uint64_t count = load.count;
  uint64_t capacity = load.capacity;
  if (count > (3 * capacity) / 4) return kHighLoadPauseMs;
  if (count > capacity / 2) return kMediumLoadPauseMs;
  if (count > capacity / 4) return kLowLoadPauseMs;
  return 0;
}

struct QueuePause {
  int times;
  int64_t ms;
};

QueuePause QueuePauseFor(uint16_t depth) {
  if (depth >= kDeepQueue) return {kDeepQueuePauses, kDeepQueuePauseMs};
  if (depth >= kLongQueue) return {1, kLongQueuePauseMs};
  if (depth > kBusyQueue) return {1, kBusyQueuePauseMs};
  return {0, 0};
}

void PutLittleEndian(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct RecordLayout {
  size_t size;
  size_t pointIdOffset;
  size_t pointIdSize;
  size_t statusOffset;
  size_t valueOffset;
  uint16_t capacity;
};

constexpr RecordLayout kShortLayout{sizeof(ShortIdRecord), offsetof(ShortIdRecord, pointId),
                                    sizeof(ShortIdRecord::pointId),
                                    offsetof(ShortIdRecord, status),
                                    offsetof(ShortIdRecord, value), TARVO_SHORT_ID_RECORDS_MAX};
constexpr RecordLayout kLongLayout{sizeof(LongIdRecord), offsetof(LongIdRecord, pointId),
                                   sizeof(LongIdRecord::pointId), offsetof(LongIdRecord, status),
                                   offsetof(LongIdRecord, value), TARVO_LONG_ID_RECORDS_MAX};

const RecordLayout& LayoutOf(int32_t kind) { return kind != 0 ? kLongLayout : kShortLayout; }

// Writes record n of buffer b; the bytes between the fields keep what
// they held.
void WriteRecord(ServiceBuffer& buffer, uint16_t n, const AddRequest& request, TextPart point,
                 const char (&valueText)[kValueTextSize]) {
  const RecordLayout& layout = LayoutOf(buffer.kind);
  uint8_t* record = buffer.request + kRecordsOffset + layout.size * n;
  PutLittleEndian(record, static_cast<uint32_t>(request.time), 4);
  PutLittleEndian(record + 4, request.milliseconds, 2);
  char* pointId = reinterpret_cast<char*>(record + layout.pointIdOffset);
  size_t length = point.length < layout.pointIdSize ? point.length : layout.pointIdSize;
  std::memcpy(pointId, point.start, length);
  std::memset(pointId + length, 0, layout.pointIdSize - length);
  PutLittleEndian(record + layout.statusOffset, request.status, 2);
  std::memcpy(record + layout.valueOffset, valueText, kValueTextSize);
}

// Buffer b, or another one when b is still full (its queueing failed
// earlier): b is queued now and the next buffer taken. If b cannot be
// queued, there is no room.
BufferNumber WithRoom(BufferNumber b, const char* service, int32_t kind) {
  ServiceBufferTable& buffers = ServiceBuffers();
  if (b == kNoBuffer || RecordCount(buffers[b]) < LayoutOf(kind).capacity) return b;
  buffers.Release(b);
  if (!buffers.Queue(b)) return kNoBuffer;
  return buffers.Acquire(service, kind);
}

// Writes the record into buffer b, which the caller holds ACQUIRED, and
// returns the buffer's new record count.
uint16_t Append(BufferNumber b, const AddRequest& request, TextPart point,
                const char (&valueText)[kValueTextSize]) {
  ServiceBuffer& buffer = ServiceBuffers()[b];
  uint16_t n = RecordCount(buffer);
  WriteRecord(buffer, n, request, point, valueText);
  SetRecordCount(buffer, static_cast<uint16_t>(n + 1));
  return static_cast<uint16_t>(n + 1);
}

enum class Stored { kDone, kNotYet, kNoRoom };

// The whole of acquire, write, release and queueing in one hold of the
// buffer lock, which the caller holds. kNotYet when no buffer can be
// taken without waiting.
Stored StoreLocked(const char* service, int32_t kind, const AddRequest& request, TextPart point,
                   const char (&valueText)[kValueTextSize]) REQUIRES(Classic().bufferLock) {
  ServiceBufferTable& buffers = ServiceBuffers();
  BufferNumber b = buffers.Take(service, kind, nullptr);
  if (b == kNoBuffer) return Stored::kNotYet;
  uint16_t capacity = LayoutOf(kind).capacity;
  if (RecordCount(buffers[b]) >= capacity) {
    // Still full: its queueing failed earlier. Queue it now, then take
    // the next buffer.
    buffers.ReleaseLocked(b);
    if (!buffers.QueueLocked(b)) return Stored::kNoRoom;
    b = buffers.Take(service, kind, nullptr);
    if (b == kNoBuffer) return Stored::kNotYet;
  }
  uint16_t n = Append(b, request, point, valueText);
  buffers.ReleaseLocked(b);
  if (n >= capacity) buffers.QueueLocked(b);
  return Stored::kDone;
}

}  // namespace

void SetThrottleObserverForTesting(ThrottleObserver observer) {
  throttleObserver.store(observer, std::memory_order_release);
}

int32_t AddToServiceBuffer(const AddRequest& request) {
  platform::MutexLock addLock(Classic().addLock);
  if (Classic().running.load() == 0) StartSender();

  // The request's texts are terminated within their arrays.
  TextPart servicePart = Trimmed(request.service, sizeof(request.service));
  TextPart pointPart = Trimmed(request.point, sizeof(request.point));
  char service[kServiceNameSize] = {};
  std::memcpy(service, servicePart.start, servicePart.length);
  int32_t kind = request.kind != 0 ? kLongIdKind : kShortIdKind;

  char valueText[kValueTextSize] = {};
  if (request.analog) {
    FormatValueText(request.value, valueText);
  } else {
    CopyFixed(valueText, kValueTextSize - 1, request.valueText);
  }

  // Both throttles read shared state under the buffer lock. When neither
  // asks for a pause, the record is stored in the same hold.
  int64_t servicePause = 0;
  QueuePause queuePause{0, 0};
  {
    platform::MutexLock bufferLock(Classic().bufferLock);
    servicePause = ServicePauseLocked(request.service);
    if (servicePause == 0) {
      queuePause = QueuePauseFor(ServiceBuffers().SendQueueDepthLocked());
      if (queuePause.times == 0) {
        Stored stored = StoreLocked(service, kind, request, pointPart, valueText);
        if (stored == Stored::kDone) return HISTFEED_OK;
        if (stored == Stored::kNoRoom) return HISTFEED_NO_SERVICE_BUFFER;
      }
    }
  }
  if (servicePause != 0) {
    ThrottleSleep(servicePause);
    queuePause = QueuePauseFor(ServiceBuffers().SendQueueDepth());
  }
  for (int i = 0; i < queuePause.times; ++i) ThrottleSleep(queuePause.ms);

  ServiceBufferTable& buffers = ServiceBuffers();
  BufferNumber b = WithRoom(buffers.Acquire(service, kind), service, kind);
  if (b == kNoBuffer) return HISTFEED_NO_SERVICE_BUFFER;
  uint16_t n = Append(b, request, pointPart, valueText);
  buffers.Release(b);
  if (n >= LayoutOf(kind).capacity) buffers.Queue(b);
  return HISTFEED_OK;
}

}  // namespace histfeed::classic
