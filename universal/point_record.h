// SPDX-License-Identifier: Apache-2.0
// One point value encoded for a record type fixed while compiling. Each
// value entry point knows its record type, so its copy of the encoder has
// no per-field type tests, and the caller's texts are read once, straight
// into the record. The bytes are those EncodeRecord writes for the type.
#ifndef HISTFEED_UNIVERSAL_POINT_RECORD_H_
#define HISTFEED_UNIVERSAL_POINT_RECORD_H_

#include <array>
#include <cstdint>

#include "wire/frame_format.h"

namespace histfeed::universal {

// A point value as an entry point receives it. Null texts read as empty;
// fields the record type does not carry are ignored.
struct CallerPoint {
  int32_t time = 0;
  int16_t msec = 0;
  const char* id = nullptr;
  int16_t status = 0;
  double value = 0;
  const char* text = nullptr;
};

// The record type of `Code`, for the point-value shapes only.
template <int32_t Code>
constexpr RecordType PointRecordType() {
  static_assert(RecordTypeIndex(Code) >= 0, "not a record type");
  constexpr RecordType type = kRecordTypes[RecordTypeIndex(Code)];
  static_assert(type.shape == RecordShape::kSingle || type.shape == RecordShape::kBlock ||
                    type.shape == RecordShape::kTimeBlock,
                "not a point-value record type");
  return type;
}

template <int32_t Code>
using PointRecord = std::array<uint8_t, PointRecordType<Code>().recordBytes>;

template <int32_t Code>
PointRecord<Code> EncodePointRecord(const CallerPoint& point) {
  constexpr RecordType type = PointRecordType<Code>();
  constexpr size_t idBytes = IdBytes(type.id);
  PointRecord<Code> record;
  uint8_t* at = record.data();
  // A by-time block carries its time once, in the frame header.
  if constexpr (type.shape != RecordShape::kTimeBlock) {
    PutU32(at, static_cast<uint32_t>(point.time));
    PutU16(at + 4, static_cast<uint16_t>(point.msec));
    at += 6;
  }
  if constexpr (idBytes > 0) {
    PutCallerText(at, idBytes, point.id);
    at += idBytes;
  }
  PutU16(at, static_cast<uint16_t>(point.status));
  at += 2;
  if constexpr (type.textValue) {
    PutCallerText(at, kTextValueBytes, point.text);
  } else {
    PutF64(at, point.value);
  }
  return record;
}

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_POINT_RECORD_H_
