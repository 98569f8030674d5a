// SPDX-License-Identifier: Apache-2.0
#include "classic/sender.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "classic/service_buffer_table.h"
#include "classic/service_load.h"
#include "platform/clock.h"
#include "queue/record_queue.h"
#include "tests/support/classic_fixture.h"
#include "tests/support/failing_platform.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;
using Call = FakeClientLibrary::Call;

class SenderTest : public ClassicTest {
 protected:
  void WaitFree(BufferNumber b) {
    ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; })) << "buffer " << b.value();
  }
};

uint16_t U16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

TEST_F(SenderTest, DeliversInQueueOrderWithTheExactRequest) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber s1 = AddRecords("S1", kShortIdKind, 3);
  BufferNumber l1 = AddRecords("L1", kLongIdKind, 2);
  BufferNumber s2 = AddRecords("S2", kShortIdKind, 1);
  std::vector<std::vector<uint8_t>> images = {RequestImage(s1), RequestImage(l1), RequestImage(s2)};
  ASSERT_EQ(ServiceBuffers().Queue(s1), 1);
  ASSERT_EQ(ServiceBuffers().Queue(l1), 1);
  ASSERT_EQ(ServiceBuffers().Queue(s2), 1);
  fake_.ReleaseExchanges();
  WaitFree(s2);
  EXPECT_EQ(ServiceBuffers().SendQueueDepth(), 0);  // a number leaves the queue before its buffer is FREE
  EXPECT_EQ(StateOf(s1), kFree);
  EXPECT_EQ(CountOf(s1), 0);
  EXPECT_EQ(CountOf(l1), 0);

  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 3u);
  const char* services[] = {"S1", "L1", "S2"};
  const int32_t ordinals[] = {2004, 2005, 2004};
  const uint16_t codes[] = {8101, 8102, 8101};
  const uint16_t counts[] = {3, 2, 1};
  const size_t recordSizes[] = {40, 88, 40};
  for (size_t i = 0; i < 3; ++i) {
    const Call& call = sent[i];
    EXPECT_EQ(call.service, services[i]);
    EXPECT_EQ(call.ordinal, ordinals[i]);
    ASSERT_EQ(call.request.size(), i == 1 ? 4032u : 4072u);
    EXPECT_EQ(U16(call.request, 0), codes[i]);
    EXPECT_EQ(U16(call.request, 2), counts[i]);
    EXPECT_EQ(std::vector<uint8_t>(call.request.begin() + 4, call.request.begin() + 8),
              std::vector<uint8_t>(4, 0));
    EXPECT_EQ(std::vector<uint8_t>(call.request.begin() + 8, call.request.begin() + 72),
              std::vector<uint8_t>(64, 0x5A));  // the fake's stamp
    EXPECT_EQ(call.stampAddress, static_cast<const uint8_t*>(call.requestAddress) + 8);
    size_t recordBytes = counts[i] * recordSizes[i];
    EXPECT_EQ(std::memcmp(call.request.data() + 72, images[i].data() + 72, recordBytes), 0);
    EXPECT_EQ(call.replyOnEntry, std::vector<uint8_t>(256, 0));
  }
  for (const Call& stamp : fake_.CallsOf(TARVO_ORDINAL_STAMP)) EXPECT_EQ(stamp.size, 64);

  // Each delivery: connect, stamp, exchange, and no disconnect.
  std::vector<int32_t> sequence;
  for (const Call& call : fake_.Calls()) sequence.push_back(call.ordinal);
  EXPECT_EQ(sequence, (std::vector<int32_t>{1406, 1410, 1404, 2004, 1410, 1404, 2005, 1410, 1404,
                                            2004}));
  EXPECT_EQ(fake_.CallsOf(TARVO_ORDINAL_CONNECT)[1].service, "L1");
}

TEST_F(SenderTest, RefusedHeadBufferIsRetriedAndStillGoesFirst) {
  std::vector<FakeAnswer> answers(150, Refuse());
  fake_.ScriptExchanges(answers);
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  BufferNumber b = AddRecords("B", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  WaitFree(b);

  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 152u);
  for (size_t i = 0; i < 151; ++i) ASSERT_EQ(sent[i].service, "A") << "exchange " << i;
  EXPECT_EQ(sent[151].service, "B");
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_DISCONNECT), 150u);  // one per refusal
  EXPECT_EQ(Classic().busy.load(), 0);
}

