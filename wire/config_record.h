// SPDX-License-Identifier: Apache-2.0
// The configuration records of the universal family: ConfigRec (type 5,
// 607 bytes) and ConfigExtendedRec (type 10, 904 bytes). The library
// copies every field unchanged; what the fields mean is the service's.
// Texts are cut to their field and NUL-padded; a text that fills its field
// has no terminator. Words are 32-bit little-endian. Nothing is aligned.
#ifndef HISTFEED_WIRE_CONFIG_RECORD_H_
#define HISTFEED_WIRE_CONFIG_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/frame_format.h"

namespace histfeed::universal {

inline constexpr size_t kConfigRecordBytes = 607;
inline constexpr size_t kConfigExtendedRecordBytes = 904;
inline constexpr size_t kConfigSettingWords = 26;
inline constexpr size_t kConfigAttributeTexts = 9;

// Field widths and offsets, in record order.
namespace config_layout {
inline constexpr size_t kPointIdAt = 0;  // kPointIdBytes wide
inline constexpr size_t kLongIdAt = 9;  // kLongIdBytes wide
inline constexpr size_t kDescriptionAt = 70, kDescriptionBytes = 25;
inline constexpr size_t kUnitsAt = 95, kUnitsBytes = 9;
inline constexpr size_t kPointClassAt = 104, kPointClassBytes = 3;
inline constexpr size_t kOption1At = 107;
inline constexpr size_t kOption2At = 111;
inline constexpr size_t kLowStateTextAt = 115, kStateTextBytes = 17;
inline constexpr size_t kHighStateTextAt = 132;
inline constexpr size_t kSettingsAt = 149;
inline constexpr size_t kExtIdAt = 253;  // kExtIdBytes wide
inline constexpr size_t kCommentAt = 382, kCommentBytes = 225;
inline constexpr size_t kAttributesAt = 607, kAttributeBytes = 33;
}  // namespace config_layout

// The fields of both records; the extended record adds the attributes.
struct ConfigFields {
  std::string_view pointId;
  std::string_view longId;
  std::string_view description;
  std::string_view units;
  std::string_view pointClass;
  int32_t option1 = 0;
  int32_t option2 = 0;
  std::string_view lowStateText;
  std::string_view highStateText;
  std::array<int32_t, kConfigSettingWords> settings{};
  std::string_view extId;
  std::string_view comment;
  std::array<std::string_view, kConfigAttributeTexts> attributes{};  // extended only
};

// Writes a ConfigRec into `out` (607 bytes).
void EncodeConfigRecord(const ConfigFields& fields, uint8_t* out);
// Writes a ConfigExtendedRec into `out` (904 bytes).
void EncodeConfigExtendedRecord(const ConfigFields& fields, uint8_t* out);
// Reads either record; `extended` selects the 904-byte form. Views point
// into `record`.
ConfigFields DecodeConfigRecord(const uint8_t* record, bool extended);

}  // namespace histfeed::universal

#endif  // HISTFEED_WIRE_CONFIG_RECORD_H_
