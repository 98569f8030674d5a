// SPDX-License-Identifier: Apache-2.0
// Connecting, the reconnect threads, failover with the way back, and
// closing: prompt, and leaving no thread or socket behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/failing_platform.h"
#include "tests/support/message_capture.h"
#include "tests/support/process_resources.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/universal_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::universal;

// A loopback port where nothing listens.
uint16_t ClosedPort() {
  FakeHistorian peer;
  uint16_t port = peer.port();
  peer.Stop();
  return port;
}

int32_t SendFrame(int32_t key) {
  std::vector<char> frame = MakeFrame(37);
  return KeyAt(key).transport().Send(frame.data(), 37, false);
}

class ConnectTest : public UniversalTest {
 protected:
  // A key whose answers may take their time: the clock runs fast for the
  // reconnect rounds, and a loaded machine must not turn a late answer
  // into a failure.
  int32_t NewKey(bool ack) {
    int32_t key = UniversalTest::NewKey(ack);
    KeyAt(key).transport().SetAckTimeoutSecondsForTesting(30);
    return key;
  }

  ScopedTimeScale fast_{100};
  MessageCapture messages_;
};

TEST_F(ConnectTest, PrimaryOnly) {
  FakeHistorian peer;
  int32_t key = NewKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), "", 0), 0);
  Transport& transport = KeyAt(key).transport();
  EXPECT_EQ(transport.primary().state(), kConnected);
  EXPECT_EQ(transport.alternate().state(), kNoAlternate);
  EXPECT_EQ(transport.alternate().socket(), platform::kInvalidSocket);
  EXPECT_EQ(transport.primary().address().family, 2);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 1);
  EXPECT_EQ(SendFrame(key), 0);
  EXPECT_TRUE(messages_.Lines().empty());
}

TEST_F(ConnectTest, AlternateDecidesTheResultWhenGiven) {
  FakeHistorian up;
  uint16_t down = ClosedPort();
  int32_t key = NewKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", down, "localhost", up.port()), 0);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 1);
  EXPECT_EQ(KeyAt(key).transport().alternate().state(), kConnected);

  int32_t other = NewKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(other, "127.0.0.1", up.port(), "127.0.0.1", down), HISTFEED_CONNECT_FAILED);
  EXPECT_EQ(KeyAt(other).transport().primary().state(), kConnected);
  EXPECT_EQ(KeyAt(other).transport().alternate().state(), kDisconnected);
}

TEST_F(ConnectTest, SetUpFailures) {
  FakeHistorian peer;
  int32_t key = NewKey(false);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "", peer.port(), "", 0), HISTFEED_HOST_NOT_RESOLVED);
  EXPECT_EQ(VornMxUniversalDataConnect(key, nullptr, peer.port(), "127.0.0.1", peer.port()),
            HISTFEED_HOST_NOT_RESOLVED);
  EXPECT_FALSE(KeyAt(key).transport().primary().ReconnectThreadStarted());
  EXPECT_EQ(peer.AcceptedConnections(), 0);

  testing::FailNextSocketOpens(1);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), "", 0), HISTFEED_SOCKET_NOT_CREATED);
  testing::FailNextSocketStartups(1);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), "", 0), HISTFEED_KEY_NOT_READY);

  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), "no-such-host.invalid", 1),
            HISTFEED_HOST_NOT_RESOLVED);
  EXPECT_EQ(KeyAt(key).transport().primary().state(), kConnected);
  EXPECT_EQ(KeyAt(key).transport().alternate().state(), kNoAlternate);
  EXPECT_FALSE(KeyAt(key).transport().alternate().ReconnectThreadStarted());

  // Keys that initialization did not hand out are refused.
  EXPECT_EQ(VornMxUniversalDataConnect(-1, "127.0.0.1", peer.port(), "", 0), HISTFEED_KEY_NOT_READY);
  EXPECT_EQ(VornMxUniversalDataConnect(99, "127.0.0.1", peer.port(), "", 0), HISTFEED_KEY_NOT_READY);
  EXPECT_FALSE(KeyAt(99).transport().primary().ReconnectThreadStarted());

  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "Error on gethostbyname key = 0",
                                   "Error on gethostbyname key = 0",
                                   "Error cannot open socket key=0",
                                   "Error on WSAStartup",
                                   "Error on gethostbyname for alternate service",
                                   "Error VornMxUniversalDataConnect key = -1 not initialized",
                                   "Error VornMxUniversalDataConnect key = 99 not initialized",
                               }));
}

