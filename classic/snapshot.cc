// SPDX-License-Identifier: Apache-2.0
// SnapShotDebug: appends a readable dump of all 500 service buffers to a
// text file.
//
// The dump is composed in memory while the add lock and the buffer lock
// are held, and written after both are given back. The add lock keeps
// every buffer out of the hands of an add call, which writes its record
// and count without the buffer lock; so every record shown is complete
// and every count matches its records. An add call that is sleeping off
// back-pressure holds the add lock, so a snapshot may wait for it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "classic/service_buffer_table.h"
#include "histfeed.h"
#include "platform/file_system.h"
#include "timezone/local_time.h"

namespace histfeed::classic {
namespace {

constexpr std::string_view kSeparator = "=================================================\n";

std::string_view StateText(uint8_t state, char (&unknown)[16]) {
  switch (state) {
    case kFree:
      return "FREE";
    case kInUse:
      return "IN USE";
    case kAcquired:
      return "ACQUIRED";
    case kPendingFlush:
      return "PENDING FLUSH";
    default:
      std::snprintf(unknown, sizeof(unknown), "??? %d", state);
      return unknown;
  }
}

// The text of a fixed field up to its first zero byte, never beyond it.
std::string_view FieldText(const char* field, size_t width) {
  const void* zero = std::memchr(field, '\0', width);
  return {field, zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - field)
                                 : width};
}

// The local time in the fixed 25-character form "Thu Jan  1 00:16:40 1970\n";
// "(null)" (with no newline) when there is no local time, as for a
// negative time stamp.
void AppendTimeText(std::string& out, int32_t time) {
  static constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::tm* local = ToLocalTime(&time);
  if (local == nullptr) {
    out += "(null)";
    return;
  }
  const char* day = local->tm_wday >= 0 && local->tm_wday < 7 ? kDays[local->tm_wday] : "???";
  const char* month = local->tm_mon >= 0 && local->tm_mon < 12 ? kMonths[local->tm_mon] : "???";
  char text[64];
  int length = std::snprintf(text, sizeof(text), "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day, month,
                             local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
                             1900 + local->tm_year);
  out.append(text, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof(text)) - 1)));
}

// "   <point>  <value>  <time text> <ms> ms", with no newline of its own.
template <typename Record>
void AppendRecord(std::string& out, const Record& record) {
  out += "   ";
  out += FieldText(record.pointId, sizeof(record.pointId));
  out += "  ";
  out += FieldText(record.value, sizeof(record.value));
  out += "  ";
  AppendTimeText(out, record.time);
  out += ' ';
  out += std::to_string(record.milliseconds);
  out += " ms";
}

template <typename Record>
void AppendRecords(std::string& out, const ServiceBuffer& buffer, size_t maxRecords) {
  // A count beyond the buffer's room is shown in the header, but only the
  // records that fit in the buffer are read.
  size_t count = std::min<size_t>(RecordCount(buffer), maxRecords);
  for (size_t i = 0; i < count; ++i) {
    Record record;
    std::memcpy(&record, buffer.request + kRecordsOffset + i * sizeof(Record), sizeof(Record));
    AppendRecord(out, record);
  }
}

void AppendBuffer(std::string& out, BufferNumber b) REQUIRES(Classic().bufferLock) {
  const ServiceBuffer& buffer = ServiceBuffers()[b];
  char unknown[16];
  char header[96];
  std::string_view name = FieldText(buffer.serviceName, kServiceNameSize - 1);
  std::string_view state = StateText(buffer.state, unknown);
  std::snprintf(header, sizeof(header), "%d) \"%.*s\" count=%d status=%.*s\n", b.value(),
                static_cast<int>(name.size()), name.data(), RecordCount(buffer),
                static_cast<int>(state.size()), state.data());
  out += kSeparator;
  out += header;
  out += kSeparator;
  if (buffer.kind != 0) {
    AppendRecords<LongIdRecord>(out, buffer, TARVO_LONG_ID_RECORDS_MAX);
  } else {
    AppendRecords<ShortIdRecord>(out, buffer, TARVO_SHORT_ID_RECORDS_MAX);
  }
  out += kSeparator;
}

std::string ComposeSnapshot() {
  std::string dump;
  platform::MutexLock adds(Classic().addLock);
  platform::MutexLock buffers(Classic().bufferLock);
  for (int32_t b = 0; b < kServiceBufferCount; ++b) AppendBuffer(dump, BufferNumber(b));
  return dump;
}

int32_t SnapShot(const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  // The caller's path is read no further than the longest path a system takes.
  constexpr size_t kPathTextMax = 4096;
  size_t length = strnlen(path, kPathTextMax + 1);
  if (length > kPathTextMax) return -1;
  std::unique_ptr<platform::OutputFile> file =
      platform::Files().AppendFile(std::string(path, length));
  if (!file) return -1;
  std::string dump;
  try {
    dump = ComposeSnapshot();
  } catch (const std::bad_alloc&) {
    file->Close();
    return -1;
  }
  // Write errors are not reported; a failed close is.
  file->Write(dump.data(), dump.size());
  return file->Close() ? 0 : -1;
}

}  // namespace
}  // namespace histfeed::classic

extern "C" HISTFEED_API int32_t HISTFEED_CALL SnapShotDebug(const char* path) {
  return histfeed::classic::SnapShot(path);
}