TEST_F(SenderTest, RefusedConnectionSkipsTheExchange) {
  fake_.ScriptConnect({-7, -7, -7});
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_CONNECT), 4u);
  EXPECT_EQ(fake_.DataExchanges().size(), 1u);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_DISCONNECT), 0u);
}

TEST_F(SenderTest, BusyServiceIsAskedAgainWithTheSameRequest) {
  fake_.ScriptExchanges({Busy(), Accept()});
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 2);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);

  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].requestAddress, sent[0].requestAddress);
  EXPECT_EQ(sent[1].request, sent[0].request);
  EXPECT_EQ(sent[1].replyAddress, sent[0].replyAddress);
  // The reply block is not zeroed between the two: it still says busy.
  EXPECT_EQ(sent[1].replyOnEntry[4], 0x10);
  EXPECT_EQ(sent[1].replyOnEntry[5], 0x01);
  EXPECT_FALSE(sent[0].busyFlagOnEntry);
  EXPECT_TRUE(sent[1].busyFlagOnEntry);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_STAMP), 1u);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_CONNECT), 1u);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_DISCONNECT), 0u);
  EXPECT_EQ(Classic().busy.load(), 0);
}

TEST_F(SenderTest, BusyTwiceKeepsTheConnectionAndTheFlag) {
  fake_.ScriptExchanges({Busy(), Busy(), Accept()});
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(sent[2].busyFlagOnEntry);  // next attempt, flag still set
  EXPECT_EQ(sent[2].replyOnEntry, std::vector<uint8_t>(256, 0));  // a new attempt zeroes it
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_DISCONNECT), 0u);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_STAMP), 2u);
  EXPECT_EQ(Classic().busy.load(), 0);
}

TEST_F(SenderTest, BusyThenRefusedDropsTheConnectionAndClearsTheFlag) {
  fake_.ScriptExchanges({Busy(), Refuse(0x21), Accept()});
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_FALSE(sent[2].busyFlagOnEntry);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_DISCONNECT), 1u);
}

TEST_F(SenderTest, LoadReportOfASuccessfulReplyIsFiled) {
  fake_.ScriptExchanges({Accept("120,400"), Accept("garbage"), Accept("7/70")});
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("Alpha", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  LoadReport report{};
  ASSERT_TRUE(LookUpServiceLoad("ALPHA", &report));
  EXPECT_EQ(report.count, 120u);
  EXPECT_EQ(report.capacity, 400u);

  a = AddRecords("Alpha", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  ASSERT_TRUE(LookUpServiceLoad("alpha", &report));
  EXPECT_EQ(report.count, 120u);  // a malformed report changes nothing

  a = AddRecords("alpha", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  ASSERT_TRUE(LookUpServiceLoad("Alpha", &report));
  EXPECT_EQ(report.count, 7u);
  EXPECT_EQ(report.capacity, 70u);
  EXPECT_FALSE(LookUpServiceLoad("Beta", &report));
}

TEST_F(SenderTest, ClientLibraryStartsOnceAndIsTriedAgainAfterARefusal) {
  fake_.ScriptStartup({-9});
  EXPECT_EQ(StartClientLibrary(), -1);
  EXPECT_EQ(Classic().libraryStarted.load(), 0);
  int64_t before = platform::MonotonicMs();
  EXPECT_EQ(StartClientLibrary(), 0);
  EXPECT_GE(platform::MonotonicMs() - before, 500);  // the pause after a start
  EXPECT_EQ(StartClientLibrary(), 0);
  std::vector<Call> starts = fake_.CallsOf(TARVO_ORDINAL_STARTUP);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[1].size, 0);  // the reserved argument
}

TEST_F(SenderTest, FailedStartRunsNoSenderAndQueuesNothing) {
  fake_.ScriptStartup({-9, -9});
  EXPECT_EQ(StartSender(), 0);
  EXPECT_EQ(Classic().running.load(), 0);
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  EXPECT_EQ(ServiceBuffers().Queue(a), 0);
  EXPECT_EQ(StateOf(a), kInUse);
  EXPECT_EQ(StartSender(), 0);
  EXPECT_EQ(StartSender(), 1);
  EXPECT_EQ(StartSender(), 1);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_STARTUP), 3u);  // not again once started
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
}

