// SPDX-License-Identifier: Apache-2.0
// The exported flush functions: they hand partly filled buffers to the
// sender at once. They only queue; delivery stays with the sender thread.
#include <cstdio>
#include <cstring>

#include "classic/fixed_text.h"
#include "classic/service_buffer_table.h"
#include "histfeed.h"

namespace histfeed::classic {
namespace {

int32_t QueueBuffersOfKind(const char* service, int32_t kind) {
  ServiceBufferTable& buffers = ServiceBuffers();
  platform::MutexLock lock(Classic().bufferLock);
  if (service != nullptr && *service != '\0') {
    BufferNumber b = buffers.FindInUse(service, kind);
    if (b == kNoBuffer) return HISTFEED_SERVICE_NOT_IN_LIST;
    return buffers.QueueLocked(b) ? 0 : HISTFEED_NOT_QUEUED;
  }
  bool allQueued = true;
  for (int32_t number = 0; number < kServiceBufferCount; ++number) {
    BufferNumber b(number);
    bool sameKind = (buffers[b].kind != 0) == (kind != 0);
    if (buffers.StateOf(b) == kInUse && sameKind && !buffers.QueueLocked(b)) allQueued = false;
  }
  return allQueued ? 0 : HISTFEED_NOT_QUEUED;
}

int32_t Flush(const char* service, char* message, int32_t messageSize, int32_t kind) {
  int32_t result = QueueBuffersOfKind(service, kind);
  uint16_t size = static_cast<uint16_t>(messageSize);
  if (result != 0 && message != nullptr && size != 0) {
    const char* format = result == HISTFEED_SERVICE_NOT_IN_LIST ? "Failed to flush %.*s - SERVICE NOT IN LIST"
                                                   : "Failed to flush %.*s - ERROR FLUSHING";
    // Zero-filled first, then at most size - 1 characters of the message.
    std::memset(message, 0, size);
    // The caller's name is read only as far as a service name goes.
    const char* name = service != nullptr ? service : "(null)";
    std::snprintf(message, size, format,
                  static_cast<int>(BoundedLength(name, kServiceNameSize - 1)), name);
  }
  return result;
}

}  // namespace
}  // namespace histfeed::classic

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL KelFlushShortIdRecords(const char* service, char* message,
                                            int32_t messageSize) {
  return histfeed::classic::Flush(service, message, messageSize, histfeed::classic::kShortIdKind);
}

HISTFEED_API int32_t HISTFEED_CALL KelFlushLongIdRecords(const char* service, char* message,
                                           int32_t messageSize) {
  return histfeed::classic::Flush(service, message, messageSize, histfeed::classic::kLongIdKind);
}

HISTFEED_API int32_t HISTFEED_CALL KelFlushAllRecords(const char* service, char* message, int32_t messageSize) {
  return KelFlushShortIdRecords(service, message, messageSize) |
         KelFlushLongIdRecords(service, message, messageSize);
}

}  // extern "C"
