// SPDX-License-Identifier: Apache-2.0
#include "tests/support/classic_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "classic/sender.h"

namespace histfeed::classic {

void PrintTo(BufferNumber b, std::ostream* out) { *out << "buffer " << b.value(); }

}  // namespace histfeed::classic

namespace histfeed::testing {

using namespace histfeed::classic;

void ClassicTest::SetUp() { ResetClassicStateForTesting(); }

void ClassicTest::TearDown() {
  // Let a held or failing sender finish quickly, then stop it.
  fake_.ScriptConnect({});
  fake_.SetConnectDefault(0);
  fake_.ScriptExchanges({});
  fake_.SetExchangeDefault(Accept());
  fake_.ReleaseExchanges();
  StopSenderNow();
  ResetClassicStateForTesting();
}

void StopSenderNow() {
  platform::MutexLock lock(Classic().senderStartLock);
  StopSender(-1);
}

BufferNumber AddRecords(const char* service, int32_t kind, int records) {
  ServiceBufferTable& buffers = ServiceBuffers();
  BufferNumber b;
  for (int i = 0; i < records; ++i) {
    b = buffers.Acquire(service, kind);
    if (b == kNoBuffer) return b;
    ServiceBuffer& buffer = buffers[b];
    uint16_t n = RecordCount(buffer);
    char point[61] = {};
    std::snprintf(point, sizeof(point), "P%d", i);
    if (kind == kShortIdKind) {
      ShortIdRecord record{};
      record.time = 1000 + i;
      record.milliseconds = static_cast<uint16_t>(i % 1000);
      std::memcpy(record.pointId, point, std::min(std::strlen(point), sizeof(record.pointId)));
      record.status = 0x0003;
      std::snprintf(record.value, sizeof(record.value), "%16d", i);
      std::memcpy(buffer.request + kRecordsOffset + n * sizeof(record), &record, sizeof(record));
    } else {
      LongIdRecord record{};
      record.time = 1000 + i;
      record.milliseconds = static_cast<uint16_t>(i % 1000);
      std::memcpy(record.pointId, point, std::min(std::strlen(point), sizeof(record.pointId)));
      record.status = 0x1003;
      std::snprintf(record.value, sizeof(record.value), "%16d", i);
      std::memcpy(buffer.request + kRecordsOffset + n * sizeof(record), &record, sizeof(record));
    }
    SetRecordCount(buffer, static_cast<uint16_t>(n + 1));
    buffers.Release(b);
  }
  return b;
}

BufferState StateOf(BufferNumber b) {
  platform::MutexLock lock(Classic().bufferLock);
  return ServiceBuffers().StateOf(b);
}

uint16_t CountOf(BufferNumber b) {
  platform::MutexLock lock(Classic().bufferLock);
  return RecordCount(ServiceBuffers()[b]);
}

std::vector<uint8_t> RequestImage(BufferNumber b) {
  platform::MutexLock lock(Classic().bufferLock);
  const ServiceBuffer& buffer = ServiceBuffers()[b];
  // The code and stamp bytes are the sender's while it delivers the buffer
  // and are left zero here; the count and records are read under the lock.
  std::vector<uint8_t> image(kRequestImageSize, 0);
  image[2] = buffer.request[2];
  image[3] = buffer.request[3];
  std::copy(buffer.request + kRecordsOffset, buffer.request + kRequestImageSize,
            image.begin() + kRecordsOffset);
  return image;
}

}  // namespace histfeed::testing