TEST_F(SenderTest, ThreadThatCannotStartLeavesTheQueueForTheNextStart) {
  testing::FailNextThreadStarts(1);
  EXPECT_EQ(StartSender(), 0);
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);  // the queue exists and keeps it
  EXPECT_EQ(StartSender(), 1);
  WaitFree(a);
}

TEST_F(SenderTest, StopEndsTheWaitDrainsTheQueueAndDeliversBuffersInUse) {
  ASSERT_EQ(StartSender(), 1);
  StopSenderNow();  // an idle sender waiting for a record ends too
  EXPECT_EQ(Classic().running.load(), 0);
  ASSERT_EQ(StartSender(), 1);

  fake_.HoldExchanges();
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  BufferNumber b = AddRecords("B", kShortIdKind, 1);
  BufferNumber c = AddRecords("C", kLongIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  ASSERT_TRUE(WaitUntil([&] { return fake_.DataExchanges().size() == 1; }));
  std::thread stopper(StopSenderNow);
  // Once the sender stops taking records, nothing more can be queued.
  ASSERT_TRUE(WaitUntil([&] { return Classic().sendQueue.load() == nullptr; }));
  EXPECT_EQ(ServiceBuffers().Queue(c), 0);
  fake_.ReleaseExchanges();
  stopper.join();

  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].service, "A");
  EXPECT_EQ(sent[1].service, "B");
  EXPECT_EQ(sent[2].service, "C");
  EXPECT_EQ(StateOf(a), kFree);
  EXPECT_EQ(StateOf(b), kFree);
  EXPECT_EQ(StateOf(c), kFree);
  EXPECT_EQ(Classic().senderQueue.load(), nullptr);
}

TEST_F(SenderTest, BufferThatFailsWhileStoppingStaysInUse) {
  fake_.SetExchangeDefault(Refuse());
  ASSERT_EQ(StartSender(), 1);
  BufferNumber a = AddRecords("A", kShortIdKind, 2);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  ASSERT_TRUE(WaitUntil([&] { return !fake_.DataExchanges().empty(); }));
  StopSenderNow();
  // Not stranded as PENDING FLUSH and not emptied: the next run sends it.
  EXPECT_EQ(StateOf(a), kInUse);
  EXPECT_EQ(CountOf(a), 2);
  fake_.SetExchangeDefault(Accept());
  ASSERT_EQ(StartSender(), 1);
  EXPECT_EQ(AddRecords("A", kShortIdKind, 1), a);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  WaitFree(a);
  EXPECT_EQ(U16(fake_.DataExchanges().back().request, 2), 3);
}

TEST_F(SenderTest, RecordsThatAreNoBufferNumberAreDroppedInPassing) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  BufferNumber b = AddRecords("B", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(a), 1);
  RecordQueue* queue = Classic().sendQueue.load();
  const uint8_t outOfRange[2] = {0xF4, 0x01};  // 500
  ASSERT_EQ(queue->Push(outOfRange, 2), kQueueOk);
  ASSERT_EQ(queue->Push(outOfRange, 1), kQueueOk);
  ASSERT_EQ(queue->Push(nullptr, 0), kQueueOk);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  fake_.ReleaseExchanges();
  WaitFree(b);
  EXPECT_EQ(StateOf(a), kFree);
  EXPECT_EQ(ServiceBuffers().SendQueueDepth(), 0);
  std::vector<Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].service, "A");
  EXPECT_EQ(sent[1].service, "B");
}

TEST_F(SenderTest, DeliveryRefusesBadBufferNumbers) {
  EXPECT_EQ(DeliverServiceBuffer(BufferNumber(-1)), 0);
  EXPECT_EQ(DeliverServiceBuffer(BufferNumber(500)), 0);
  EXPECT_TRUE(fake_.Calls().empty());
}

}  // namespace
}  // namespace histfeed::testing
