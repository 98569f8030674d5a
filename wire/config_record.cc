// SPDX-License-Identifier: Apache-2.0
#include "wire/config_record.h"

#include "wire/frame_format.h"

namespace histfeed::universal {

using namespace config_layout;

void EncodeConfigRecord(const ConfigFields& fields, uint8_t* out) {
  PutFixedText(out + kPointIdAt, kPointIdBytes, fields.pointId);
  PutFixedText(out + kLongIdAt, kLongIdBytes, fields.longId);
  PutFixedText(out + kDescriptionAt, kDescriptionBytes, fields.description);
  PutFixedText(out + kUnitsAt, kUnitsBytes, fields.units);
  PutFixedText(out + kPointClassAt, kPointClassBytes, fields.pointClass);
  PutU32(out + kOption1At, static_cast<uint32_t>(fields.option1));
  PutU32(out + kOption2At, static_cast<uint32_t>(fields.option2));
  PutFixedText(out + kLowStateTextAt, kStateTextBytes, fields.lowStateText);
  PutFixedText(out + kHighStateTextAt, kStateTextBytes, fields.highStateText);
  for (size_t i = 0; i < kConfigSettingWords; ++i) {
    PutU32(out + kSettingsAt + 4 * i, static_cast<uint32_t>(fields.settings[i]));
  }
  PutFixedText(out + kExtIdAt, kExtIdBytes, fields.extId);
  PutFixedText(out + kCommentAt, kCommentBytes, fields.comment);
}

void EncodeConfigExtendedRecord(const ConfigFields& fields, uint8_t* out) {
  EncodeConfigRecord(fields, out);
  for (size_t i = 0; i < kConfigAttributeTexts; ++i) {
    PutFixedText(out + kAttributesAt + kAttributeBytes * i, kAttributeBytes,
                 fields.attributes[i]);
  }
}

ConfigFields DecodeConfigRecord(const uint8_t* record, bool extended) {
  ConfigFields fields;
  fields.pointId = GetFixedText(record + kPointIdAt, kPointIdBytes);
  fields.longId = GetFixedText(record + kLongIdAt, kLongIdBytes);
  fields.description = GetFixedText(record + kDescriptionAt, kDescriptionBytes);
  fields.units = GetFixedText(record + kUnitsAt, kUnitsBytes);
  fields.pointClass = GetFixedText(record + kPointClassAt, kPointClassBytes);
  fields.option1 = static_cast<int32_t>(GetU32(record + kOption1At));
  fields.option2 = static_cast<int32_t>(GetU32(record + kOption2At));
  fields.lowStateText = GetFixedText(record + kLowStateTextAt, kStateTextBytes);
  fields.highStateText = GetFixedText(record + kHighStateTextAt, kStateTextBytes);
  for (size_t i = 0; i < kConfigSettingWords; ++i) {
    fields.settings[i] = static_cast<int32_t>(GetU32(record + kSettingsAt + 4 * i));
  }
  fields.extId = GetFixedText(record + kExtIdAt, kExtIdBytes);
  fields.comment = GetFixedText(record + kCommentAt, kCommentBytes);
  if (extended) {
    for (size_t i = 0; i < kConfigAttributeTexts; ++i) {
      fields.attributes[i] = GetFixedText(record + kAttributesAt + kAttributeBytes * i,
                                          kAttributeBytes);
    }
  }
  return fields;
}

}  // namespace histfeed::universal
