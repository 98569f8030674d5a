// SPDX-License-Identifier: Apache-2.0
#include "classic/service_load.h"

#include <climits>
#include <cstring>


namespace histfeed::classic {
namespace {

bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// atol on [p, end): leading white space and a sign, digits up to the first
// other byte. False for a negative number or one beyond 32 bits: no
// service means such a load, and taken as one it would throttle every add.
bool LoadNumber(const uint8_t* p, const uint8_t* end, int32_t* number) {
  while (p < end && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t value = 0;
  for (; p < end && IsDigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) return false;
  }
  if (negative && value != 0) return false;
  *number = static_cast<int32_t>(value);
  return true;
}

// Lower-cases the ASCII capitals among the eight bytes of a word and
// leaves every other byte as it is: a byte's top bit marks it a capital.
uint64_t LowerAsciiWord(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kTops = 0x8080808080808080u;
  const uint64_t low7 = word & ~kTops;
  const uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;
  const uint64_t aboveZ = low7 + (0x80 - 'Z' - 1) * kOnes;
  const uint64_t capitals = (atLeastA ^ aboveZ) & ~word & kTops;
  return word | (capitals >> 2);
}

// The lookup key of a service name: lower case, zero-padded to the width of
// a row's name. False when the name is too long to equal any row's name.
bool MakeRateKey(const char* service, char (&key)[kServiceNameSize]) {
  const size_t length = strnlen(service, kServiceNameSize);
  if (length >= kServiceNameSize) return false;
  char padded[24] = {};
  std::memcpy(padded, service, length);
  for (size_t at = 0; at < sizeof(padded); at += 8) {
    uint64_t word;
    std::memcpy(&word, padded + at, sizeof(word));
    word = LowerAsciiWord(word);
    std::memcpy(padded + at, &word, sizeof(word));
  }
  std::memcpy(key, padded, kServiceNameSize);
  return true;
}

// Keys compared a word at a time: this runs for every delivered buffer.
uint64_t KeyWord(const char* key, size_t at) {
  uint64_t word;
  std::memcpy(&word, key + at, sizeof(word));
  return word;
}

uint32_t KeyTail(const char* key) {
  uint32_t tail;
  std::memcpy(&tail, key + 16, sizeof(tail));
  return tail;
}

static_assert(kServiceNameSize == 20, "keys are compared as 8 + 8 + 4 bytes");

// The first row whose name equals the key, or -1.
int32_t FindRateRow(const ClassicState& shared, const char (&key)[kServiceNameSize])
    REQUIRES(shared.bufferLock) {
  const uint64_t head = KeyWord(key, 0);
  const uint64_t middle = KeyWord(key, 8);
  const uint32_t tail = KeyTail(key);
  for (int32_t i = 0; i < kRateTableRows; ++i) {
    const char* row = shared.rateKeys[i];
    if (KeyWord(row, 0) == head && KeyWord(row, 8) == middle && KeyTail(row) == tail) return i;
  }
  return -1;
}

void SetRate(ClassicState& shared, int32_t row, const LoadReport& report)
    REQUIRES(shared.bufferLock) {
  shared.rates[row].count = report.count;
  shared.rates[row].capacity = report.capacity;
  shared.rateLoads[row] =
      static_cast<double>(report.count) / static_cast<double>(report.capacity);
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
  int32_t count = 0, capacity = 0;
  if (!LoadNumber(text, separator, &count) || !LoadNumber(separator + 1, end, &capacity)) {
    return false;
  }
  if (count == 0 || capacity == 0) return false;
  report->count = static_cast<uint32_t>(count);
  report->capacity = static_cast<uint32_t>(capacity);
  return true;
}

void StoreServiceLoad(const char* service, const LoadReport& report) {
  RateEntry* rates = Classic().rates;
  char key[kServiceNameSize];
  const bool keyed = MakeRateKey(service, key);
  int32_t row = keyed ? FindRateRow(Classic(), key) : -1;
  if (row >= 0) {
    SetRate(Classic(), row, report);
    return;
  }
  for (int32_t i = 0; i < kRateTableRows && row < 0; ++i) {
    if (rates[i].serviceName[0] == '\0') row = i;
  }
  if (row < 0) {
    double lowest = 1.0;
    for (int32_t i = 0; i < kRateTableRows; ++i) {
      if (Classic().rateLoads[i] < lowest) {
        lowest = Classic().rateLoads[i];
        row = i;
      }
    }
    if (row < 0) return;
  }
  RateEntry& entry = rates[row];
  std::memset(entry.serviceName, 0, kServiceNameSize);
  std::strncpy(entry.serviceName, service, kServiceNameSize - 1);
  if (keyed) {
    std::memcpy(Classic().rateKeys[row], key, kServiceNameSize);
  } else {
    MakeRateKey(entry.serviceName, Classic().rateKeys[row]);
  }
  SetRate(Classic(), row, report);
}

bool LookUpServiceLoad(const char* service, LoadReport* report) {
  platform::MutexLock lock(Classic().bufferLock);
  return LookUpServiceLoadLocked(service, report);
}

bool LookUpServiceLoadLocked(const char* service, LoadReport* report) {
  char key[kServiceNameSize];
  if (service == nullptr || !MakeRateKey(service, key)) return false;
  int32_t row = FindRateRow(Classic(), key);
  if (row < 0) return false;
  report->count = Classic().rates[row].count;
  report->capacity = Classic().rates[row].capacity;
  return true;
}

}  // namespace histfeed::classic
