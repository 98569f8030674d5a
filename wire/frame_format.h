// SPDX-License-Identifier: Apache-2.0
// The wire format of the universal family: the 17 record types, their
// record layouts, and the frame that carries records of one type. This is
// the one definition of every layout; the library encodes with it and a
// historian peer decodes with it. All integers are little-endian and every
// record is packed.
//
// Frame:  FE FE | u32 length | u16 type | u16 count | header extension |
//         count x record | EF EF
#ifndef HISTFEED_WIRE_FRAME_FORMAT_H_
#define HISTFEED_WIRE_FRAME_FORMAT_H_

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace histfeed::universal {

inline constexpr size_t kMaxFrameBytes = 8192;
inline constexpr size_t kFrameHeaderBytes = 10;  // markers, length, type, count
inline constexpr size_t kFrameOverheadBytes = 12;  // header plus end marker
inline constexpr uint8_t kStartMarkerByte = 0xFE;
inline constexpr uint8_t kEndMarkerByte = 0xEF;
inline constexpr size_t kTypeOffset = 6;
inline constexpr size_t kCountOffset = 8;
inline constexpr size_t kHeartBeatFrameBytes = 12;

// Widths of the fixed texts.
inline constexpr size_t kPointIdBytes = 9;
inline constexpr size_t kLongIdBytes = 61;
inline constexpr size_t kExtIdBytes = 129;        // inside records
inline constexpr size_t kExtIdHeaderBytes = 128;  // in a type-16 frame header
inline constexpr size_t kTextValueBytes = 17;

// What travels once in the frame header for the whole group of records.
enum class HeaderExtension : uint8_t { kNone, kBlockTime, kPointId, kLongId, kExtId };

// The identifier a record carries, if any.
enum class IdKind : uint8_t { kNone, kPointId, kLongId, kExtId };

// How a record is laid out.
enum class RecordShape : uint8_t {
  kSingle,      // time, msec, identifier, status, value or text
  kBlock,       // time, msec, status, value (identifier in the header)
  kTimeBlock,   // identifier, status, value (time in the header)
  kDelete,      // identifier
  kOpaque,      // configuration records, laid out by their builders
};

struct RecordType {
  uint16_t code;
  std::string_view name;
  uint16_t recordBytes;
  uint16_t capacity;  // records per buffer
  HeaderExtension extension;
  uint16_t extensionBytes;
  bool isConfig;  // configuration and deletion frames
  RecordShape shape;
  IdKind id;
  bool textValue;  // a 17-byte text instead of a double
};

inline constexpr int kRecordTypeCount = 17;

// The record type codes, named after their layouts.
inline constexpr uint16_t kPointIdRec = 1;
inline constexpr uint16_t kPointIdBlockRec = 2;
inline constexpr uint16_t kPointIdTimeBlockRec = 3;
inline constexpr uint16_t kConfigRec = 5;
inline constexpr uint16_t kLongIdRec = 6;
inline constexpr uint16_t kLongIdBlockRec = 7;
inline constexpr uint16_t kLongIdTimeBlockRec = 8;
inline constexpr uint16_t kConfigExtendedRec = 10;
inline constexpr uint16_t kPointIdAsciiRec = 11;
inline constexpr uint16_t kLongIdAsciiRec = 12;
inline constexpr uint16_t kDeletePointIdRec = 13;
inline constexpr uint16_t kDeleteLongIdRec = 14;
inline constexpr uint16_t kExtIdRec = 15;
inline constexpr uint16_t kExtIdBlockRec = 16;
inline constexpr uint16_t kExtIdTimeBlockRec = 17;
inline constexpr uint16_t kExtIdAsciiRec = 18;
inline constexpr uint16_t kDeleteExtIdRec = 19;

// The record types, in the order of the per-type arrays of a connection.
namespace record_type_table {
using E = HeaderExtension;
using S = RecordShape;
using I = IdKind;

inline constexpr std::array<RecordType, kRecordTypeCount> kRecordTypes = {{
    {kPointIdRec, "PointIdRec", 25, 326, E::kNone, 0, false, S::kSingle, I::kPointId, false},
    {kPointIdAsciiRec, "PointIdAsciiRec", 34, 239, E::kNone, 0, false, S::kSingle, I::kPointId, true},
    {kPointIdBlockRec, "PointIdBlockRec", 16, 511, E::kPointId, 9, false, S::kBlock, I::kNone, false},
    {kPointIdTimeBlockRec, "PointIdTimeBlockRec", 19, 430, E::kBlockTime, 6, false, S::kTimeBlock, I::kPointId, false},
    {kConfigRec, "ConfigRec", 607, 12, E::kNone, 0, true, S::kOpaque, I::kNone, false},
    {kConfigExtendedRec, "ConfigExtendedRec", 904, 8, E::kNone, 0, true, S::kOpaque, I::kNone, false},
    {kLongIdRec, "LongIdRec", 77, 105, E::kNone, 0, false, S::kSingle, I::kLongId, false},
    {kLongIdAsciiRec, "LongIdAsciiRec", 86, 94, E::kNone, 0, false, S::kSingle, I::kLongId, true},
    {kLongIdBlockRec, "LongIdBlockRec", 16, 511, E::kLongId, 61, false, S::kBlock, I::kNone, false},
    {kLongIdTimeBlockRec, "LongIdTimeBlockRec", 71, 114, E::kBlockTime, 6, false, S::kTimeBlock, I::kLongId, false},
    {kDeletePointIdRec, "DeletePointIdRec", 9, 909, E::kNone, 0, true, S::kDelete, I::kPointId, false},
    {kDeleteLongIdRec, "DeleteLongIdRec", 61, 133, E::kNone, 0, true, S::kDelete, I::kLongId, false},
    {kExtIdRec, "ExtIdRec", 145, 55, E::kNone, 0, false, S::kSingle, I::kExtId, false},
    {kExtIdAsciiRec, "ExtIdAsciiRec", 154, 52, E::kNone, 0, false, S::kSingle, I::kExtId, true},
    {kExtIdBlockRec, "ExtIdBlockRec", 16, 511, E::kExtId, 128, false, S::kBlock, I::kNone, false},
    {kExtIdTimeBlockRec, "ExtIdTimeBlockRec", 139, 57, E::kBlockTime, 6, false, S::kTimeBlock, I::kExtId, false},
    {kDeleteExtIdRec, "DeleteExtIdRec", 129, 62, E::kNone, 0, true, S::kDelete, I::kExtId, false},
}};
}  // namespace record_type_table
using record_type_table::kRecordTypes;

namespace record_type_table {
// Position in kRecordTypes by code, -1 where a code is no record type.
constexpr std::array<int8_t, 20> MakeIndexByCode() {
  std::array<int8_t, 20> index{};
  index.fill(-1);
  for (int i = 0; i < kRecordTypeCount; ++i) index[kRecordTypes[i].code] = static_cast<int8_t>(i);
  return index;
}
inline constexpr std::array<int8_t, 20> kIndexByCode = MakeIndexByCode();
}  // namespace record_type_table

// The position of `code` in kRecordTypes, or -1 when it is no record type.
// Constant, so the entry points resolve their type while compiling.
constexpr int RecordTypeIndex(int32_t code) {
  using record_type_table::kIndexByCode;
  return code >= 0 && code < static_cast<int32_t>(kIndexByCode.size()) ? kIndexByCode[code] : -1;
}
// The record type of `code`, or null.
const RecordType* FindRecordType(int32_t code);
// Whether frames of this code are configuration frames.
bool IsConfigRecordType(int32_t code);

constexpr size_t IdBytes(IdKind id) {
  switch (id) {
    case IdKind::kPointId: return kPointIdBytes;
    case IdKind::kLongId: return kLongIdBytes;
    case IdKind::kExtId: return kExtIdBytes;
    case IdKind::kNone: break;
  }
  return 0;
}

// The length of a frame of `count` records of `type`.
size_t FrameLength(const RecordType& type, size_t count);

// The most records of `type` that fit one frame: its capacity, or fewer
// where a full buffer would make a frame longer than kMaxFrameBytes.
uint16_t MaxRecordsPerFrame(const RecordType& type);

// Writes a frame into `out`, which must hold FrameLength(type, count)
// bytes; `extension` must hold type.extensionBytes bytes. Returns the
// frame's length.
size_t EncodeFrame(const RecordType& type, const uint8_t* extension, const uint8_t* records,
                   uint16_t count, uint8_t* out);

// Writes the 12-byte heartbeat frame: type 1, no records.
void EncodeHeartBeatFrame(uint8_t out[kHeartBeatFrameBytes]);

// The record type word of a frame (0 when it is too short to have one).
uint16_t FrameRecordType(const uint8_t* frame, size_t length);

// The record count word of a frame (0 when it is too short to have one).
uint16_t FrameRecordCount(const uint8_t* frame, size_t length);

// The block time stamp of a type 3, 8 or 17 frame header.
void EncodeBlockTime(int32_t seconds, int16_t msec, uint8_t out[6]);

// A point value in any of the record shapes. Identifier and text views
// need not be terminated; they are cut to their field.
struct PointValue {
  int32_t time = 0;
  int16_t msec = 0;
  std::string_view id;
  int16_t status = 0;
  double value = 0;
  std::string_view text;
};

// Writes one record of a non-opaque type; `out` holds type.recordBytes.
void EncodeRecord(const RecordType& type, const PointValue& point, uint8_t* out);

// Reads one record of a non-opaque type. The views point into `record`
// and stop at the first NUL or the field's end.
PointValue DecodeRecord(const RecordType& type, const uint8_t* record);

enum class FrameError : uint8_t {
  kNone,
  kTooShort,        // fewer bytes than a frame header and end marker
  kBadStartMarker,
  kBadLength,       // length field disagrees with the bytes given, or > 8192
  kUnknownType,
  kCountMismatch,   // length disagrees with the type's record size and count
  kBadEndMarker,
};

struct DecodedFrame {
  const RecordType* type = nullptr;
  uint16_t count = 0;
  bool heartBeat = false;
  std::span<const uint8_t> extension;
  std::span<const uint8_t> records;  // count x type->recordBytes
};

// Checks and splits a whole frame. A heartbeat is type 1 with count 0.
FrameError DecodeFrame(std::span<const uint8_t> frame, DecodedFrame* out);

// Whether a record read back from a cache file is a whole, valid frame:
// the check every key's queue puts on what it reads back, and what the
// cache tool holds a file to.
bool IsValidFrame(const uint8_t* frame, uint16_t length);

// Reads the length field of a frame's first six bytes (0 if the start
// marker is wrong), so a reader of a stream knows how much to read.
uint32_t PeekFrameLength(const uint8_t header[6]);

// Little-endian field helpers shared by the record builders. Inline: a
// record is built per value added, and on a little-endian host each is
// one plain store.
template <typename T>
void PutLittleEndian(uint8_t* at, T value) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &value, sizeof value);
  } else {
    for (size_t i = 0; i < sizeof value; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}
inline void PutU16(uint8_t* at, uint16_t value) { PutLittleEndian(at, value); }
inline void PutU32(uint8_t* at, uint32_t value) { PutLittleEndian(at, value); }
inline void PutF64(uint8_t* at, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutLittleEndian(at, bits);
}
uint16_t GetU16(const uint8_t* at);
uint32_t GetU32(const uint8_t* at);
double GetF64(const uint8_t* at);
// Copies at most `width` bytes of `text` and pads with NUL; a text that
// fills the field keeps no terminator.
void PutFixedText(uint8_t* at, size_t width, std::string_view text);
// Writes a caller's text into a fixed field in one pass: up to its
// terminator, never more than `width` characters, NUL-padded; null
// writes an empty field. The same bytes as PutFixedText of CallerText.
inline void PutCallerText(uint8_t* at, size_t width, const char* text) {
  // Padding first: with a constant width that is a few plain stores.
  std::memset(at, 0, width);
  if (text == nullptr) return;
  for (size_t i = 0; i < width && text[i] != '\0'; ++i) at[i] = static_cast<uint8_t>(text[i]);
}
// A caller's text, read up to its terminator but never past `width`
// characters; null reads as empty.
std::string_view CallerText(const char* text, size_t width);
// The text of a fixed field, up to its first NUL.
std::string_view GetFixedText(const uint8_t* at, size_t width);

}  // namespace histfeed::universal

#endif  // HISTFEED_WIRE_FRAME_FORMAT_H_
