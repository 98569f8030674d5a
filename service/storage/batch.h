// SPDX-License-Identifier: Apache-2.0
// What the listeners hand the storage to commit: the values, configurations
// and deletions of one frame or request. Names and texts are bytes as the
// source sent them, whatever their encoding.
#ifndef HISTFEED_SERVICE_STORAGE_BATCH_H_
#define HISTFEED_SERVICE_STORAGE_BATCH_H_

#include <cstdint>
#include <string>
#include <vector>

namespace histfeed::service {

// Which identifier names a point.
enum class IdKind { kPoint, kLong, kExtended };
const char* IdKindName(IdKind kind);

struct ValueRow {
  std::string family;  // "universal" or "classic"
  IdKind idKind = IdKind::kPoint;
  std::string point;
  int64_t time = 0;  // seconds since 1970
  int32_t msec = 0;
  int32_t status = 0;
  bool isText = false;
  double value = 0;
  std::string text;

  // The value's time stamp: the seconds and milliseconds as one number.
  int64_t Millis() const { return time * 1000 + msec; }
};

struct ConfigRow {
  std::string family;
  IdKind idKind = IdKind::kPoint;
  std::string point;     // the key: the identifier of idKind
  int32_t recordType = 0;
  std::string pointId, longId, extId, description, units;
  std::vector<uint8_t> raw;  // the record exactly as received
};

struct DeletionRow {
  std::string family;
  IdKind idKind = IdKind::kPoint;
  std::string point;
};

// One batch, committed whole or not at all.
struct Batch {
  std::vector<ValueRow> values;
  std::vector<ConfigRow> configs;
  std::vector<DeletionRow> deletions;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_BATCH_H_
