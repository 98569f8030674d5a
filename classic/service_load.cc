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

// The lookup key of a service name: lower case, zero-padded to the width of
// a row's name. False when the name is too long to equal any row's name.
bool MakeRateKey(const char* service, char (&key)[kServiceNameSize]) {
  std::memset(key, 0, kServiceNameSize);
  for (size_t i = 0; service[i] != '\0'; ++i) {
    if (i + 1 >= kServiceNameSize) return false;
    key[i] = static_cast<char>(LowerAscii(static_cast<uint8_t>(service[i])));
  }
  return true;
}

// The first row whose name equals the key, or -1.
int32_t FindRateRow(const ClassicState& shared, const char (&key)[kServiceNameSize]) {
  for (int32_t i = 0; i < kRateTableRows; ++i) {
    if (std::memcmp(shared.rateKeys[i], key, kServiceNameSize) == 0) return i;
  }
  return -1;
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
  ClassicState& shared = Classic();
  RateEntry* rates = shared.rates;
  char key[kServiceNameSize];
  int32_t row = MakeRateKey(service, key) ? FindRateRow(shared, key) : -1;
  if (row >= 0) {
    rates[row].count = report.count;
    rates[row].capacity = report.capacity;
    return;
  }
  for (int32_t i = 0; i < kRateTableRows && row < 0; ++i) {
    if (rates[i].serviceName[0] == '\0') row = i;
  }
  if (row < 0) {
    double lowest = 1.0;
    for (int32_t i = 0; i < kRateTableRows; ++i) {
      double load = static_cast<double>(rates[i].count) / static_cast<double>(rates[i].capacity);
      if (load < lowest) {
        lowest = load;
        row = i;
      }
    }
    if (row < 0) return;
  }
  RateEntry& entry = rates[row];
  std::memset(entry.serviceName, 0, kServiceNameSize);
  std::strncpy(entry.serviceName, service, kServiceNameSize - 1);
  MakeRateKey(entry.serviceName, shared.rateKeys[row]);
  entry.count = report.count;
  entry.capacity = report.capacity;
}

bool LookUpServiceLoad(const char* service, LoadReport* report) {
  SemLock lock(Classic().bufferLock);
  return LookUpServiceLoadLocked(service, report);
}

bool LookUpServiceLoadLocked(const char* service, LoadReport* report) {
  char key[kServiceNameSize];
  if (service == nullptr || !MakeRateKey(service, key)) return false;
  ClassicState& shared = Classic();
  int32_t row = FindRateRow(shared, key);
  if (row < 0) return false;
  report->count = shared.rates[row].count;
  report->capacity = shared.rates[row].capacity;
  return true;
}

}  // namespace histfeed::classic
