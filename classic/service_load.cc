#include "classic/service_load.h"

#include <climits>
#include <cstring>

#include "classic/service_buffer.h"

namespace histfeed::classic {
namespace {

bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
uint8_t LowerAscii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

// atol on [p, end): leading white space and a sign, digits up to the first
// other byte. Saturates at the 32-bit range as the runtime's atol does.
int32_t BoundedAtol(const uint8_t* p, const uint8_t* end) {
  while (p < end && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t value = 0;
  for (; p < end && IsDigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

bool SameName(const char* a, const char* b, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    uint8_t x = LowerAscii(static_cast<uint8_t>(a[i]));
    uint8_t y = LowerAscii(static_cast<uint8_t>(b[i]));
    if (x != y) return false;
    if (x == 0) return true;
  }
  return true;
}

}  // namespace

bool ParseLoadReport(const uint8_t* reply, LoadReport* report) {
  const uint8_t* text = reply + TARVO_REPLY_TEXT_OFFSET;
  const uint8_t* end = reply + TARVO_REPLY_SIZE;
  if (*text == 0) return false;
  const uint8_t* separator = text;
  while (separator < end && *separator != ',' && *separator != '/' && *separator != 0) {
    ++separator;
  }
  // The capacity needs at least one character and room for a terminator.
  if (separator >= end || *separator == 0 || end - separator < 3) return false;
  int32_t count = BoundedAtol(text, separator);
  int32_t capacity = BoundedAtol(separator + 1, end);
  if (count == 0 || capacity == 0) return false;
  report->count = static_cast<uint32_t>(count);
  report->capacity = static_cast<uint32_t>(capacity);
  return true;
}

void StoreServiceLoad(const char* service, const LoadReport& report) {
  RateEntry* rates = Classic().rates;
  RateEntry* row = nullptr;
  for (int32_t i = 0; i < kRateTableRows && row == nullptr; ++i) {
    if (SameName(rates[i].serviceName, service, kServiceNameSize)) row = &rates[i];
  }
  if (row != nullptr) {
    row->count = report.count;
    row->capacity = report.capacity;
    return;
  }
  for (int32_t i = 0; i < kRateTableRows && row == nullptr; ++i) {
    if (rates[i].serviceName[0] == '\0') row = &rates[i];
  }
  if (row == nullptr) {
    double lowest = 1.0;
    for (int32_t i = 0; i < kRateTableRows; ++i) {
      double load = static_cast<double>(rates[i].count) / static_cast<double>(rates[i].capacity);
      if (load < lowest) {
        lowest = load;
        row = &rates[i];
      }
    }
    if (row == nullptr) return;
  }
  std::memset(row->serviceName, 0, kServiceNameSize);
  std::strncpy(row->serviceName, service, kServiceNameSize - 1);
  row->count = report.count;
  row->capacity = report.capacity;
}

bool LookUpServiceLoad(const char* service, LoadReport* report) {
  if (service == nullptr) return false;
  ClassicState& shared = Classic();
  SemLock lock(shared.bufferLock);
  for (const RateEntry& row : shared.rates) {
    if (SameName(row.serviceName, service, kServiceNameSize)) {
      report->count = row.count;
      report->capacity = row.capacity;
      return true;
    }
  }
  return false;
}

}  // namespace histfeed::classic
