// SPDX-License-Identifier: Apache-2.0
// The per-key record buffers: when frames leave, what they carry, and
// that no record is lost, reordered or sent under another group's header.
#include "universal/record_buffers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scaled_clock.h"

namespace histfeed::universal {
namespace {

struct SentFrame {
  std::vector<uint8_t> bytes;
  bool isConfig;
};

class RecordBuffersTest : public ::testing::Test {
 protected:
  FrameSender Sender() {
    return [this](const uint8_t* frame, size_t length, bool isConfig) {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back({std::vector<uint8_t>(frame, frame + length), isConfig});
      return result_;
    };
  }

  // A record of `code` whose first four bytes hold `sequence`.
  static std::vector<uint8_t> Record(int code, uint32_t sequence) {
    std::vector<uint8_t> record(FindRecordType(code)->recordBytes, 0);
    PutU32(record.data(), sequence);
    return record;
  }

  int32_t AddOne(int code, uint32_t sequence) {
    auto record = Record(code, sequence);
    return buffers_.Add(code, record.data(), 1);
  }

  // The sequence numbers of a frame's records, in frame order.
  static std::vector<uint32_t> Sequences(const SentFrame& frame) {
    DecodedFrame decoded;
    EXPECT_EQ(DecodeFrame(frame.bytes, &decoded), FrameError::kNone);
    std::vector<uint32_t> out;
    for (uint16_t i = 0; i < decoded.count; ++i) {
      out.push_back(GetU32(decoded.records.data() + size_t{i} * decoded.type->recordBytes));
    }
    return out;
  }

  // Where the buffers' frames go: Sender() unless a test says otherwise.
  FrameSender transport_ = Sender();
  RecordBufferSet buffers_{[this](const uint8_t* frame, size_t length, bool isConfig) {
    return transport_(frame, length, isConfig);
  }};
  std::mutex mutex_;
  std::vector<SentFrame> sent_;
  int32_t result_ = 0;
};

TEST_F(RecordBuffersTest, AFullBufferLeavesWhenTheNextRecordArrives) {
  std::vector<uint8_t> records;
  for (uint32_t i = 0; i < 327; ++i) {
    auto record = Record(1, i);
    records.insert(records.end(), record.begin(), record.end());
  }
  result_ = -106;
  EXPECT_EQ(buffers_.Add(1, records.data(), 327), -106);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].bytes.size(), 8162u);
  EXPECT_FALSE(sent_[0].isConfig);
  EXPECT_EQ(Sequences(sent_[0]).back(), 325u);
  EXPECT_EQ(buffers_.CountOf(1), 1);
}

// One add of many records, onto a partly filled buffer, fills frame
// after frame in order.
TEST_F(RecordBuffersTest, AManyRecordAddFillsFramesInOrder) {
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(AddOne(1, i), 0);
  std::vector<uint8_t> records;
  for (uint32_t i = 100; i < 800; ++i) {
    auto record = Record(1, i);
    records.insert(records.end(), record.begin(), record.end());
  }
  ASSERT_EQ(buffers_.Add(1, records.data(), 700), 0);
  ASSERT_EQ(buffers_.Flush(1), 0);
  ASSERT_EQ(sent_.size(), 3u);
  std::vector<uint32_t> all;
  for (auto& frame : sent_) {
    for (uint32_t sequence : Sequences(frame)) all.push_back(sequence);
  }
  EXPECT_EQ(Sequences(sent_[0]).size(), 326u);
  EXPECT_EQ(Sequences(sent_[1]).size(), 326u);
  ASSERT_EQ(all.size(), 800u);
  for (uint32_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i);
}

TEST_F(RecordBuffersTest, FlushResults) {
  EXPECT_EQ(buffers_.Add(1, nullptr, 0), 0);
  EXPECT_EQ(buffers_.Flush(1), 0);  // nothing buffered, nothing sent
  EXPECT_EQ(buffers_.Flush(4), HISTFEED_NOT_A_RECORD_TYPE);
  EXPECT_TRUE(sent_.empty());

  ASSERT_EQ(AddOne(13, 1), 0);
  EXPECT_EQ(buffers_.Flush(13), 0);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].bytes.size(), 21u);
  EXPECT_TRUE(sent_[0].isConfig);

  // A frame handed over is out of the buffer, whatever the transport says.
  result_ = -106;
  ASSERT_EQ(AddOne(1, 1), 0);
  EXPECT_EQ(buffers_.Flush(1), -106);
  EXPECT_EQ(buffers_.CountOf(1), 0);
}