TEST_F(ConnectTest, PrimaryIsRetriedUntilTheServiceComesBack) {
  FakeHistorian peer;
  uint16_t port = peer.port();
  peer.Stop();
  int32_t key = NewKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), HISTFEED_CONNECT_FAILED);
  EXPECT_EQ(ISVornMxUniversalConnected(key), 0);
  ASSERT_TRUE(WaitUntil([&] { return messages_.Lines().size() >= 2; }));
  EXPECT_EQ(messages_.Lines()[0], "Error connecting to service key=0");
  EXPECT_EQ(messages_.Lines()[1], "Error cannot connect to service key=0");

  ASSERT_TRUE(peer.Start());
  int64_t upAt = platform::MonotonicMs();
  ASSERT_TRUE(WaitUntil([&] { return ISVornMxUniversalConnected(key) == 1; }));
  EXPECT_LE(platform::MonotonicMs() - upAt, 5000 + 1000);
  EXPECT_EQ(SendFrame(key), 0);
}

TEST_F(ConnectTest, PrimaryFailuresAreReportedAtMostEveryFiveMinutes) {
  ScopedTimeScale faster(250);
  uint16_t port = ClosedPort();
  int32_t key = NewKey(false);
  int64_t start = platform::MonotonicMs();
  VornMxUniversalDataConnect(key, "127.0.0.1", port, "", 0);
  const std::string line = "Error cannot connect to service key=0";
  ASSERT_TRUE(WaitUntil([&] { return messages_.Count(line) >= 3; }, std::chrono::seconds(30)));
  std::vector<int64_t> times;
  for (auto& captured : messages_.TimedLines()) {
    if (captured.text == line) times.push_back(captured.libraryMs);
  }
  EXPECT_LT(times[0] - start, 60000);  // the first failure at once, not after 300 s
  for (size_t i = 1; i < times.size(); ++i) {
    EXPECT_GT(times[i] - times[i - 1], 300000);
    EXPECT_LT(times[i] - times[i - 1], 300000 + 100000);  // a later round, not never
  }
}

TEST_F(ConnectTest, AlternateFailuresAreReportedEveryRoundUntilItComesBack) {
  FakeHistorian primary;
  FakeHistorian alternate;
  uint16_t port = alternate.port();
  alternate.Stop();
  int32_t key = NewKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "127.0.0.1", port),
            HISTFEED_CONNECT_FAILED);
  const std::string line = "Error cannot connect to alternate service";
  ASSERT_TRUE(WaitUntil([&] { return messages_.Count(line) >= 3; }));
  std::vector<int64_t> times;
  for (auto& captured : messages_.TimedLines()) {
    if (captured.text == line) times.push_back(captured.libraryMs);
  }
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 4900);
  testing::FailNextSocketOpens(1);
  EXPECT_TRUE(WaitUntil([&] { return messages_.Count("Error cannot open socket") == 1; }));

  ASSERT_TRUE(alternate.Start());
  ASSERT_TRUE(WaitUntil([&] { return KeyAt(key).transport().alternate().state() == kConnected; }));
  int settled = messages_.Count(line);
  platform::SleepMs(15000);
  EXPECT_LE(messages_.Count(line), settled + 1);  // one round may have been under way
}

