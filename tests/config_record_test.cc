// SPDX-License-Identifier: Apache-2.0
// Byte layout of the two configuration records.
#include "wire/config_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

std::string Bytes(const std::vector<uint8_t>& record, size_t at, size_t count) {
  return std::string(reinterpret_cast<const char*>(record.data() + at), count);
}

ConfigFields FullFields() {
  ConfigFields fields;
  fields.pointId = "POINT12345678";  // longer than its 9 bytes
  fields.longId = "plant.unit1.flow";
  fields.description = "Feed flow";
  fields.units = "m3/h";
  fields.pointClass = "AI";
  fields.option1 = 0x01020304;
  fields.option2 = -1;
  fields.lowStateText = "CLOSED";
  fields.highStateText = "OPEN";
  for (size_t i = 0; i < kConfigSettingWords; ++i) fields.settings[i] = 0x11000000 + int32_t(i);
  fields.extId = std::string_view("plant/area/unit/flow");
  fields.comment = "comment";
  return fields;
}

TEST(ConfigRecordTest, FieldsSitAtTheirOffsets) {
  std::vector<uint8_t> record(kConfigRecordBytes, 0xCC);
  EncodeConfigRecord(FullFields(), record.data());
  EXPECT_EQ(Bytes(record, 0, 9), "POINT1234");  // cut, no terminator
  EXPECT_EQ(Bytes(record, 9, 17), std::string("plant.unit1.flow\0", 17));
  EXPECT_EQ(record[69], 0);
  EXPECT_EQ(Bytes(record, 70, 10), std::string("Feed flow\0", 10));
  EXPECT_EQ(Bytes(record, 95, 5), std::string("m3/h\0", 5));
  EXPECT_EQ(Bytes(record, 104, 3), std::string("AI\0", 3));
  EXPECT_EQ(Bytes(record, 107, 4), "\x04\x03\x02\x01");
  EXPECT_EQ(GetU32(&record[111]), 0xFFFFFFFFu);
  EXPECT_EQ(Bytes(record, 115, 7), std::string("CLOSED\0", 7));
  EXPECT_EQ(Bytes(record, 132, 5), std::string("OPEN\0", 5));
  // 26 words from the odd offset 149, in argument order.
  for (size_t i = 0; i < kConfigSettingWords; ++i) {
    EXPECT_EQ(GetU32(&record[149 + 4 * i]), 0x11000000u + i) << i;
  }
  EXPECT_EQ(Bytes(record, 253, 21), std::string("plant/area/unit/flow\0", 21));
  EXPECT_EQ(Bytes(record, 382, 8), std::string("comment\0", 8));
  EXPECT_EQ(record[606], 0);
}

TEST(ConfigRecordTest, ExtendedRecordAddsNineTextsAndRoundTrips) {
  ConfigFields fields = FullFields();
  std::string longText(40, 'T');
  for (size_t i = 0; i < kConfigAttributeTexts; ++i) {
    fields.attributes[i] = i == 8 ? std::string_view(longText) : std::string_view("attr");
  }
  std::vector<uint8_t> record(kConfigExtendedRecordBytes, 0xCC);
  EncodeConfigExtendedRecord(fields, record.data());
  EXPECT_EQ(Bytes(record, 607, 5), std::string("attr\0", 5));
  EXPECT_EQ(Bytes(record, 871, 33), std::string(33, 'T'));

  ConfigFields back = DecodeConfigRecord(record.data(), true);
  EXPECT_EQ(back.pointId, "POINT1234");
  EXPECT_EQ(back.longId, fields.longId);
  EXPECT_EQ(back.option2, -1);
  EXPECT_EQ(back.settings, fields.settings);
  EXPECT_EQ(back.attributes[8], std::string(33, 'T'));
  EXPECT_EQ(back.comment, "comment");
}

}  // namespace
}  // namespace histfeed::universal
