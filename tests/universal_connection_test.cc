// SPDX-License-Identifier: Apache-2.0
// The connection table: taking and giving back slots, the options and
// counters a slot keeps, the status item table and the message flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/message_capture.h"
#include "tests/support/universal_fixture.h"
#include "universal/diagnostics.h"
#include "universal/status_items.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::universal;

using ConnectionTableTest = UniversalTest;

TEST_F(ConnectionTableTest, InitializationTakesTheLowestFreeSlotWithFreshOptions) {
  for (int32_t expected = 0; expected < 6; ++expected) EXPECT_EQ(NewKey(false), expected);
  VornMxUniversalCloseSocket(3);
  int32_t key = -1;
  // A cache without queueing is ignored.
  EXPECT_EQ(VornMxUniversalInitialize(&key, 7, 0, 1, 900, "", ""), 0);
  EXPECT_EQ(key, 3);
  Key& connection = KeyAt(key);
  EXPECT_TRUE(connection.InUse());
  StatusValues status = connection.Status();
  EXPECT_EQ(status[kAckEnabledItem], 1);
  EXPECT_EQ(status[kQueueEnabledItem], 0);
  EXPECT_EQ(status[kCacheEnabledItem], 0);
  EXPECT_EQ(connection.outbox().QueueForTesting(), nullptr);
  EXPECT_EQ(status[kPrimaryConnectionItem], kDisconnected);
  EXPECT_EQ(status[kSecondaryConnectionItem], kNoAlternate);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 0);
  EXPECT_EQ(connection.transport().ackTimeoutSeconds(), 3);
}

TEST_F(ConnectionTableTest, FullTableAndMissingKeyPointerTakeNoSlot) {
  for (int32_t i = 0; i < kMaxConnections; ++i) NewKey(false);
  int32_t key = 12345;
  EXPECT_EQ(VornMxUniversalInitialize(&key, 0, 0, 0, 0, nullptr, nullptr), HISTFEED_NO_FREE_KEY);
  EXPECT_EQ(key, 12345);
  StatusItem rows[kStatusItemRows];
  int32_t count = 0;
  CopyStatusItems(rows, &count);
  EXPECT_EQ(count, 12);

  VornMxUniversalCloseSocket(40);
  EXPECT_EQ(VornMxUniversalInitialize(nullptr, 0, 0, 0, 0, nullptr, nullptr), HISTFEED_NO_FREE_KEY);
  EXPECT_FALSE(KeyAt(40).InUse());
}

TEST_F(ConnectionTableTest, ConcurrentInitializationsNeverShareAKey) {
  constexpr int kThreads = 4;
  constexpr int kEach = kMaxConnections / kThreads;
  std::vector<std::vector<int32_t>> keys(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&keys, t] {
      for (int i = 0; i < kEach; ++i) {
        int32_t key = -1;
        if (VornMxUniversalInitialize(&key, 0, 0, 0, 0, nullptr, nullptr) == 0) keys[t].push_back(key);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<int32_t> distinct;
  for (auto& list : keys) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kMaxConnections));
}

TEST_F(ConnectionTableTest, ReusedSlotKeepsCountersAndIdentifiersButNotBuffers) {
  int32_t key = NewKey(true);
  Key& connection = KeyAt(key);
  // The counters a reused slot keeps, and the values they had.
  const SendCounters kept{/*sendCount=*/11, /*sendQueueFull=*/1, /*sendQueueCount=*/4,
                          /*sendErrorCount=*/3, /*nakCount=*/2, /*queuingData=*/1};
  connection.outbox().SetCountersForTesting(kept);
  ASSERT_EQ(VornMxSetHeartBeat(key, 9), 0);
  VornMxSetPointId(key, "PT1");
  VornMxSetTime(key, 1000, 0);
  const uint8_t record[25] = {};
  ASSERT_EQ(VornMxAddUniversalRecord(key, 1, record, 1), 0);
  ASSERT_EQ(connection.buffers().CountOf(1), 1);

  VornMxUniversalCloseSocket(key);
  EXPECT_FALSE(connection.InUse());
  EXPECT_EQ(connection.buffers().CountOf(1), 0);  // unflushed records are dropped
  EXPECT_EQ(connection.heartBeat().Seconds(), 9);  // closing leaves it

  EXPECT_EQ(NewKey(false), key);
  StatusValues status = connection.Status();
  const int32_t expected[] = {11, 1, 4, 3, 2, 1};  // in status item order
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(status[i], expected[i]) << "counter " << i;
  }
  // The identifier survived (the flush reaches the transport), the block
  // time did not (the time-block flush misses it).
  const uint8_t block[19] = {};
  ASSERT_EQ(VornMxAddUniversalRecord(key, 2, block, 1), 0);
  EXPECT_EQ(VornMxFlushUniversalRecord(key, 2), HISTFEED_NOT_SENT);
  ASSERT_EQ(VornMxAddUniversalRecord(key, 3, block, 1), 0);
  EXPECT_EQ(VornMxFlushUniversalRecord(key, 3), -101);
  EXPECT_EQ(connection.heartBeat().Seconds(), 0);
  EXPECT_EQ(connection.Status()[kAckEnabledItem], 0);
}