TEST_F(RecordBuffersTest, BlockFramesNeedTheirHeaderAndClearItAfterwards) {
  ASSERT_EQ(AddOne(2, 1), 0);
  EXPECT_EQ(buffers_.Flush(2), HISTFEED_MISSING_POINT_ID);
  EXPECT_EQ(buffers_.CountOf(2), 1);
  buffers_.SetPointId("POINT12345678");  // cut to 9, no terminator
  EXPECT_EQ(buffers_.Flush(2), 0);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&sent_[0].bytes[10]), 9), "POINT1234");
  EXPECT_EQ(GetU32(&sent_[0].bytes[19]), 1u);
  ASSERT_EQ(AddOne(2, 2), 0);
  // The identifier left with its frame.
  EXPECT_EQ(buffers_.Flush(2), HISTFEED_MISSING_POINT_ID);

  ASSERT_EQ(AddOne(3, 3), 0);
  EXPECT_EQ(buffers_.Flush(3), HISTFEED_MISSING_BLOCK_TIME);
  buffers_.SetTime(1700000000, 42);
  EXPECT_EQ(buffers_.Flush(3), 0);
  EXPECT_EQ(GetU32(&sent_.back().bytes[10]), 1700000000u);
  EXPECT_EQ(GetU16(&sent_.back().bytes[14]), 42);
  EXPECT_EQ(buffers_.Flush(3), 0);
  ASSERT_EQ(AddOne(3, 4), 0);
  EXPECT_EQ(buffers_.Flush(3), HISTFEED_MISSING_BLOCK_TIME);

  std::vector<uint8_t> ext(kExtIdHeaderBytes, 'e');
  buffers_.SetExtId(std::string(200, 'e').c_str());
  ASSERT_EQ(AddOne(16, 5), 0);
  EXPECT_EQ(buffers_.Flush(16), 0);
  EXPECT_EQ(sent_.back().bytes[137], 'e');
  EXPECT_EQ(GetU32(&sent_.back().bytes[138]), 5u);
}

TEST_F(RecordBuffersTest, OverLongBuffersLeaveAsFramesThatFitInOrder) {
  for (int code : {2, 7, 13, 16}) {
    sent_.clear();
    buffers_.SetPointId("P");
    buffers_.SetLongId("L");
    buffers_.SetExtId("E");
    const RecordType& type = *FindRecordType(code);
    uint16_t most = MaxRecordsPerFrame(type);
    for (uint32_t i = 0; i <= type.capacity; ++i) ASSERT_EQ(AddOne(code, i), 0) << type.name;
    // The full buffer made room with one frame that fits; the rest stays.
    ASSERT_EQ(sent_.size(), 1u) << type.name;
    EXPECT_EQ(Sequences(sent_[0]).size(), most);
    EXPECT_EQ(buffers_.CountOf(code), type.capacity + 1 - most);
    ASSERT_EQ(buffers_.Flush(code), 0) << "the header stays with the remainder";
    std::vector<uint32_t> all;
    for (auto& frame : sent_) {
      EXPECT_LE(frame.bytes.size(), kMaxFrameBytes);
      if (type.extensionBytes > 0) {
        EXPECT_EQ(frame.bytes[10], sent_[0].bytes[10]);
      }
      auto sequences = Sequences(frame);
      all.insert(all.end(), sequences.begin(), sequences.end());
    }
    ASSERT_EQ(all.size(), type.capacity + 1u);
    for (uint32_t i = 0; i <= type.capacity; ++i) ASSERT_EQ(all[i], i);
  }
}

TEST_F(RecordBuffersTest, AFullBufferThatCannotLeaveRefusesTheNextRecord) {
  const RecordType& type = *FindRecordType(2);
  for (uint32_t i = 0; i < type.capacity; ++i) ASSERT_EQ(AddOne(2, i), 0);
  EXPECT_EQ(AddOne(2, 9999), HISTFEED_MISSING_POINT_ID);
  EXPECT_EQ(buffers_.CountOf(2), type.capacity);
  EXPECT_TRUE(sent_.empty());
}

