// SPDX-License-Identifier: Apache-2.0
#include "wire/frame_format.h"

#include <algorithm>
#include <cstring>

namespace histfeed::universal {

const RecordType* FindRecordType(int32_t code) {
  int index = RecordTypeIndex(code);
  return index < 0 ? nullptr : &kRecordTypes[index];
}

bool IsConfigRecordType(int32_t code) {
  const RecordType* type = FindRecordType(code);
  return type != nullptr && type->isConfig;
}

size_t FrameLength(const RecordType& type, size_t count) {
  return kFrameOverheadBytes + type.extensionBytes + count * type.recordBytes;
}

uint16_t MaxRecordsPerFrame(const RecordType& type) {
  size_t fit = (kMaxFrameBytes - kFrameOverheadBytes - type.extensionBytes) / type.recordBytes;
  return static_cast<uint16_t>(std::min<size_t>(fit, type.capacity));
}

uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t GetU32(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

double GetF64(const uint8_t* at) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= uint64_t{at[i]} << (8 * i);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void PutFixedText(uint8_t* at, size_t width, std::string_view text) {
  // Byte by byte: the fields are short, and a record is built per value
  // added, so library calls would cost more than the copy.
  size_t count = std::min(width, text.size());
  size_t i = 0;
  // Stop at an embedded NUL, as a C string copy would.
  for (; i < count && text[i] != '\0'; ++i) at[i] = static_cast<uint8_t>(text[i]);
  for (; i < width; ++i) at[i] = 0;
}

std::string_view CallerText(const char* text, size_t width) {
  return text == nullptr ? std::string_view() : std::string_view(text, strnlen(text, width));
}

std::string_view GetFixedText(const uint8_t* at, size_t width) {
  const auto* text = reinterpret_cast<const char*>(at);
  const void* nul = std::memchr(text, 0, width);
  return std::string_view(text, nul ? static_cast<const char*>(nul) - text : width);
}

size_t EncodeFrame(const RecordType& type, const uint8_t* extension, const uint8_t* records,
                   uint16_t count, uint8_t* out) {
  size_t length = FrameLength(type, count);
  out[0] = out[1] = kStartMarkerByte;
  PutU32(out + 2, static_cast<uint32_t>(length));
  PutU16(out + kTypeOffset, type.code);
  PutU16(out + kCountOffset, count);
  uint8_t* at = out + kFrameHeaderBytes;
  if (type.extensionBytes > 0) std::memcpy(at, extension, type.extensionBytes);
  at += type.extensionBytes;
  size_t recordBytes = size_t{count} * type.recordBytes;
  if (recordBytes > 0) std::memcpy(at, records, recordBytes);
  at += recordBytes;
  at[0] = at[1] = kEndMarkerByte;
  return length;
}

void EncodeHeartBeatFrame(uint8_t out[kHeartBeatFrameBytes]) {
  EncodeFrame(kRecordTypes[0], nullptr, nullptr, 0, out);
}

uint16_t FrameRecordType(const uint8_t* frame, size_t length) {
  return length >= kTypeOffset + 2 ? GetU16(frame + kTypeOffset) : 0;
}

uint16_t FrameRecordCount(const uint8_t* frame, size_t length) {
  return length >= kCountOffset + 2 ? GetU16(frame + kCountOffset) : 0;
}

void EncodeBlockTime(int32_t seconds, int16_t msec, uint8_t out[6]) {
  PutU32(out, static_cast<uint32_t>(seconds));
  PutU16(out + 4, static_cast<uint16_t>(msec));
}

void EncodeRecord(const RecordType& type, const PointValue& point, uint8_t* out) {
  size_t idBytes = IdBytes(type.id);
  uint8_t* at = out;
  if (type.shape == RecordShape::kSingle || type.shape == RecordShape::kBlock) {
    PutU32(at, static_cast<uint32_t>(point.time));
    PutU16(at + 4, static_cast<uint16_t>(point.msec));
    at += 6;
  }
  if (idBytes > 0) {
    PutFixedText(at, idBytes, point.id);
    at += idBytes;
  }
  if (type.shape == RecordShape::kDelete || type.shape == RecordShape::kOpaque) return;
  PutU16(at, static_cast<uint16_t>(point.status));
  at += 2;
  if (type.textValue) {
    PutFixedText(at, kTextValueBytes, point.text);
  } else {
    PutF64(at, point.value);
  }
}

PointValue DecodeRecord(const RecordType& type, const uint8_t* record) {
  PointValue point;
  size_t idBytes = IdBytes(type.id);
  const uint8_t* at = record;
  if (type.shape == RecordShape::kSingle || type.shape == RecordShape::kBlock) {
    point.time = static_cast<int32_t>(GetU32(at));
    point.msec = static_cast<int16_t>(GetU16(at + 4));
    at += 6;
  }
  if (idBytes > 0) {
    point.id = GetFixedText(at, idBytes);
    at += idBytes;
  }
  if (type.shape == RecordShape::kDelete || type.shape == RecordShape::kOpaque) return point;
  point.status = static_cast<int16_t>(GetU16(at));
  at += 2;
  if (type.textValue) {
    point.text = GetFixedText(at, kTextValueBytes);
  } else {
    point.value = GetF64(at);
  }
  return point;
}

uint32_t PeekFrameLength(const uint8_t header[6]) {
  if (header[0] != kStartMarkerByte || header[1] != kStartMarkerByte) return 0;
  return GetU32(header + 2);
}

FrameError DecodeFrame(std::span<const uint8_t> frame, DecodedFrame* out) {
  if (frame.size() < kFrameOverheadBytes) return FrameError::kTooShort;
  const uint8_t* bytes = frame.data();
  if (bytes[0] != kStartMarkerByte || bytes[1] != kStartMarkerByte) {
    return FrameError::kBadStartMarker;
  }
  uint32_t length = GetU32(bytes + 2);
  if (length != frame.size() || length > kMaxFrameBytes) return FrameError::kBadLength;
  const RecordType* type = FindRecordType(GetU16(bytes + kTypeOffset));
  if (type == nullptr) return FrameError::kUnknownType;
  uint16_t count = GetU16(bytes + kCountOffset);
  bool heartBeat = type->code == 1 && count == 0 && length == kHeartBeatFrameBytes;
  if (!heartBeat && (count == 0 || length != FrameLength(*type, count))) {
    return FrameError::kCountMismatch;
  }
  if (bytes[length - 2] != kEndMarkerByte || bytes[length - 1] != kEndMarkerByte) {
    return FrameError::kBadEndMarker;
  }
  out->type = type;
  out->count = count;
  out->heartBeat = heartBeat;
  out->extension = frame.subspan(kFrameHeaderBytes, heartBeat ? 0 : type->extensionBytes);
  out->records = frame.subspan(kFrameHeaderBytes + (heartBeat ? 0 : type->extensionBytes),
                               size_t{count} * type->recordBytes);
  return FrameError::kNone;
}

bool IsValidFrame(const uint8_t* frame, uint16_t length) {
  DecodedFrame decoded;
  return DecodeFrame(std::span(frame, length), &decoded) == FrameError::kNone;
}

}  // namespace histfeed::universal