TEST_F(ConnectionTableTest, ClosingIgnoresBadKeysAndFreeSlots) {
  VornMxUniversalCloseSocket(-1);
  VornMxUniversalCloseSocket(kMaxConnections);
  VornMxUniversalCloseSocket(7);  // free: nothing happens
  EXPECT_FALSE(KeyAt(7).InUse());
  EXPECT_EQ(NewKey(false), 0);
  EXPECT_EQ(ISVornMxUniversalConnected(-1), 0);
  EXPECT_EQ(ISVornMxUniversalConnected(kMaxConnections), 0);
}

TEST_F(ConnectionTableTest, ConnectedMeansEitherServiceConnected) {
  int32_t key = NewKey(false);
  Transport& transport = KeyAt(key).transport();
  transport.alternate().SetState(kConnected);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 1);
  transport.alternate().SetState(kDisconnected);
  transport.primary().SetState(kConnected);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 1);
  transport.primary().SetState(kDisconnected);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 0);
}

TEST_F(ConnectionTableTest, StatusItemTableNamesTheTwelveValues) {
  NewKey(false);
  StatusItem rows[kStatusItemRows];
  int32_t count = 0;
  CopyStatusItems(rows, &count);
  ASSERT_EQ(count, 12);
  const char* names[] = {"SEND_COUNT",         "SEND_QUEUE_FULL",    "SEND_QUEUE_COUNT",
                         "SEND_ERROR_COUNT",   "NAK_COUNT",          "QUEUING_DATA",
                         "ACK_ENABLED",        "QUEUE_ENABLED",      "CACHE_ENABLED",
                         "CURRENT_CONNECTION", "PRIMARY_CONNECTION", "SECONDARY_CONNECTION"};
  for (int i = 0; i < 12; ++i) EXPECT_STREQ(rows[i].name, names[i]);
  EXPECT_STREQ(rows[4].description, "Total NAK'd record count");
  EXPECT_STREQ(rows[11].description, "Secondary connection status");
  for (int i = 12; i < kStatusItemRows; ++i) EXPECT_EQ(rows[i].name[0], '\0');
  // Unused bytes stay zero, padding included.
  EXPECT_TRUE(std::all_of(rows[0].reserved, rows[0].reserved + 24, [](char c) { return c == 0; }));
  EXPECT_TRUE(std::all_of(rows[0].name + 10, rows[0].name + 25, [](char c) { return c == 0; }));
}

TEST_F(ConnectionTableTest, DebugFlagGatesTraceLinesOnly) {
  MessageCapture messages;
  EXPECT_EQ(VornMxSetDebugMsg(5), 5);
  EXPECT_EQ(VornMxIsDebugMsg(), 5);
  PassTrace("trace %d", 1);
  EXPECT_EQ(VornMxSetDebugMsg(0), 0);
  PassTrace("trace %d", 2);
  PassMessage("error %d", 3);
  EXPECT_EQ(messages.Lines(), (std::vector<std::string>{"trace 1", "error 3"}));
}

TEST_F(ConnectionTableTest, OverlongLinesAreCut) {
  MessageCapture messages;
  std::string longText(3000, 'x');
  PassMessage("%s", longText.c_str());
  ASSERT_EQ(messages.Lines().size(), 1u);
  EXPECT_EQ(messages.Lines()[0], std::string(kMaxMessageLength, 'x'));
}

}  // namespace
}  // namespace histfeed::testing