TEST_F(RecordBuffersTest, BlockByIdentifierGroupsAndKeepsTheNewestSpelling) {
  auto record = Record(2, 0);
  ASSERT_EQ(buffers_.AddBlockById(2, "tic101", record.data()), 0);
  PutU32(record.data(), 1);
  ASSERT_EQ(buffers_.AddBlockById(2, "TIC101", record.data()), 0);
  EXPECT_TRUE(sent_.empty());  // a change of case is the same point
  PutU32(record.data(), 2);
  ASSERT_EQ(buffers_.AddBlockById(2, "FIC202", record.data()), 0);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&sent_[0].bytes[10]), 6), "TIC101");
  EXPECT_EQ(Sequences(sent_[0]), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(buffers_.CountOf(2), 1);

  EXPECT_EQ(buffers_.AddBlockById(2, "", record.data()), HISTFEED_MISSING_POINT_ID);
  EXPECT_EQ(buffers_.AddBlockById(7, nullptr, record.data()), HISTFEED_MISSING_LONG_ID);
  EXPECT_EQ(buffers_.AddBlockById(16, "", record.data()), HISTFEED_MISSING_EXT_ID);

  // The old group has lost its header: it stays, and the new record is refused.
  buffers_.SetPointId("");
  EXPECT_EQ(buffers_.AddBlockById(2, "LIC303", record.data()), HISTFEED_MISSING_POINT_ID);
  EXPECT_EQ(buffers_.CountOf(2), 1);
}

TEST_F(RecordBuffersTest, BlockByTimeSplitsOnSecondsOrMilliseconds) {
  auto record = Record(3, 0);
  ASSERT_EQ(buffers_.AddBlockByTime(3, 100, 5, record.data()), 0);
  ASSERT_EQ(buffers_.AddBlockByTime(3, 100, 5, record.data()), 0);
  EXPECT_TRUE(sent_.empty());
  ASSERT_EQ(buffers_.AddBlockByTime(3, 100, 6, record.data()), 0);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(GetU16(&sent_[0].bytes[14]), 5);
  EXPECT_EQ(GetU16(&sent_[0].bytes[8]), 2);
  EXPECT_EQ(buffers_.AddBlockByTime(3, 0, 0, record.data()), HISTFEED_MISSING_BLOCK_TIME);
  EXPECT_EQ(buffers_.CountOf(3), 1);
}

TEST_F(RecordBuffersTest, ByTimeTypesShareTheTimeSoEachGroupLeavesUnderItsOwn) {
  auto point = Record(3, 1), longId = Record(8, 2), extId = Record(17, 3);
  ASSERT_EQ(buffers_.AddBlockByTime(3, 100, 0, point.data()), 0);
  ASSERT_EQ(buffers_.AddBlockByTime(8, 100, 0, longId.data()), 0);
  EXPECT_TRUE(sent_.empty());  // the same time: both groups wait
  // A new time, even for a third type, sends both waiting groups first.
  ASSERT_EQ(buffers_.AddBlockByTime(17, 200, 0, extId.data()), 0);
  ASSERT_EQ(sent_.size(), 2u);
  for (const SentFrame& frame : sent_) EXPECT_EQ(GetU32(&frame.bytes[10]), 100u);
  // Flushing one type keeps the time another type's group still needs.
  ASSERT_EQ(buffers_.AddBlockByTime(3, 200, 0, point.data()), 0);
  ASSERT_EQ(buffers_.Flush(3), 0);
  ASSERT_EQ(buffers_.Flush(17), 0);
  ASSERT_EQ(sent_.size(), 4u);
  EXPECT_EQ(GetU32(&sent_[2].bytes[10]), 200u);
  EXPECT_EQ(GetU32(&sent_[3].bytes[10]), 200u);
}

