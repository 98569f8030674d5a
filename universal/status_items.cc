// SPDX-License-Identifier: Apache-2.0
#include "universal/status_items.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "universal/diagnostics.h"

namespace histfeed::universal {
namespace {

struct RowText {
  const char* name;
  const char* description;
};

constexpr RowText kRows[kStatusItemCount] = {
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

void CopyStatusItems(StatusItem (&rows)[kStatusItemRows], int32_t* count) {
  std::memset(rows, 0, sizeof rows);
  for (int32_t row = 0; row < kStatusItemCount; ++row) {
    CopyText(rows[row].name, kRows[row].name);
    CopyText(rows[row].description, kRows[row].description);
  }
  if (count != nullptr) *count = kStatusItemCount;
}

void TraceStatusValues(const char* what, const StatusValues& values) {
  if (!DebugMessagesOn()) return;
  std::string line = what;
  for (int32_t row = 0; row < kStatusItemCount; ++row) {
    line += ' ';
    line += kRows[row].name;
    line += '=';
    line += std::to_string(values[static_cast<size_t>(row)]);
  }
  PassTrace("%s", line.c_str());
}

}  // namespace histfeed::universal
