// SPDX-License-Identifier: Apache-2.0
// The in-memory ring of a RecordQueue: capacity, record sizes, order and
// the consumer's wait.
#include "queue/record_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "queue/record_queue_internal.h"
#include "tests/support/scaled_clock.h"

namespace histfeed {
namespace {

class RecordQueueTest : public ::testing::Test {
 protected:
  void Create(uint16_t slots, uint16_t size) {
    ASSERT_EQ(RecordQueue::Create(slots, size, &queue_), 0);
  }

  int32_t PushNumber(uint32_t value) { return queue_->Push(&value, sizeof value); }
  // The number popped, or nothing when the pop failed.
  std::optional<uint32_t> Pop() {
    uint32_t value = 0;
    uint16_t length = 0;
    if (queue_->Pop(&value, sizeof value, &length) != 0) return std::nullopt;
    return value;
  }

  std::unique_ptr<RecordQueue> queue_;
};

TEST(RecordQueueCreateTest, RefusesZeroSlotsAndReferenceMode) {
  std::unique_ptr<RecordQueue> queue;
  EXPECT_EQ(RecordQueue::Create(0, 8, &queue), kQueueBadSlotCount);
  EXPECT_EQ(RecordQueue::Create(8, 0, &queue), kQueueBadSlotCount);
  EXPECT_EQ(RecordQueue::Create(1, 8, &queue), kQueueBadSlotCount);
  EXPECT_EQ(queue, nullptr);
}

TEST_F(RecordQueueTest, TakesNRecordsOnItsFirstPassAndNMinusOneAfter) {
  Create(4, 8);
  EXPECT_EQ(queue_->Count(), 0);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(PushNumber(i), 0) << i;
  EXPECT_EQ(queue_->Count(), 4);
  EXPECT_EQ(PushNumber(99), kQueueFull);

  ASSERT_EQ(Pop(), 0u);
  EXPECT_EQ(PushNumber(99), kQueueFull);  // n - 1 from now on
  ASSERT_TRUE(Pop());
  EXPECT_EQ(PushNumber(4), 0);
  EXPECT_EQ(queue_->Count(), 3);

  for (uint32_t expected = 2; expected <= 4; ++expected) ASSERT_EQ(Pop(), expected);
  EXPECT_EQ(queue_->Count(), 0);
}

TEST_F(RecordQueueTest, CountFollowsTheRingAcrossWrapAround) {
  Create(5, 4);
  for (int round = 0; round < 12; ++round) {
    ASSERT_EQ(PushNumber(round), 0);
    ASSERT_EQ(PushNumber(round), 0);
    EXPECT_EQ(queue_->Count(), 2);
    ASSERT_TRUE(Pop());
    ASSERT_TRUE(Pop());
    EXPECT_EQ(queue_->Count(), 0);
  }
}

TEST_F(RecordQueueTest, RecordsUpToTheSlotSizeFit) {
  Create(3, 16);
  uint8_t bytes[17];
  std::memset(bytes, 0xAB, sizeof bytes);
  EXPECT_EQ(queue_->Push(bytes, 16), 0);
  EXPECT_EQ(queue_->Push(bytes, 17), kQueueRecordTooLong);
  EXPECT_EQ(queue_->Push(bytes, 0), 0);
  uint8_t out[16];
  uint16_t length = 99;
  ASSERT_EQ(queue_->Pop(out, sizeof out, &length), 0);
  EXPECT_EQ(length, 16);
  EXPECT_EQ(std::memcmp(out, bytes, 16), 0);
  ASSERT_EQ(queue_->Pop(out, sizeof out, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST_F(RecordQueueTest, EmptyQueueLeavesTheLengthAlone) {
  Create(3, 16);
  uint8_t out[16];
  uint16_t length = 1234;
  EXPECT_EQ(queue_->Pop(out, sizeof out, &length), kQueueEmpty);
  EXPECT_EQ(queue_->Peek(out, sizeof out, &length), kQueueEmpty);
  EXPECT_EQ(length, 1234);
}

TEST_F(RecordQueueTest, PeekKeepsAndPopTakes) {
  Create(3, 32);
  uint8_t twenty[20] = {1};
  ASSERT_EQ(PushNumber(7), 0);
  ASSERT_EQ(queue_->Push(twenty, sizeof twenty), 0);
  ASSERT_EQ(PushNumber(8), 0);

  uint32_t value = 0;
  uint16_t length = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(queue_->Peek(&value, sizeof value, &length), 0);
    EXPECT_EQ(value, 7u);
  }
  ASSERT_EQ(Pop(), 7u);

  // Too small a capacity: a peek keeps the record, a pop drops it.
  uint8_t ten[10];
  EXPECT_EQ(queue_->Peek(ten, sizeof ten, &length), kQueueRecordTooLong);
  EXPECT_EQ(queue_->Pop(ten, sizeof ten, &length), kQueueRecordTooLong);
  ASSERT_EQ(Pop(), 8u);
}

TEST_F(RecordQueueTest, PeekManySeesTheOldestInOrderAndTakesNothing) {
  Create(4, 4);
  uint16_t lengths[4] = {};
  uint16_t seen = 99;
  uint8_t out[4][2] = {};
  EXPECT_EQ(queue_->PeekMany(out, 2, lengths, 4, &seen), kQueueEmpty);
  EXPECT_EQ(seen, 0);

  // Across the end of the ring: two taken, four more pushed.
  ASSERT_EQ(queue_->Push("ab", 2), 0);
  ASSERT_EQ(queue_->Push("cd", 2), 0);
  ASSERT_TRUE(Pop());
  ASSERT_TRUE(Pop());
  ASSERT_EQ(queue_->Push("ef", 2), 0);
  ASSERT_EQ(queue_->Push("g", 1), 0);
  ASSERT_EQ(queue_->Push("hijk", 4), 0);  // longer than the places below

  ASSERT_EQ(queue_->PeekMany(out, 2, lengths, 4, &seen), kQueueOk);
  ASSERT_EQ(seen, 3);
  EXPECT_EQ(std::memcmp(out[0], "ef", 2), 0);
  EXPECT_EQ(lengths[0], 2);
  EXPECT_EQ(out[1][0], 'g');
  EXPECT_EQ(lengths[1], 1);
  EXPECT_EQ(lengths[2], 4);
  EXPECT_EQ(queue_->Count(), 3);

  ASSERT_EQ(queue_->PeekMany(out, 2, lengths, 1, &seen), kQueueOk);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(queue_->PeekMany(out, 2, lengths, 0, &seen), kQueueOk);
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(queue_->Count(), 3);
}

TEST_F(RecordQueueTest, WaitReturnsAtOnceWithARecordAndWakesOnPush) {
  testing::ScopedTimeScale fast(100);
  Create(4, 4);
  ASSERT_EQ(PushNumber(1), 0);
  EXPECT_TRUE(queue_->WaitForRecord());
  ASSERT_TRUE(Pop());

  std::atomic<bool> woke{false};
  std::thread consumer([&] {
    EXPECT_TRUE(queue_->WaitForRecord());
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(woke.load());
  ASSERT_EQ(PushNumber(2), 0);
  consumer.join();
  EXPECT_TRUE(woke.load());
}

TEST_F(RecordQueueTest, CloseEndsTheWaitOnceTheQueueIsDrained) {
  Create(4, 4);
  std::thread consumer([&] { EXPECT_FALSE(queue_->WaitForRecord()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  queue_->Close();
  consumer.join();

  // A closed queue still hands out what it holds before saying no.
  ASSERT_EQ(PushNumber(5), 0);
  EXPECT_TRUE(queue_->WaitForRecord());
  ASSERT_TRUE(Pop());
  EXPECT_FALSE(queue_->WaitForRecord());
}

TEST(RecordQueueDestroyTest, DestroyWakesAWaitingConsumerBeforeFreeing) {
  std::unique_ptr<RecordQueue> queue;
  ASSERT_EQ(RecordQueue::Create(4, 4, &queue), 0);
  std::atomic<bool> returned{false};
  std::thread consumer([&] {
    queue->WaitForRecord();
    returned = true;
  });
  // Destroy only once the consumer is inside its wait.
  ASSERT_TRUE(testing::WaitUntil([&] { return queue->CallsUnderWay() > 0; }));
  queue.reset();  // must not free the queue under the waiting thread
  consumer.join();
  EXPECT_TRUE(returned.load());
}

TEST_F(RecordQueueTest, ProducersKeepTheirOwnOrderThroughOneConsumer) {
  Create(50, 8);
  constexpr uint32_t kProducers = 4;
  constexpr uint32_t kPerProducer = 5000;
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (uint32_t i = 0; i < kPerProducer;) {
        uint32_t record[2] = {p, i};
        if (queue_->Push(record, sizeof record) == 0) {
          ++i;
        } else {
          std::this_thread::yield();  // full: let the consumer catch up
        }
      }
    });
  }
  std::vector<uint32_t> next(kProducers, 0);
  uint32_t received = 0;
  while (received < kProducers * kPerProducer) {
    ASSERT_TRUE(queue_->WaitForRecord());
    uint32_t record[2];
    uint16_t length;
    while (queue_->Pop(record, sizeof record, &length) == 0) {
      ASSERT_LT(record[0], kProducers);
      ASSERT_EQ(record[1], next[record[0]]) << "producer " << record[0];
      ++next[record[0]];
      ++received;
    }
  }
  for (auto& producer : producers) producer.join();
}

}  // namespace
}  // namespace histfeed