// The one-value paths copy a record of a type fixed while compiling; what
// leaves must be what the same values make when encoded on their own,
// under the header of the group they were added with, through the
// automatic flush of a full buffer.
TEST_F(RecordBuffersTest, PointValuesLeaveAsTheirEncodedRecords) {
  const RecordType& single = *FindRecordType(11);
  for (int32_t i = 0; i <= single.capacity; ++i) {
    auto record = EncodePointRecord<11>(CallerPoint{i, 7, "TIC101", 3, 0, "RUNNING"});
    ASSERT_EQ(buffers_.AddRecord<11>(record), 0);
  }
  ASSERT_EQ(buffers_.Flush(11), 0);
  std::vector<uint8_t> expected(single.recordBytes);
  int32_t next = 0;
  for (auto& frame : sent_) {
    DecodedFrame decoded;
    ASSERT_EQ(DecodeFrame(frame.bytes, &decoded), FrameError::kNone);
    for (uint16_t k = 0; k < decoded.count; ++k, ++next) {
      EncodeRecord(single, PointValue{next, 7, "TIC101", 3, 0, "RUNNING"}, expected.data());
      ASSERT_EQ(0, std::memcmp(decoded.records.data() + size_t{k} * single.recordBytes,
                               expected.data(), single.recordBytes));
    }
  }
  EXPECT_EQ(next, single.capacity + 1);

  // A full block buffer gives up one frame under the spelling it was
  // gathered with; the rest and the new record carry the newest one.
  sent_.clear();
  const RecordType& block = *FindRecordType(2);
  auto blockRecord = [](int32_t time) {
    return EncodePointRecord<2>(CallerPoint{time, 0, nullptr, 0, 1.5, nullptr});
  };
  for (int32_t i = 0; i < block.capacity; ++i) {
    ASSERT_EQ(buffers_.AddBlockRecordById<2>("tic101", blockRecord(i)), 0);
  }
  EXPECT_TRUE(sent_.empty());
  ASSERT_EQ(buffers_.AddBlockRecordById<2>("TIC101", blockRecord(block.capacity)), 0);
  ASSERT_EQ(buffers_.Flush(2), 0);
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&sent_[0].bytes[10]), 6), "tic101");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&sent_[1].bytes[10]), 6), "TIC101");
  std::vector<uint32_t> all;
  for (auto& frame : sent_) {
    for (uint32_t time : Sequences(frame)) all.push_back(time);
  }
  ASSERT_EQ(all.size(), block.capacity + 1u);
  for (uint32_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i);
}

TEST_F(RecordBuffersTest, ConcurrentAddersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr uint32_t kEach = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (uint32_t i = 0; i < kEach; ++i) ASSERT_EQ(AddOne(1, t * kEach + i), 0);
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(buffers_.Flush(1), 0);
  std::vector<bool> seen(kThreads * kEach, false);
  std::vector<int64_t> lastOfThread(kThreads, -1);
  size_t total = 0;
  for (auto& frame : sent_) {
    for (uint32_t sequence : Sequences(frame)) {
      ASSERT_FALSE(seen[sequence]);
      seen[sequence] = true;
      ++total;
      // Each thread's records arrive in the order it added them.
      ASSERT_LT(lastOfThread[sequence / kEach], int64_t{sequence});
      lastOfThread[sequence / kEach] = sequence;
    }
  }
  EXPECT_EQ(total, seen.size());
}

