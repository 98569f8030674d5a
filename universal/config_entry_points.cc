// SPDX-License-Identifier: Apache-2.0
// The exported configuration and deletion entry points. Their records
// travel in configuration frames, which go to every configured service.
#include <cstring>
#include <string_view>

#include "histfeed.h"
#include "wire/config_record.h"
#include "wire/frame_format.h"
#include "universal/key.h"

namespace histfeed::universal {
namespace {

// Adds one finished record of type `code` to the key's buffer.
int32_t AddOne(int32_t number, int32_t code, const uint8_t* record) {
  Key* key = FindKeyInUse(number);
  if (key == nullptr) return HISTFEED_NOT_SENT;
  return key->buffers().Add(code, record, 1);
}

int32_t AddDeletion(int32_t key, int32_t code, const char* id) {
  const RecordType& type = *FindRecordType(code);
  uint8_t record[kExtIdBytes];
  EncodeRecord(type, PointValue{0, 0, CallerText(id, IdBytes(type.id)), 0, 0, {}}, record);
  return AddOne(key, code, record);
}

}  // namespace

ConfigFields MakeConfigFields(const char* pointId, const char* longId, const char* description,
                              const char* units, const char* pointClass, int32_t option1,
                              int32_t option2, const char* lowStateText,
                              const char* highStateText, const int32_t* settings,
                              const char* extId, const char* comment) {
  using namespace config_layout;
  ConfigFields fields;
  fields.pointId = CallerText(pointId, kPointIdBytes);
  fields.longId = CallerText(longId, kLongIdBytes);
  fields.description = CallerText(description, kDescriptionBytes);
  fields.units = CallerText(units, kUnitsBytes);
  fields.pointClass = CallerText(pointClass, kPointClassBytes);
  fields.option1 = option1;
  fields.option2 = option2;
  fields.lowStateText = CallerText(lowStateText, kStateTextBytes);
  fields.highStateText = CallerText(highStateText, kStateTextBytes);
  std::memcpy(fields.settings.data(), settings, sizeof(int32_t) * kConfigSettingWords);
  fields.extId = CallerText(extId, kExtIdBytes);
  fields.comment = CallerText(comment, kCommentBytes);
  return fields;
}

}  // namespace histfeed::universal

using namespace histfeed::universal;

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL VornMxAddConfigRec(int32_t key, const char* pointId, const char* longId, const char* description,
    const char* units, const char* pointClass, int32_t option1, int32_t option2,
    const char* lowStateText, const char* highStateText, int32_t setting1, int32_t setting2,
    int32_t setting3, int32_t setting4, int32_t setting5, int32_t setting6, int32_t setting7,
    int32_t setting8, int32_t setting9, int32_t setting10, int32_t setting11,
    int32_t setting12, int32_t setting13, int32_t setting14, int32_t setting15,
    int32_t setting16, int32_t setting17, int32_t setting18, int32_t setting19,
    int32_t setting20, int32_t setting21, int32_t setting22, int32_t setting23,
    int32_t setting24, int32_t setting25, int32_t setting26, const char* extId,
    const char* comment) {
  const int32_t settings[kConfigSettingWords] = {
      setting1, setting2, setting3, setting4, setting5, setting6, setting7, setting8,
      setting9, setting10, setting11, setting12, setting13, setting14, setting15, setting16,
      setting17, setting18, setting19, setting20, setting21, setting22, setting23, setting24,
      setting25, setting26};
  uint8_t record[kConfigRecordBytes];
  EncodeConfigRecord(MakeConfigFields(pointId, longId, description, units, pointClass, option1,
                                      option2, lowStateText, highStateText, settings, extId,
                                      comment),
                     record);
  return AddOne(key, kConfigRec, record);
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddConfigExtendedRec(int32_t key, const char* pointId, const char* longId, const char* description,
    const char* units, const char* pointClass, int32_t option1, int32_t option2,
    const char* lowStateText, const char* highStateText, int32_t setting1, int32_t setting2,
    int32_t setting3, int32_t setting4, int32_t setting5, int32_t setting6, int32_t setting7,
    int32_t setting8, int32_t setting9, int32_t setting10, int32_t setting11,
    int32_t setting12, int32_t setting13, int32_t setting14, int32_t setting15,
    int32_t setting16, int32_t setting17, int32_t setting18, int32_t setting19,
    int32_t setting20, int32_t setting21, int32_t setting22, int32_t setting23,
    int32_t setting24, int32_t setting25, int32_t setting26, const char* extId,
    const char* comment, const char* attribute1, const char* attribute2,
    const char* attribute3, const char* attribute4, const char* attribute5,
    const char* attribute6, const char* attribute7, const char* attribute8,
    const char* attribute9) {
  const int32_t settings[kConfigSettingWords] = {
      setting1, setting2, setting3, setting4, setting5, setting6, setting7, setting8,
      setting9, setting10, setting11, setting12, setting13, setting14, setting15, setting16,
      setting17, setting18, setting19, setting20, setting21, setting22, setting23, setting24,
      setting25, setting26};
  ConfigFields fields = MakeConfigFields(pointId, longId, description, units, pointClass, option1,
                                         option2, lowStateText, highStateText, settings, extId,
                                         comment);
  const char* attributes[kConfigAttributeTexts] = {attribute1, attribute2, attribute3, attribute4, attribute5, attribute6, attribute7, attribute8, attribute9};
  for (size_t i = 0; i < kConfigAttributeTexts; ++i) {
    fields.attributes[i] = CallerText(attributes[i], config_layout::kAttributeBytes);
  }
  uint8_t record[kConfigExtendedRecordBytes];
  EncodeConfigExtendedRecord(fields, record);
  return AddOne(key, kConfigExtendedRec, record);
}

HISTFEED_API int32_t HISTFEED_CALL VornMxDeleteConfigurationRec(int32_t key, const char* pointId) {
  return AddDeletion(key, kDeletePointIdRec, pointId);
}

HISTFEED_API int32_t HISTFEED_CALL VornMxDeleteLongIdConfigurationRec(int32_t key, const char* longId) {
  return AddDeletion(key, kDeleteLongIdRec, longId);
}

HISTFEED_API int32_t HISTFEED_CALL VornMxDeleteExtIdConfigurationRec(int32_t key, const char* extId) {
  return AddDeletion(key, kDeleteExtIdRec, extId);
}

}  // extern "C"
