#include <atomic>
#include <cstddef>
#include <cstring>

#include "classic/add_request.h"
#include "classic/sender.h"
#include "classic/service_load.h"
#include "platform/clock.h"

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

// By the busy flag, else by the service's last load report. The report is
// looked up under the name as the caller gave it, untrimmed.
void ServiceThrottle(const char* service) {
  if (Classic().busy.load() != 0) {
    ThrottleSleep(kBusyPauseMs);
    return;
  }
  LoadReport load{};
  if (!LookUpServiceLoad(service, &load) || load.count == 0 || load.capacity == 0) return;
  // 64-bit, so that three quarters of a huge capacity does not wrap.
  uint64_t count = load.count;
  uint64_t capacity = load.capacity;
  if (count > (3 * capacity) / 4) {
    ThrottleSleep(kHighLoadPauseMs);
  } else if (count > capacity / 2) {
    ThrottleSleep(kMediumLoadPauseMs);
  } else if (count > capacity / 4) {
    ThrottleSleep(kLowLoadPauseMs);
  }
}

void QueueThrottle() {
  uint16_t depth = SendQueueDepth();
  if (depth >= kDeepQueue) {
    for (int i = 0; i < kDeepQueuePauses; ++i) ThrottleSleep(kDeepQueuePauseMs);
  } else if (depth >= kLongQueue) {
    ThrottleSleep(kLongQueuePauseMs);
  } else if (depth > kBusyQueue) {
    ThrottleSleep(kBusyQueuePauseMs);
  }
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

// The buffer for the next record, with room for it. A buffer that is
// still full (its queueing failed earlier) is queued now and another one
// taken; if it cannot be queued, there is no room.
int32_t AcquireWithRoom(const char* service, int32_t kind) {
  int32_t b = AcquireServiceBuffer(service, kind);
  if (b == kNoServiceBuffer) return b;
  if (RecordCount(Buffer(b)) < LayoutOf(kind).capacity) return b;
  ReleaseServiceBuffer(b);
  if (!QueueServiceBuffer(b)) return kNoServiceBuffer;
  return AcquireServiceBuffer(service, kind);
}

}  // namespace

void SetThrottleObserverForTesting(ThrottleObserver observer) {
  throttleObserver.store(observer, std::memory_order_release);
}

int32_t AddToServiceBuffer(const AddRequest& request) {
  ClassicState& shared = Classic();
  SemLock addLock(shared.addLock);
  if (shared.running.load() == 0) StartSender();

  ServiceThrottle(request.service);
  QueueThrottle();

  // The request's texts are terminated within their arrays.
  TextPart servicePart = Trimmed(request.service, sizeof(request.service));
  TextPart pointPart = Trimmed(request.point, sizeof(request.point));
  char service[kServiceNameSize] = {};
  std::memcpy(service, servicePart.start, servicePart.length);

  int32_t kind = request.kind != 0 ? kLongIdKind : kShortIdKind;
  int32_t b = AcquireWithRoom(service, kind);
  if (b == kNoServiceBuffer) return kAddNoBuffer;

  char valueText[kValueTextSize] = {};
  if (request.analog) {
    FormatValueText(request.value, valueText);
  } else {
    CopyFixed(valueText, kValueTextSize - 1, request.valueText);
  }

  ServiceBuffer& buffer = Buffer(b);
  uint16_t n = RecordCount(buffer);
  WriteRecord(buffer, n, request, pointPart, valueText);
  ++n;
  SetRecordCount(buffer, n);
  ReleaseServiceBuffer(b);
  if (n >= LayoutOf(kind).capacity) QueueServiceBuffer(b);
  return kAddAccepted;
}

}  // namespace histfeed::classic