TEST_F(ConnectTest, DataFailsOverAndReturnsToThePrimary) {
  FakeHistorian primary;
  FakeHistorian alternate;
  int32_t key = NewKey(true);
  Transport& transport = KeyAt(key).transport();
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "127.0.0.1", alternate.port()), 0);
  EXPECT_EQ(SendFrame(key), 0);
  EXPECT_EQ(primary.FrameCount(), 1);

  primary.Stop();
  // The broken primary is found while its answer is awaited: no failover
  // for that frame, but the next one goes to the alternate.
  EXPECT_EQ(SendFrame(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(SendFrame(key), 0);
  EXPECT_EQ(alternate.FrameCount(), 1);
  EXPECT_EQ(transport.route(), kUseAlternate);

  ASSERT_TRUE(primary.Start());
  ASSERT_TRUE(WaitUntil([&] { return transport.primary().state() == kConnected; }));
  EXPECT_EQ(SendFrame(key), 0);
  EXPECT_EQ(alternate.FrameCount(), 2);  // still on the alternate

  alternate.Script({Reply::Nak()});
  EXPECT_EQ(SendFrame(key), HISTFEED_REJECTED);
  EXPECT_EQ(SendFrame(key), 0);
  EXPECT_EQ(primary.FrameCount(), 2);
}

TEST_F(ConnectTest, RepeatedConnectReplacesTheEarlierConnections) {
  FakeHistorian primary;
  FakeHistorian alternate;
  int32_t key = NewKey(true);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "127.0.0.1", alternate.port()), 0);
  KeyAt(key).transport().SetRouteForTesting(kUseAlternate);
  int threads = ThreadCount();
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "", 0), 0);
  // The earlier connections are closed, not left open beside the new one.
  EXPECT_TRUE(WaitUntil([&] { return primary.OpenConnections() == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return alternate.OpenConnections() == 0; }));
  EXPECT_EQ(KeyAt(key).transport().alternate().state(), kNoAlternate);
  // One reconnect thread fewer, none more; the fake services' own threads
  // for the closed connections end a moment after them.
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }));
  // Data goes to the remaining primary.
  EXPECT_EQ(SendFrame(key), 0);
  EXPECT_EQ(primary.FrameCount(), 1);
}

TEST_F(ConnectTest, ClosingLeavesNoThreadOrSocketBehind) {
  FakeHistorian primary;
  uint16_t down = ClosedPort();
  int descriptors = OpenDescriptorCount();
  int threads = ThreadCount();
  for (int round = 0; round < 3; ++round) {
    int32_t key = NewKey(true);
    VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "127.0.0.1", down);
    ASSERT_TRUE(WaitUntil([&] { return messages_.Count("Error cannot connect to alternate service") > round; }));
    VornMxUniversalCloseSocket(key);
    EXPECT_FALSE(KeyAt(key).transport().primary().ReconnectThreadStarted());
    EXPECT_FALSE(KeyAt(key).transport().alternate().ReconnectThreadStarted());
    EXPECT_EQ(KeyAt(key).transport().primary().state(), kDisconnected);
    EXPECT_EQ(KeyAt(key).transport().alternate().state(), kDisconnected);
  }
  primary.DropConnections();
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(ConnectTest, ClosingInterruptsWaitsInsteadOfSleepingThemOut) {
  ScopedTimeScale realTime(1);
  FakeHistorian primary;
  primary.SetDefaultReply(Reply::Silent());
  int32_t key = NewKey(true);
  // The alternate is down, so its reconnect thread sits in a 5-second wait.
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "127.0.0.1", ClosedPort()),
            HISTFEED_CONNECT_FAILED);
  // A sender holds the key's buffer lock, as a flush does, and waits up to
  // 3 seconds for an answer that never comes.
  std::atomic<int32_t> sendResult{1};
  std::thread sender([&] {
    platform::MutexLock buffers(KeyAt(key).buffers().lock());
    sendResult = SendFrame(key);
  });
  ASSERT_TRUE(WaitUntil([&] { return primary.FrameCount() == 1; }));

  auto start = std::chrono::steady_clock::now();
  VornMxUniversalCloseSocket(key);
  sender.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(sendResult.load(), HISTFEED_NOT_SENT);
}

TEST_F(ConnectTest, ReusedSlotInheritsNoThreads) {
  FakeHistorian primary;
  int32_t key = NewKey(true);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", primary.port(), "", 0), 0);
  VornMxUniversalCloseSocket(key);
  EXPECT_EQ(NewKey(true), key);
  Transport& transport = KeyAt(key).transport();
  EXPECT_FALSE(transport.primary().ReconnectThreadStarted());
  EXPECT_FALSE(transport.alternate().ReconnectThreadStarted());
  // The old reconnect thread would have reconnected a closed primary.
  platform::SleepMs(12000);
  EXPECT_EQ(transport.primary().state(), kDisconnected);
  EXPECT_EQ(primary.AcceptedConnections(), 1);
}

}  // namespace
}  // namespace histfeed::testing
