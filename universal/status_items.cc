// SPDX-License-Identifier: Apache-2.0
#include "universal/status_items.h"

#include <algorithm>
#include <cstring>

#include "platform/mutex.h"

namespace histfeed::universal {
namespace {

struct StatusTable {
  platform::Mutex mutex;  // every initialization rewrites the table
  StatusItem rows[kStatusItemRows] GUARDED_BY(mutex) = {};
  int32_t count GUARDED_BY(mutex) = 0;
};

StatusTable statusTable;

struct RowText {
  const char* name;
  const char* description;
};

constexpr RowText kRows[] = {
    {"SEND_COUNT", "Total records sent"},
    {"SEND_QUEUE_FULL", "Current send queue full status"},
    {"SEND_QUEUE_COUNT", "Send queue current count"},
    {"SEND_ERROR_COUNT", "Total send errors"},
    {"NAK_COUNT", "Total NAK'd record count"},
    {"QUEUING_DATA", "Current send queue status"},
    {"ACK_ENABLED", "ACK/NAK status"},
    {"QUEUE_ENABLED", "Queuing status"},
    {"CACHE_ENABLED", "Cache status"},
    {"CURRENT_CONNECTION", "Current connection type"},
    {"PRIMARY_CONNECTION", "Primary connection status"},
    {"SECONDARY_CONNECTION", "Secondary connection status"},
};

// Bounded copy: at most N characters, the rest of the field stays NUL.
template <size_t N>
void CopyText(char (&field)[N], const char* text) {
  std::memcpy(field, text, std::min(std::strlen(text), N));
}

}  // namespace

void FillStatusItems() {
  platform::MutexLock lock(statusTable.mutex);
  std::memset(statusTable.rows, 0, sizeof statusTable.rows);
  int32_t row = 0;
  for (const RowText& text : kRows) {
    CopyText(statusTable.rows[row].name, text.name);
    CopyText(statusTable.rows[row].description, text.description);
    ++row;
  }
  statusTable.count = row;
}

void CopyStatusItems(StatusItem (&rows)[kStatusItemRows], int32_t* count) {
  platform::MutexLock lock(statusTable.mutex);
  std::memcpy(rows, statusTable.rows, sizeof rows);
  if (count != nullptr) *count = statusTable.count;
}

}  // namespace histfeed::universal
