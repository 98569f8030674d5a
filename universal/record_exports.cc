// The exported record functions: adding ready-made records, flushing a
// type, and the header setters of block frames.
#include <array>

#include "histfeed.h"
#include "platform/no_destructor.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {

namespace {

using SenderTable = std::array<FrameSender, kMaxConnections>;

SenderTable MakeSenders() {
  SenderTable senders;
  for (int32_t key = 0; key < kMaxConnections; ++key) {
    senders[static_cast<size_t>(key)] = [key](const uint8_t* frame, size_t length,
                                              bool isConfig) {
      return VornUniversalSendData(key, reinterpret_cast<const char*>(frame),
                                   static_cast<int32_t>(length), isConfig ? 1 : 0);
    };
  }
  return senders;
}

}  // namespace

// Hands the key's frames to the send-or-queue step. Built once, so an add
// costs no sender of its own; never destroyed, as keys may outlive unloading.
const FrameSender& SenderFor(int32_t key) {
  static platform::NoDestructor<SenderTable> senders(MakeSenders());
  return (*senders)[static_cast<size_t>(key)];
}

int32_t AddRecords(int32_t key, int32_t type, const void* records, int32_t count) {
  if (!IsValidKey(key)) return kNotSent;
  return Connection(key).buffers.Add(type, static_cast<const uint8_t*>(records), count,
                                     SenderFor(key));
}

int32_t AddBlockRecordById(int32_t key, int32_t type, const char* id, const uint8_t* record) {
  if (!IsValidKey(key)) return kNotSent;
  return Connection(key).buffers.AddBlockById(type, id, record, SenderFor(key));
}

int32_t AddBlockRecordByTime(int32_t key, int32_t type, int32_t time, int16_t msec,
                             const uint8_t* record) {
  if (!IsValidKey(key)) return kNotSent;
  return Connection(key).buffers.AddBlockByTime(type, time, msec, record, SenderFor(key));
}

}  // namespace histfeed::universal

using histfeed::universal::Connection;
using histfeed::universal::IsValidKey;

extern "C" {

HISTFEED_API int32_t VornMxAddUniversalRecord(int32_t key, int32_t recordType,
                                              const void* records, int32_t count) {
  return histfeed::universal::AddRecords(key, recordType, records, count);
}

HISTFEED_API int32_t VornMxFlushUniversalRecord(int32_t key, int32_t recordType) {
  if (!IsValidKey(key)) return histfeed::universal::kNotSent;
  return Connection(key).buffers.Flush(recordType, histfeed::universal::SenderFor(key));
}

HISTFEED_API void VornMxSetPointId(int32_t key, const char* pointId) {
  if (IsValidKey(key)) Connection(key).buffers.SetPointId(pointId);
}

HISTFEED_API void VornMxSetLongId(int32_t key, const char* longId) {
  if (IsValidKey(key)) Connection(key).buffers.SetLongId(longId);
}

HISTFEED_API void VornMxSetExtId(int32_t key, const char* extId) {
  if (IsValidKey(key)) Connection(key).buffers.SetExtId(extId);
}

HISTFEED_API void VornMxSetTime(int32_t key, int32_t time, int16_t msec) {
  if (IsValidKey(key)) Connection(key).buffers.SetTime(time, msec);
}

}  // extern "C"
