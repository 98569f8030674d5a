// SPDX-License-Identifier: Apache-2.0
// Byte layouts of universal frames and records, and the decoder a peer
// uses to check them.
#include "wire/frame_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "universal/point_record.h"

namespace histfeed::universal {
namespace {

std::vector<uint8_t> Frame(const RecordType& type, const std::vector<uint8_t>& extension,
                           const std::vector<uint8_t>& records, uint16_t count) {
  std::vector<uint8_t> out(FrameLength(type, count));
  EncodeFrame(type, extension.data(), records.data(), count, out.data());
  return out;
}

TEST(FrameFormatTest, OnePointIdRecordMakesThe37ByteFrame) {
  const RecordType& type = *FindRecordType(1);
  std::vector<uint8_t> record(type.recordBytes);
  EncodeRecord(type, PointValue{1700000000, 250, "TIC101", 3, 1.5, {}}, record.data());
  std::vector<uint8_t> frame = Frame(type, {}, record, 1);

  ASSERT_EQ(frame.size(), 37u);
  const uint8_t header[] = {0xFE, 0xFE, 37, 0, 0, 0, 1, 0, 1, 0};
  EXPECT_EQ(std::memcmp(frame.data(), header, sizeof header), 0);
  EXPECT_EQ(GetU32(&frame[10]), 1700000000u);
  EXPECT_EQ(GetU16(&frame[14]), 250);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&frame[16]), 9), std::string("TIC101\0\0\0", 9));
  EXPECT_EQ(GetU16(&frame[25]), 3);
  EXPECT_EQ(GetF64(&frame[27]), 1.5);
  EXPECT_EQ(frame[35], 0xEF);
  EXPECT_EQ(frame[36], 0xEF);
}

TEST(FrameFormatTest, HeartBeatIsTwelveBytesOfTypeOneWithNoRecords) {
  uint8_t frame[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(frame);
  const uint8_t expected[] = {0xFE, 0xFE, 12, 0, 0, 0, 1, 0, 0, 0, 0xEF, 0xEF};
  EXPECT_EQ(std::memcmp(frame, expected, sizeof expected), 0);
  DecodedFrame decoded;
  ASSERT_EQ(DecodeFrame(frame, &decoded), FrameError::kNone);
  EXPECT_TRUE(decoded.heartBeat);
}

TEST(FrameFormatTest, RecordFieldsSitAtTheirOffsetsAndTextsAreCut) {
  const RecordType& longAscii = *FindRecordType(12);
  std::vector<uint8_t> record(longAscii.recordBytes);
  std::string longId(70, 'L');
  EncodeRecord(longAscii, PointValue{5, 6, longId, 7, 0, "a text of more than 17"}, record.data());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&record[6]), 61), std::string(61, 'L'));
  EXPECT_EQ(GetU16(&record[67]), 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&record[69]), 17), "a text of more th");

  const RecordType& extTimeBlock = *FindRecordType(17);
  record.assign(extTimeBlock.recordBytes, 0xAA);
  EncodeRecord(extTimeBlock, PointValue{0, 0, std::string(200, 'X'), -2, 2.25, {}},
               record.data());
  EXPECT_EQ(record[128], 'X');  // all 129 bytes, no terminator
  EXPECT_EQ(GetU16(&record[129]), 0xFFFE);
  EXPECT_EQ(GetF64(&record[131]), 2.25);

  const RecordType& block = *FindRecordType(2);
  record.assign(block.recordBytes, 0);
  EncodeRecord(block, PointValue{9, 999, "ignored", 1, -4.0, {}}, record.data());
  EXPECT_EQ(GetU32(&record[0]), 9u);
  EXPECT_EQ(GetU16(&record[4]), 999);
  EXPECT_EQ(GetU16(&record[6]), 1);
  EXPECT_EQ(GetF64(&record[8]), -4.0);

  const RecordType& remove = *FindRecordType(13);
  record.assign(remove.recordBytes, 0xAA);
  EncodeRecord(remove, PointValue{0, 0, "AB", 0, 0, {}}, record.data());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.data()), 9), std::string("AB\0\0\0\0\0\0\0", 9));

  std::vector<uint8_t> again(longAscii.recordBytes);
  EncodeRecord(longAscii, PointValue{5, 6, "short", 7, 0, "txt"}, again.data());
  PointValue back = DecodeRecord(longAscii, again.data());
  EXPECT_EQ(back.id, "short");
  EXPECT_EQ(back.text, "txt");
  EXPECT_EQ(back.time, 5);
}

// The entry points' compile-time encoder must write exactly what the
// table-driven one writes from the same caller's texts, cut or missing.
template <int32_t Code>
void ExpectEncodersAgree(const CallerPoint& point) {
  const RecordType& type = *FindRecordType(Code);
  std::vector<uint8_t> expected(type.recordBytes, 0xAA);
  EncodeRecord(type,
               PointValue{point.time, point.msec, CallerText(point.id, IdBytes(type.id)),
                          point.status, point.value, CallerText(point.text, kTextValueBytes)},
               expected.data());
  PointRecord<Code> record = EncodePointRecord<Code>(point);
  EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.end()), expected)
      << type.name << " id=" << (point.id ? point.id : "null")
      << " text=" << (point.text ? point.text : "null");
}

