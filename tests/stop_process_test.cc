// SPDX-License-Identifier: Apache-2.0
// Stopping the classic family: StopProcess, a restart after it, and the
// stronger stop of the unloading hook.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "classic/delivery_abandon.h"
#include "classic/sender.h"
#include "classic/service_buffer.h"
#include "classic/stop_process.h"
#include "histfeed.h"
#include "queue/record_queue.h"
#include "tests/support/classic_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

class StopProcessTest : public ClassicTest {
 protected:
  // The stop's 5-second wait must outlast a sender that delivers a few
  // buffers, even under a sanitizer: it lasts 0.5 s here.
  ScopedTimeScale stopInTime_{10};
};

std::vector<std::string> DeliveredServices(const FakeClientLibrary& fake) {
  std::vector<std::string> services;
  for (const auto& call : fake.DataExchanges()) services.push_back(call.service);
  return services;
}

TEST_F(StopProcessTest, WithoutAnEarlierAddReturnsAtOnceAndTouchesNothing) {
  EXPECT_EQ(StopProcess(), 0);
  EXPECT_EQ(StopProcess(), 0);
  EXPECT_TRUE(fake_.Calls().empty());
  EXPECT_EQ(Classic().running.load(), 0);
  EXPECT_EQ(Classic().senderQueue.load(), nullptr);
}

TEST_F(StopProcessTest, DeliversEveryPartlyFilledBufferBeforeReturning) {
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 3);
  BufferNumber along = AddRecords("a", kLongIdKind, 2);
  BufferNumber b = AddRecords("B", kShortIdKind, 1);

  EXPECT_EQ(StopProcess(), 0);

  std::vector<std::string> services = DeliveredServices(fake_);
  EXPECT_EQ(services, (std::vector<std::string>{"A", "B", "a"}));  // short kind first
  for (BufferNumber buffer : {a, along, b}) {
    EXPECT_EQ(StateOf(buffer), kFree) << buffer.value();
    EXPECT_EQ(CountOf(buffer), 0) << buffer.value();
  }
  EXPECT_EQ(Classic().running.load(), 0);
  EXPECT_EQ(Classic().sendQueue.load(), nullptr);
  EXPECT_EQ(Classic().senderQueue.load(), nullptr);
  // Stopped: a record collected now waits for the next run.
  BufferNumber late = AddRecords("A", kShortIdKind, 1);
  EXPECT_EQ(ServiceBuffers().Queue(late), 0);
  EXPECT_EQ(StateOf(late), kInUse);
}

TEST_F(StopProcessTest, NextAddStartsANewSenderThatDeliversWhatWasLeft) {
  ASSERT_EQ(StartSender(), 1);
  ASSERT_EQ(StopProcess(), 0);
  BufferNumber a = AddRecords("A", kShortIdKind, 2);  // collected while stopped

  ASSERT_EQ(StartSender(), 1);  // what the next add call does
  EXPECT_NE(Classic().senderQueue.load(), nullptr);
  EXPECT_EQ(Classic().sendQueue.load(), Classic().senderQueue.load());
  EXPECT_EQ(KelFlushShortIdRecords("A", nullptr, 0), 0);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(a) == kFree; }));
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_STARTUP), 1u);  // the client library stays started

  EXPECT_EQ(StopProcess(), 0);
  EXPECT_EQ(Classic().running.load(), 0);
}

TEST_F(StopProcessTest, BufferThatCannotBeQueuedIsReportedAndStillDelivered) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  ASSERT_TRUE(WaitUntil([&] { return fake_.DataExchanges().size() == 1; }));
  // Fill the send queue behind A with numbers that name no buffer.
  RecordQueue* queue = Classic().sendQueue.load();
  const uint8_t noBuffer[2] = {0xFF, 0xFF};
  int pushed = 0;
  while (queue->Push(noBuffer, sizeof(noBuffer)) == kQueueOk) ++pushed;
  ASSERT_GT(pushed, 0);
  BufferNumber b = AddRecords("B", kShortIdKind, 4);

  // The flush cannot queue B, and the held sender outlasts the wait.
  EXPECT_EQ(StopProcess(), -4);
  EXPECT_EQ(StateOf(b), kInUse);
  EXPECT_EQ(Classic().running.load(), 0);
  EXPECT_NE(Classic().senderQueue.load(), nullptr);  // kept for the sender still using it
  EXPECT_EQ(StartSender(), 0);                       // no second sender beside it

  fake_.ReleaseExchanges();
  ASSERT_TRUE(WaitUntil([&] { return StateOf(a) == kFree && StateOf(b) == kFree; }));
  EXPECT_EQ(DeliveredServices(fake_), (std::vector<std::string>{"A", "B"}));
  ASSERT_TRUE(WaitUntil([] { return StartSender() == 1; }));
  BufferNumber c = AddRecords("C", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(c), 1);  // a fresh queue with room
  ASSERT_TRUE(WaitUntil([&] { return StateOf(c) == kFree; }));
}

TEST_F(StopProcessTest, UnloadingGivesUpOnAServiceThatIsDown) {
  fake_.SetExchangeDefault(Refuse());
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber a = AddRecords("A", kShortIdKind, 2);
  BufferNumber b = AddRecords("B", kShortIdKind, 1);
  BufferNumber c = AddRecords("C", kLongIdKind, 3);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  ASSERT_TRUE(WaitUntil([&] { return fake_.DataExchanges().size() == 1; }));

  std::thread unloading(StopForUnloading);
  // Only once the stop's own wait is over does the hook give up.
  ASSERT_TRUE(WaitUntil(DeliveriesAbandoned));
  fake_.ReleaseExchanges();
  unloading.join();

  // The refused exchange under way was the last attempt of all: without
  // giving up, each of the three buffers would take 100 attempts.
  EXPECT_EQ(fake_.DataExchanges().size(), 1u);
  EXPECT_FALSE(DeliveriesAbandoned());
  EXPECT_EQ(Classic().running.load(), 0);
  EXPECT_EQ(Classic().senderQueue.load(), nullptr);
  // Nothing is emptied or stranded as PENDING FLUSH.
  EXPECT_EQ(StateOf(a), kInUse);
  EXPECT_EQ(CountOf(a), 2);
  EXPECT_EQ(StateOf(b), kInUse);
  EXPECT_EQ(StateOf(c), kInUse);
  EXPECT_EQ(CountOf(c), 3);

  // Should the library stay loaded after all, the next run delivers them.
  fake_.SetExchangeDefault(Accept());
  ASSERT_EQ(StartSender(), 1);
  EXPECT_EQ(KelFlushAllRecords(nullptr, nullptr, 0), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return StateOf(a) == kFree && StateOf(b) == kFree && StateOf(c) == kFree;
  }));
}

TEST_F(StopProcessTest, UnloadingFreesAQueueLeftByATimedOutStop) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  ASSERT_EQ(StopProcess(), 0);  // the held sender outlasts the wait
  ASSERT_NE(Classic().senderQueue.load(), nullptr);

  std::thread unloading(StopForUnloading);
  ASSERT_TRUE(WaitUntil(DeliveriesAbandoned));
  fake_.ReleaseExchanges();
  unloading.join();
  EXPECT_EQ(Classic().senderQueue.load(), nullptr);
  EXPECT_EQ(StateOf(a), kFree);  // the exchange under way still succeeded
}

}  // namespace
}  // namespace histfeed::testing