// A frame cut while an earlier one is still being handed over waits for
// it: the second thread's frame must not overtake the first thread's.
TEST_F(RecordBuffersTest, FramesReachTheTransportInTheOrderTheyWereCut) {
  std::atomic<int> calls{0};
  std::atomic<bool> firstMayReturn{false};
  transport_ = [&](const uint8_t* frame, size_t length, bool isConfig) {
    if (calls.fetch_add(1) == 0) {
      while (!firstMayReturn.load()) std::this_thread::yield();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back({std::vector<uint8_t>(frame, frame + length), isConfig});
    return 0;
  };
  auto addOne = [&](uint32_t sequence) {
    auto record = Record(1, sequence);
    return buffers_.Add(1, record.data(), 1);
  };
  for (uint32_t i = 0; i < 326; ++i) ASSERT_EQ(addOne(i), 0);
  // The first frame is cut and held in the transport ...
  std::thread first([&] { EXPECT_EQ(addOne(1000), 0); });
  ASSERT_TRUE(testing::WaitUntil([&] { return calls.load() == 1; }));
  // ... while a second thread fills the buffer again and cuts the next.
  std::thread second([&] {
    for (uint32_t i = 2000; i < 2327; ++i) EXPECT_EQ(addOne(i), 0);
  });
  bool secondWaits = testing::WaitUntil(
      [&] { return buffers_.WaitingToHandOver() > 0 || calls.load() > 1; });
  firstMayReturn = true;
  first.join();
  second.join();
  EXPECT_TRUE(secondWaits);
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(Sequences(sent_[0]).front(), 0u);
  EXPECT_EQ(Sequences(sent_[1]).front(), 2000u);
}

// Threads adding block records under their own identifiers keep changing
// the group; each record must still leave once, under its own header.
TEST_F(RecordBuffersTest, ConcurrentBlockGroupsNeverMixTheirRecords) {
  constexpr int kThreads = 4;
  constexpr int32_t kEach = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      std::string id = "T" + std::to_string(t);
      for (int32_t i = 0; i < kEach; ++i) {
        auto record = EncodePointRecord<2>(CallerPoint{t * kEach + i, 0, nullptr, 0, 0, nullptr});
        ASSERT_EQ(buffers_.AddBlockRecordById<2>(id.c_str(), record), 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(buffers_.Flush(2), 0);
  std::vector<bool> seen(kThreads * kEach, false);
  size_t total = 0;
  for (auto& frame : sent_) {
    std::string header(reinterpret_cast<const char*>(&frame.bytes[10]));
    for (uint32_t time : Sequences(frame)) {
      ASSERT_EQ(header, "T" + std::to_string(time / kEach));
      ASSERT_FALSE(seen[time]);
      seen[time] = true;
      ++total;
    }
  }
  EXPECT_EQ(total, seen.size());
}

// The transport may call back into the application, which may add to the
// same key and cut a frame there: that frame goes out at once instead of
// waiting for the turn it is called from.
// A header set by one thread while another flushes under it: every frame
// carries one whole identifier, never a mix of two (and the thread
// sanitizer sees no race on the header).
TEST_F(RecordBuffersTest, HeaderSettersAndFlushesDoNotRace) {
  constexpr int kRounds = 300;
  std::atomic<bool> done{false};
  std::thread setter([&] {
    while (!done.load()) {
      buffers_.SetPointId("AAAAAAAAA");
      buffers_.SetPointId("BBBBBBBBB");
    }
  });
  for (uint32_t i = 0; i < kRounds; ++i) {
    ASSERT_EQ(AddOne(2, i), 0);
    buffers_.Flush(2);
  }
  done = true;
  setter.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const SentFrame& frame : sent_) {
    DecodedFrame decoded;
    ASSERT_EQ(DecodeFrame(frame.bytes, &decoded), FrameError::kNone);
    std::string id(decoded.extension.begin(), decoded.extension.end());
    EXPECT_TRUE(id == "AAAAAAAAA" || id == "BBBBBBBBB") << id;
  }
}

TEST_F(RecordBuffersTest, AFrameCutDuringAHandOverDoesNotWaitForItself) {
  std::atomic<bool> nested{false};
  transport_ = [&](const uint8_t* frame, size_t length, bool isConfig) {
    if (!nested.exchange(true)) {
      for (uint32_t i = 1000; i < 1327; ++i) {
        auto record = Record(1, i);
        EXPECT_EQ(buffers_.Add(1, record.data(), 1), 0);
      }
    }
    return Sender()(frame, length, isConfig);
  };
  for (uint32_t i = 0; i < 326; ++i) ASSERT_EQ(AddOne(1, i), 0);
  std::atomic<bool> done{false};
  std::thread adder([&] {
    auto record = Record(1, 326);
    EXPECT_EQ(buffers_.Add(1, record.data(), 1), 0);
    done = true;
  });
  bool returned = testing::WaitUntil([&] { return done.load(); });
  EXPECT_TRUE(returned);
  if (!returned) {
    adder.detach();
    return;
  }
  adder.join();
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(Sequences(sent_[0]).front(), 1000u);  // the nested frame
  EXPECT_EQ(Sequences(sent_[1]).front(), 0u);
}

}  // namespace
}  // namespace histfeed::universal
