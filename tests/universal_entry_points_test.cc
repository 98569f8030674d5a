// SPDX-License-Identifier: Apache-2.0
// The exported point-value, configuration and deletion entry points, seen
// from the service: the bytes of each record and how records group.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "histfeed.h"
#include "tests/support/fake_historian.h"
#include "tests/support/universal_fixture.h"
#include "wire/frame_format.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::universal;

class EntryPointsTest : public UniversalTest {
 protected:
  void SetUp() override {
    key_ = NewKey(true);
    Attach(key_, false, peer_);
  }

  // The records of the frame received `index`-th, as raw bytes.
  std::vector<std::string> Records(size_t index) {
    auto frames = peer_.Frames();
    EXPECT_LT(index, frames.size());
    DecodedFrame decoded;
    EXPECT_EQ(DecodeFrame(frames[index], &decoded), FrameError::kNone);
    std::vector<std::string> records;
    for (uint16_t i = 0; i < decoded.count; ++i) {
      records.emplace_back(
          reinterpret_cast<const char*>(decoded.records.data()) + size_t{i} * decoded.type->recordBytes,
          decoded.type->recordBytes);
    }
    return records;
  }

  std::vector<uint8_t> Frame(size_t index) { return peer_.Frames().at(index); }

  FakeHistorian peer_;
  int32_t key_ = -1;
};

TEST_F(EntryPointsTest, SingleRecordsCutTheirTexts) {
  ASSERT_EQ(VornMxAddRec(key_, "ABCDEFGHIJKL", 1700000000, 999, 0x41, 2.5), 0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 1), 0);
  std::string record = Records(0)[0];
  EXPECT_EQ(record.substr(6, 9), "ABCDEFGHI");  // no terminator
  EXPECT_EQ(GetU16(reinterpret_cast<const uint8_t*>(&record[15])), 0x41);

  ASSERT_EQ(VornMxAddAsciiRec(key_, "P1", 5, 6, 7, "OPEN!"), 0);
  ASSERT_EQ(VornMxAddAsciiRec(key_, nullptr, 5, 6, 7, nullptr), 0);  // null texts are empty
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 11), 0);
  auto records = Records(1);
  EXPECT_EQ(records[0].substr(17, 17), std::string("OPEN!") + std::string(12, '\0'));
  EXPECT_EQ(records[1].substr(6, 9), std::string(9, '\0'));

  ASSERT_EQ(VornMxAddLongIdAsciiRec(key_, std::string(80, 'L').c_str(), 1, 2, 3, "t"), 0);
  ASSERT_EQ(VornMxAddExtIdRec(key_, std::string(200, 'X').c_str(), 1, 2, 3, 4.0), 0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 12), 0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 15), 0);
  EXPECT_EQ(Records(2)[0].substr(6, 62), std::string(61, 'L') + '\3');
  std::string ext = Records(3)[0];
  EXPECT_EQ(ext.substr(6, 129), std::string(129, 'X'));
  EXPECT_EQ(GetF64(reinterpret_cast<const uint8_t*>(&ext[137])), 4.0);
}

TEST_F(EntryPointsTest, BlockRecordsGroupByIdentifierIgnoringCase) {
  ASSERT_EQ(VornMxAddBlockRecByPointId(key_, "TIC101", 1, 0, 0, 1.0), 0);
  ASSERT_EQ(VornMxAddBlockRecByPointId(key_, "tic101", 2, 0, 0, 2.0), 0);
  EXPECT_EQ(peer_.FrameCount(), 0);
  ASSERT_EQ(VornMxAddBlockRecByPointId(key_, "FIC202", 3, 0, 0, 3.0), 0);
  ASSERT_EQ(peer_.FrameCount(), 1);
  std::vector<uint8_t> frame = Frame(0);
  EXPECT_EQ(GetU16(&frame[8]), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&frame[10]), 6), "tic101");  // newest spelling
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 2), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&Frame(1)[10]), 6), "FIC202");

  EXPECT_EQ(VornMxAddBlockRecByPointId(key_, "", 4, 0, 0, 4.0), -100);
  EXPECT_EQ(VornMxAddLongIdBlockRecByLongId(key_, nullptr, 4, 0, 0, 4.0), -102);
  EXPECT_EQ(VornMxAddExtIdBlockRecByExtId(key_, "", 4, 0, 0, 4.0), -113);
}

