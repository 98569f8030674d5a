// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "histfeed.h"
#include "tests/support/classic_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

class FlushTest : public ClassicTest {
 protected:
  FlushTest() { std::memset(message_, 'X', sizeof(message_)); }
  std::string Message() const { return std::string(message_, strnlen(message_, sizeof(message_))); }
  char message_[128];
};

TEST_F(FlushTest, NamedServiceIsQueuedAndDelivered) {
  ASSERT_EQ(StartSender(), 1);
  BufferNumber b = AddRecords("Plant", kShortIdKind, 4);
  EXPECT_EQ(KelFlushShortIdRecords("PLANT", message_, sizeof(message_)), 0);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  EXPECT_EQ(fake_.DataExchanges().size(), 1u);
  EXPECT_EQ(message_[0], 'X');  // untouched on success
}

TEST_F(FlushTest, UnknownServiceGivesMinusFiveWithItsMessage) {
  ASSERT_EQ(StartSender(), 1);
  AddRecords("Plant", kShortIdKind, 1);
  EXPECT_EQ(KelFlushLongIdRecords("Plant", message_, sizeof(message_)), -5);
  EXPECT_EQ(Message(), "Failed to flush Plant - SERVICE NOT IN LIST");
  // The caller's buffer is zero-filled to its size, no further.
  EXPECT_EQ(message_[sizeof(message_) - 1], '\0');
}

TEST_F(FlushTest, MessageIsCutToTheCallersSize) {
  EXPECT_EQ(KelFlushShortIdRecords("Nowhere", message_, 10), -5);
  EXPECT_EQ(std::string(message_, 10), std::string("Failed to", 9) + '\0');
  EXPECT_EQ(message_[10], 'X');
  std::memset(message_, 'X', sizeof(message_));
  EXPECT_EQ(KelFlushShortIdRecords("Nowhere", message_, 0x10000 + 5), -5);  // low 16 bits: 5
  EXPECT_EQ(std::string(message_, 6), std::string("Fail", 4) + '\0' + 'X');
  std::memset(message_, 'X', sizeof(message_));
  EXPECT_EQ(KelFlushShortIdRecords("Nowhere", message_, 0x10000), -5);  // size 0: untouched
  EXPECT_EQ(message_[0], 'X');
  EXPECT_EQ(KelFlushShortIdRecords("Nowhere", nullptr, 10), -5);
}

TEST_F(FlushTest, BufferThatCannotBeQueuedGivesMinusFourAndStaysInUse) {
  BufferNumber b = AddRecords("Plant", kShortIdKind, 1);  // no sender, so no send queue
  EXPECT_EQ(KelFlushShortIdRecords("Plant", message_, sizeof(message_)), -4);
  EXPECT_EQ(Message(), "Failed to flush Plant - ERROR FLUSHING");
  EXPECT_EQ(StateOf(b), kInUse);
  EXPECT_EQ(KelFlushShortIdRecords(nullptr, message_, sizeof(message_)), -4);
  EXPECT_EQ(Message(), "Failed to flush (null) - ERROR FLUSHING");
  EXPECT_EQ(KelFlushShortIdRecords("", message_, sizeof(message_)), -4);
  EXPECT_EQ(Message(), "Failed to flush  - ERROR FLUSHING");
}

TEST_F(FlushTest, EmptyNameWithNothingInUseSucceedsQuietly) {
  EXPECT_EQ(KelFlushAllRecords("", message_, sizeof(message_)), 0);
  EXPECT_EQ(KelFlushAllRecords(nullptr, message_, sizeof(message_)), 0);
  EXPECT_EQ(message_[0], 'X');
}

TEST_F(FlushTest, EmptyNameQueuesEveryBufferOfTheKind) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber a = AddRecords("A", kShortIdKind, 1);
  BufferNumber b = AddRecords("B", kShortIdKind, 1);
  BufferNumber c = AddRecords("C", kLongIdKind, 1);
  EXPECT_EQ(KelFlushShortIdRecords("", nullptr, 0), 0);
  EXPECT_EQ(StateOf(a), kPendingFlush);
  EXPECT_EQ(StateOf(b), kPendingFlush);
  EXPECT_EQ(StateOf(c), kInUse);
  EXPECT_EQ(KelFlushLongIdRecords(nullptr, nullptr, 0), 0);
  EXPECT_EQ(StateOf(c), kPendingFlush);
}

TEST_F(FlushTest, FlushAllCombinesBothKinds) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  AddRecords("Both", kShortIdKind, 1);
  AddRecords("Both", kLongIdKind, 1);
  EXPECT_EQ(KelFlushAllRecords("Both", message_, sizeof(message_)), 0);
  EXPECT_EQ(message_[0], 'X');

  AddRecords("ShortOnly", kShortIdKind, 1);
  EXPECT_EQ(KelFlushAllRecords("ShortOnly", message_, sizeof(message_)), -5);
  EXPECT_EQ(Message(), "Failed to flush ShortOnly - SERVICE NOT IN LIST");

  fake_.ReleaseExchanges();
  StopSenderNow();  // no send queue from here on
  AddRecords("ShortOnly", kShortIdKind, 1);
  EXPECT_EQ(KelFlushAllRecords("ShortOnly", message_, sizeof(message_)), -1);  // -4 | -5
}

TEST_F(FlushTest, NamedFlushSkipsBuffersAlreadyOnTheirWay) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  BufferNumber first = AddRecords("Plant", kShortIdKind, 1);
  ASSERT_EQ(ServiceBuffers().Queue(first), 1);
  EXPECT_EQ(KelFlushShortIdRecords("Plant", message_, sizeof(message_)), -5);
  BufferNumber second = AddRecords("Plant", kShortIdKind, 1);
  ASSERT_NE(second, first);
  EXPECT_EQ(KelFlushShortIdRecords("plant", message_, sizeof(message_)), 0);
  EXPECT_EQ(StateOf(second), kPendingFlush);
}

}  // namespace
}  // namespace histfeed::testing
