// SPDX-License-Identifier: Apache-2.0
// The in-memory ring of a RecordQueue: capacity, record sizes, order and
// the consumer's wait.
#include "queue/record_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "queue/record_queue_internal.h"
#include "tests/support/scaled_clock.h"

namespace histfeed {
namespace {

class RecordQueueTest : public ::testing::Test {
 protected:
  void Create(uint16_t slots, uint16_t size) { ASSERT_EQ(QueueCreate(&queue_, slots, size), 0); }
  void TearDown() override { QueueDestroy(queue_); }

  int32_t PushNumber(uint32_t value) { return QueuePush(queue_, &value, sizeof value); }
  // The number popped, or nothing when the pop failed.
  std::optional<uint32_t> Pop() {
    uint32_t value = 0;
    uint16_t length = 0;
    if (QueuePop(queue_, &value, sizeof value, &length) != 0) return std::nullopt;
    return value;
  }

  RecordQueue* queue_ = nullptr;
};

TEST(RecordQueueCreateTest, RefusesZeroSlotsAndReferenceMode) {
  RecordQueue* queue = reinterpret_cast<RecordQueue*>(0x1);
  EXPECT_EQ(QueueCreate(&queue, 0, 8), kQueueBadSlotCount);
  EXPECT_EQ(QueueCreate(&queue, 8, 0), kQueueBadSlotCount);
  EXPECT_EQ(QueueCreate(&queue, 1, 8), kQueueBadSlotCount);
}

TEST_F(RecordQueueTest, TakesNRecordsOnItsFirstPassAndNMinusOneAfter) {
  Create(4, 8);
  EXPECT_EQ(QueueCount(queue_), 0);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(PushNumber(i), 0) << i;
  EXPECT_EQ(QueueCount(queue_), 4);
  EXPECT_EQ(PushNumber(99), kQueueFull);

  ASSERT_EQ(Pop(), 0u);
  EXPECT_EQ(PushNumber(99), kQueueFull);  // n - 1 from now on
  ASSERT_TRUE(Pop());
  EXPECT_EQ(PushNumber(4), 0);
  EXPECT_EQ(QueueCount(queue_), 3);

  for (uint32_t expected = 2; expected <= 4; ++expected) ASSERT_EQ(Pop(), expected);
  EXPECT_EQ(QueueCount(queue_), 0);
}

TEST_F(RecordQueueTest, CountFollowsTheRingAcrossWrapAround) {
  Create(5, 4);
  for (int round = 0; round < 12; ++round) {
    ASSERT_EQ(PushNumber(round), 0);
    ASSERT_EQ(PushNumber(round), 0);
    EXPECT_EQ(QueueCount(queue_), 2);
    ASSERT_TRUE(Pop());
    ASSERT_TRUE(Pop());
    EXPECT_EQ(QueueCount(queue_), 0);
  }
}

TEST_F(RecordQueueTest, RecordsUpToTheSlotSizeFit) {
  Create(3, 16);
  uint8_t bytes[17];
  std::memset(bytes, 0xAB, sizeof bytes);
  EXPECT_EQ(QueuePush(queue_, bytes, 16), 0);
  EXPECT_EQ(QueuePush(queue_, bytes, 17), kQueueRecordTooLong);
  EXPECT_EQ(QueuePush(queue_, bytes, 0), 0);
  uint8_t out[16];
  uint16_t length = 99;
  ASSERT_EQ(QueuePop(queue_, out, sizeof out, &length), 0);
  EXPECT_EQ(length, 16);
  EXPECT_EQ(std::memcmp(out, bytes, 16), 0);
  ASSERT_EQ(QueuePop(queue_, out, sizeof out, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST_F(RecordQueueTest, EmptyQueueLeavesTheLengthAlone) {
  Create(3, 16);
  uint8_t out[16];
  uint16_t length = 1234;
  EXPECT_EQ(QueuePop(queue_, out, sizeof out, &length), kQueueEmpty);
  EXPECT_EQ(QueuePeek(queue_, out, sizeof out, &length), kQueueEmpty);
  EXPECT_EQ(length, 1234);
}

TEST_F(RecordQueueTest, PeekKeepsAndPopTakes) {
  Create(3, 32);
  uint8_t twenty[20] = {1};
  ASSERT_EQ(PushNumber(7), 0);
  ASSERT_EQ(QueuePush(queue_, twenty, sizeof twenty), 0);
  ASSERT_EQ(PushNumber(8), 0);

  uint32_t value = 0;
  uint16_t length = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(QueuePeek(queue_, &value, sizeof value, &length), 0);
    EXPECT_EQ(value, 7u);
  }
  ASSERT_EQ(Pop(), 7u);

  // Too small a capacity: a peek keeps the record, a pop drops it.
  uint8_t ten[10];
  EXPECT_EQ(QueuePeek(queue_, ten, sizeof ten, &length), kQueueRecordTooLong);
  EXPECT_EQ(QueuePop(queue_, ten, sizeof ten, &length), kQueueRecordTooLong);
  ASSERT_EQ(Pop(), 8u);
}

TEST_F(RecordQueueTest, PeekManySeesTheOldestInOrderAndTakesNothing) {
  Create(4, 4);
  uint16_t lengths[4] = {};
  uint16_t seen = 99;
  uint8_t out[4][2] = {};
  EXPECT_EQ(QueuePeekMany(queue_, out, 2, lengths, 4, &seen), kQueueEmpty);
  EXPECT_EQ(seen, 0);

  // Across the end of the ring: two taken, four more pushed.
  ASSERT_EQ(QueuePush(queue_, "ab", 2), 0);
  ASSERT_EQ(QueuePush(queue_, "cd", 2), 0);
  ASSERT_TRUE(Pop());
  ASSERT_TRUE(Pop());
  ASSERT_EQ(QueuePush(queue_, "ef", 2), 0);
  ASSERT_EQ(QueuePush(queue_, "g", 1), 0);
  ASSERT_EQ(QueuePush(queue_, "hijk", 4), 0);  // longer than the places below

  ASSERT_EQ(QueuePeekMany(queue_, out, 2, lengths, 4, &seen), kQueueOk);
  ASSERT_EQ(seen, 3);
  EXPECT_EQ(std::memcmp(out[0], "ef", 2), 0);
  EXPECT_EQ(lengths[0], 2);
  EXPECT_EQ(out[1][0], 'g');
  EXPECT_EQ(lengths[1], 1);
  EXPECT_EQ(lengths[2], 4);
  EXPECT_EQ(QueueCount(queue_), 3);

  ASSERT_EQ(QueuePeekMany(queue_, out, 2, lengths, 1, &seen), kQueueOk);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(QueuePeekMany(queue_, out, 2, lengths, 0, &seen), kQueueOk);
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(QueueCount(queue_), 3);
}

TEST_F(RecordQueueTest, WaitReturnsAtOnceWithARecordAndWakesOnPush) {
  testing::ScopedTimeScale fast(100);
  Create(4, 4);
  ASSERT_EQ(PushNumber(1), 0);
  EXPECT_TRUE(QueueWaitForRecord(queue_));
  ASSERT_TRUE(Pop());

  std::atomic<bool> woke{false};
  std::thread consumer([&] {
    EXPECT_TRUE(QueueWaitForRecord(queue_));
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
  std::thread consumer([&] { EXPECT_FALSE(QueueWaitForRecord(queue_)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  QueueClose(queue_);
  consumer.join();

  // A closed queue still hands out what it holds before saying no.
  ASSERT_EQ(PushNumber(5), 0);
  EXPECT_TRUE(QueueWaitForRecord(queue_));
  ASSERT_TRUE(Pop());
  EXPECT_FALSE(QueueWaitForRecord(queue_));
}

TEST(RecordQueueDestroyTest, DestroyWakesAWaitingConsumerBeforeFreeing) {
  RecordQueue* queue = nullptr;
  ASSERT_EQ(QueueCreate(&queue, 4, 4), 0);
  std::atomic<bool> returned{false};
  std::thread consumer([&] {
    QueueWaitForRecord(queue);
    returned = true;
  });
  // Destroy only once the consumer is inside its wait.
  ASSERT_TRUE(testing::WaitUntil([&] { return queue->callsInside.load() > 0; }));
  QueueDestroy(queue);  // must not free the queue under the waiting thread
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
        if (QueuePush(queue_, record, sizeof record) == 0) {
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
    ASSERT_TRUE(QueueWaitForRecord(queue_));
    uint32_t record[2];
    uint16_t length;
    while (QueuePop(queue_, record, sizeof record, &length) == 0) {
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