TEST_F(EntryPointsTest, TimeBlocksSplitWhenOnlyTheMillisecondsChange) {
  ASSERT_EQ(VornMxAddBlockRecByTime(key_, "A", 100, 10, 0, 1.0), 0);
  ASSERT_EQ(VornMxAddBlockRecByTime(key_, "B", 100, 10, 0, 2.0), 0);
  ASSERT_EQ(VornMxAddBlockRecByTime(key_, "C", 100, 11, 0, 3.0), 0);
  ASSERT_EQ(peer_.FrameCount(), 1);
  std::vector<uint8_t> frame = Frame(0);
  EXPECT_EQ(GetU32(&frame[10]), 100u);
  EXPECT_EQ(GetU16(&frame[14]), 10);
  EXPECT_EQ(GetU16(&frame[8]), 2);
  EXPECT_EQ(VornMxAddLongIdRecByTime(key_, "L", 0, 0, 0, 1.0), -101);
}

TEST_F(EntryPointsTest, TheThirteenthConfigurationSendsTwelve) {
  for (int i = 0; i < 13; ++i) {
    ASSERT_EQ(VornMxAddConfigRec(key_, "P", "L", "desc", "u", "AI", 1, 2, "lo", "hi", 1, 2, 3, 4, 5,
                                 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                 23, 24, 25, 26, "E", "comment"),
              0);
  }
  ASSERT_EQ(peer_.FrameCount(), 1);
  std::vector<uint8_t> frame = Frame(0);
  EXPECT_EQ(frame.size(), 7296u);
  EXPECT_EQ(GetU16(&frame[6]), 5);
  EXPECT_EQ(GetU32(&frame[10 + 149 + 25 * 4]), 26u);  // the last word of field 10

  ASSERT_EQ(VornMxAddConfigExtendedRec(key_, "P", nullptr, nullptr, nullptr, nullptr, 0, 0,
                                       nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
                                       "a1", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, std::string(40, 'Z').c_str()),
            0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 10), 0);
  std::string extended = Records(1)[0];
  EXPECT_EQ(extended.size(), 904u);
  EXPECT_EQ(extended.substr(607, 3), std::string("a1\0", 3));
  EXPECT_EQ(extended.substr(871, 33), std::string(33, 'Z'));
}

TEST_F(EntryPointsTest, ADeletionReachesBothServices) {
  FakeHistorian alternate;
  Attach(key_, true, alternate);
  ASSERT_EQ(VornMxDeleteConfigurationRec(key_, "TIC101"), 0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 13), 0);
  ASSERT_EQ(peer_.FrameCount(), 1);
  ASSERT_EQ(alternate.FrameCount(), 1);
  EXPECT_EQ(Frame(0).size(), 21u);
  EXPECT_EQ(alternate.Frames()[0], Frame(0));
}

TEST_F(EntryPointsTest, ConcurrentSingleRecordsAreAllDelivered) {
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) ASSERT_EQ(VornMxAddRec(key_, "P", t * kEach + i, 0, 0, 0), 0);
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 1), 0);
  std::vector<bool> seen(kThreads * kEach, false);
  int total = 0;
  for (size_t f = 0; f < static_cast<size_t>(peer_.FrameCount()); ++f) {
    for (const std::string& record : Records(f)) {
      uint32_t time = GetU32(reinterpret_cast<const uint8_t*>(record.data()));
      ASSERT_FALSE(seen.at(time));
      seen[time] = true;
      ++total;
    }
  }
  EXPECT_EQ(total, kThreads * kEach);
}

TEST_F(EntryPointsTest, RecordsThatCannotBeDeliveredAreRefusedNotDropped) {
  std::vector<uint8_t> records(64, 0);
  EXPECT_EQ(VornMxAddUniversalRecord(key_, 4, records.data(), 1), -1);  // 4: no record type
  EXPECT_EQ(VornMxAddUniversalRecord(key_, 4, records.data(), 0), 0);
  VornMxUniversalCloseSocket(key_);
  // A closed key keeps nothing for whoever is given its number next.
  EXPECT_EQ(VornMxAddRec(key_, "P1", 100, 0, 0, 1.5), -106);
  EXPECT_EQ(VornMxAddBlockRecByTime(key_, "P1", 100, 0, 0, 1.5), -106);
  EXPECT_EQ(VornMxAddUniversalRecord(key_, 1, records.data(), 1), -106);
  EXPECT_EQ(VornMxFlushUniversalRecord(key_, 1), -106);
  int32_t again = NewKey(true);
  ASSERT_EQ(again, key_);
  Attach(again, false, peer_);
  EXPECT_EQ(VornMxFlushUniversalRecord(again, 1), 0);
  EXPECT_TRUE(peer_.Frames().empty());
}

}  // namespace
}  // namespace histfeed::testing