template <int32_t... Codes>
void ExpectEncodersAgreeFor(const CallerPoint& point) {
  (ExpectEncodersAgree<Codes>(point), ...);
}

TEST(FrameFormatTest, PointRecordsMatchTheTableDrivenEncoder) {
  const std::string longest(200, 'X');
  const std::string exactPointId(kPointIdBytes, 'P');
  const std::string exactText(kTextValueBytes, 'T');
  const char* ids[] = {nullptr, "", "TIC101", exactPointId.c_str(), longest.c_str()};
  const char* texts[] = {nullptr, "", "RUNNING", exactText.c_str(), longest.c_str()};
  for (const char* id : ids) {
    for (const char* text : texts) {
      ExpectEncodersAgreeFor<1, 11, 6, 12, 15, 18, 2, 7, 16, 3, 8, 17>(
          {1700000000, -2, id, -3, -1.25e300, text});
    }
  }
}

TEST(FrameFormatTest, HeaderExtensionsPrecedeTheRecords) {
  const RecordType& extBlock = *FindRecordType(16);
  std::vector<uint8_t> extension(kExtIdHeaderBytes, 'E');
  std::vector<uint8_t> records(16, 0x11);
  std::vector<uint8_t> frame = Frame(extBlock, extension, records, 1);
  EXPECT_EQ(frame[10], 'E');
  EXPECT_EQ(frame[137], 'E');
  EXPECT_EQ(frame[138], 0x11);

  const RecordType& timeBlock = *FindRecordType(3);
  uint8_t stamp[6];
  EncodeBlockTime(1234567, 890, stamp);
  frame = Frame(timeBlock, std::vector<uint8_t>(stamp, stamp + 6),
                std::vector<uint8_t>(19, 0), 1);
  EXPECT_EQ(GetU32(&frame[10]), 1234567u);
  EXPECT_EQ(GetU16(&frame[14]), 890);
  EXPECT_EQ(frame.size(), 12u + 6 + 19);
}

TEST(FrameFormatTest, EveryFrameFitsTheLimitAndOnlyFourTypesNeedSmallerFrames) {
  for (const RecordType& type : kRecordTypes) {
    uint16_t most = MaxRecordsPerFrame(type);
    EXPECT_LE(FrameLength(type, most), kMaxFrameBytes) << type.name;
    bool overLong = FrameLength(type, type.capacity) > kMaxFrameBytes;
    if (overLong) {
      EXPECT_GT(FrameLength(type, most + 1u), kMaxFrameBytes) << type.name;
    } else {
      EXPECT_EQ(most, type.capacity) << type.name;
    }
    EXPECT_EQ(overLong, type.code == 2 || type.code == 7 || type.code == 13 || type.code == 16)
        << type.name;
    EXPECT_EQ(IsConfigRecordType(type.code),
              type.code == 5 || type.code == 10 || type.code == 13 || type.code == 14 ||
                  type.code == 19);
  }
  EXPECT_EQ(FindRecordType(4), nullptr);
  EXPECT_EQ(FindRecordType(9), nullptr);
  EXPECT_EQ(FindRecordType(20), nullptr);
  EXPECT_EQ(FrameLength(*FindRecordType(1), 326), 8162u);
}

TEST(FrameFormatTest, DecoderRefusesMalformedFrames) {
  const RecordType& type = *FindRecordType(1);
  std::vector<uint8_t> good = Frame(type, {}, std::vector<uint8_t>(50, 0), 2);
  DecodedFrame decoded;
  ASSERT_EQ(DecodeFrame(good, &decoded), FrameError::kNone);
  EXPECT_EQ(decoded.count, 2);
  EXPECT_EQ(decoded.records.size(), 50u);

  auto bent = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> copy = good;
    copy[at] = value;
    return DecodeFrame(copy, &decoded);
  };
  EXPECT_EQ(bent(0, 0x00), FrameError::kBadStartMarker);
  EXPECT_EQ(bent(2, 63), FrameError::kBadLength);
  EXPECT_EQ(bent(6, 4), FrameError::kUnknownType);
  EXPECT_EQ(bent(8, 3), FrameError::kCountMismatch);
  EXPECT_EQ(bent(8, 0), FrameError::kCountMismatch);
  EXPECT_EQ(bent(good.size() - 1, 0x00), FrameError::kBadEndMarker);
  EXPECT_EQ(DecodeFrame(std::span<const uint8_t>(good.data(), 11), &decoded),
            FrameError::kTooShort);
  EXPECT_EQ(PeekFrameLength(good.data()), good.size());
}

}  // namespace
}  // namespace histfeed::universal
