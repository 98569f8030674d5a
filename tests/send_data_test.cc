// SPDX-License-Identifier: Apache-2.0
// Direct sending: both decision tables, the trace lines, and the
// per-connection pairing of a frame with its acknowledgement.
#include "universal/send_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/failing_platform.h"
#include "tests/support/message_capture.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/universal_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::universal;

constexpr int32_t kFrameBytes = 37;

class SendDataTest : public UniversalTest {
 protected:
  void SetUp() override { VornMxSetDebugMsg(1); }

  // A key with acknowledgement, its primary attached; the alternate is
  // attached (state 1), configured but down (0) or absent (2).
  int32_t KeyWith(int32_t alternateState, bool ack = true) {
    int32_t key = NewKey(ack);
    Attach(key, false, primary_);
    if (alternateState == kConnected) Attach(key, true, alternate_);
    if (alternateState == kDisconnected) KeyAt(key).alternate.state = kDisconnected;
    return key;
  }

  int32_t Send(int32_t key, int32_t isConfig = 0, uint8_t fill = 0) {
    std::vector<char> frame = MakeFrame(kFrameBytes, isConfig ? 5 : 1, 1, fill);
    return SendData(KeyAt(key), frame.data(), static_cast<int32_t>(frame.size()), isConfig);
  }

  // Fast enough for the silent cases, slow enough for an answer to come
  // back within the time-out on a loaded machine.
  ScopedTimeScale fast_{10};
  FakeHistorian primary_;
  FakeHistorian alternate_;
  MessageCapture messages_;
};

TEST_F(SendDataTest, RefusesBadArgumentsAndKeysWithoutConnection) {
  std::vector<char> frame = MakeFrame(kFrameBytes);
  // Keys outside the table are refused where the key is looked up.
  EXPECT_EQ(VornMxFlushUniversalRecord(-1, 1), HISTFEED_NOT_SENT);
  EXPECT_EQ(VornMxAddRec(kMaxConnections, "P", 1, 0, 0, 1.0), HISTFEED_NOT_SENT);
  int32_t key = KeyWith(kNoAlternate);
  EXPECT_EQ(SendData(KeyAt(key), nullptr, kFrameBytes, 0), HISTFEED_NOT_SENT);
  EXPECT_EQ(SendData(KeyAt(key), frame.data(), 0, 0), HISTFEED_NOT_SENT);

  // P 0 with A 0: nothing is sent and nothing is said.
  KeyAt(key).primary.state = kDisconnected;
  KeyAt(key).alternate.state = kDisconnected;
  messages_.Clear();
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(Send(key, 1), HISTFEED_NOT_SENT);
  EXPECT_TRUE(messages_.Lines().empty());
  EXPECT_EQ(primary_.FrameCount(), 0);
}

TEST_F(SendDataTest, AcknowledgementOffSendsWithoutReading) {
  int32_t key = KeyWith(kNoAlternate, /*ack=*/false);
  primary_.SetDefaultReply(Reply::Silent());
  EXPECT_EQ(Send(key), 0);
  EXPECT_TRUE(WaitUntil([&] { return primary_.FrameCount() == 1; }));
  EXPECT_EQ(KeyAt(key).currentConnection.load(), kUsePrimary);
  EXPECT_EQ(messages_.Lines(),
            std::vector<std::string>{"SendData() PRI Data sent no error - records=1"});
}

TEST_F(SendDataTest, PrimaryOutcomesWithoutAlternate) {
  int32_t key = KeyWith(kNoAlternate);
  Key& connection = KeyAt(key);
  primary_.Script({Reply::Ack(), Reply::Nak(), Reply::Byte(0x80), Reply::Byte(0x00), Reply::Silent()});
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);  // silent: time-out, the state stays
  EXPECT_EQ(connection.primary.state.load(), kConnected);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "SendData() PRI Data good ACK - records=1",
                                   "SendData() Data Error - BAD ACK char (0x15) - ignore",
                                   "SendData() Data Error - BAD ACK char (0xffffff80) - ignore",
                                   "SendData() Data Error - BAD ACK char (00) - ignore",
                                   "GetAckBack() PRI timeout",
                                   "SendData() PRI Data Error - BAD ACK=-106",
                               }));
}

TEST_F(SendDataTest, PrimaryClosingInsteadOfAnsweringIsNotFailedOver) {
  int32_t key = KeyWith(kConnected);
  primary_.Script({Reply::Close()});
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).primary.state.load(), kDisconnected);
  EXPECT_EQ(alternate_.FrameCount(), 0);
  // The next frame goes to the alternate, which becomes current.
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(alternate_.FrameCount(), 1);
  EXPECT_EQ(KeyAt(key).currentConnection.load(), kUseAlternate);
}

TEST_F(SendDataTest, PrimaryRejectionIsRetriedOnTheAlternate) {
  int32_t key = KeyWith(kConnected);
  primary_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key, 0, 7), 0);
  EXPECT_EQ(KeyAt(key).currentConnection.load(), kUseAlternate);
  ASSERT_EQ(alternate_.Frames().size(), 1u);
  EXPECT_EQ(alternate_.Frames()[0], primary_.Frames()[0]);  // the same frame
  // Observers see the move and the delivered record count.
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "SendData() data moved to ALT",
                                   "SendData() ALT Data good ACK - records=1",
                               }));
}

TEST_F(SendDataTest, FailedPrimarySendFailsOverAndDataStaysOnTheAlternate) {
  int32_t key = KeyWith(kConnected);
  Key& connection = KeyAt(key);
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(connection.primary.state.load(), kDisconnected);
  EXPECT_EQ(connection.currentConnection.load(), kUseAlternate);
  // The primary is back, but data stays on the alternate ...
  connection.primary.state = kConnected;
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(alternate_.FrameCount(), 2);
  EXPECT_EQ(primary_.FrameCount(), 0);
  // ... until the alternate rejects a frame; then it returns to the primary.
  alternate_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(primary_.FrameCount(), 1);
}

TEST_F(SendDataTest, FailoverAttemptFailures) {
  int32_t key = KeyWith(kConnected);
  Key& connection = KeyAt(key);
  // Rejected by the alternate: -111, data stays aimed at the primary.
  alternate_.Script({Reply::Nak(), Reply::Silent()});
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  // No answer from the alternate: -106 without a line of its own.
  connection.primary.state = kConnected;
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  // Both sends fail: both services are marked down.
  connection.primary.state = kConnected;
  testing::FailNextSocketSends(2);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.primary.state.load(), kDisconnected);
  EXPECT_EQ(connection.alternate.state.load(), kDisconnected);
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "SendData() ALT Data Error - BAD ACK char (0x15) - ignore",
                                   "GetAckBack() ALT timeout",
                                   "SendData() ALT Data Error - bytes=-1",
                               }));
}

TEST_F(SendDataTest, FailedPrimarySendWithoutAlternate) {
  int32_t key = KeyWith(kNoAlternate);
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).primary.state.load(), kDisconnected);
  EXPECT_EQ(messages_.Lines(), std::vector<std::string>{"SendData() PRI Data Error - bytes=-1"});
}

TEST_F(SendDataTest, AlternateAttemptFailuresSendDataBackToThePrimary) {
  int32_t key = KeyWith(kConnected);
  Key& connection = KeyAt(key);
  connection.currentConnection = kUseAlternate;
  alternate_.Script({Reply::Silent(), Reply::Byte(0x41)});
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  connection.currentConnection = kUseAlternate;
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  connection.currentConnection = kUseAlternate;
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.alternate.state.load(), kDisconnected);
  EXPECT_EQ(connection.currentConnection.load(), kUsePrimary);
  EXPECT_EQ(primary_.FrameCount(), 0);
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "GetAckBack() ALT timeout",
                                   "SendData() ALT Data Error - bytes=37",
                                   "SendData() data moved to PRI",
                                   "SendData() Data Error - BAD ACK char (0x41) - ignore",
                                   "SendData() data moved to PRI",
                                   "SendData() ALT Data Error - bytes=-1",
                                   "SendData() data moved to PRI",
                               }));
}

TEST_F(SendDataTest, CurrentAlternateDownSendsNothing) {
  int32_t key = KeyWith(kDisconnected);
  KeyAt(key).currentConnection = kUseAlternate;
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).currentConnection.load(), kUseAlternate);
  EXPECT_EQ(primary_.FrameCount(), 0);
}

TEST_F(SendDataTest, BrokenWaitIsReportedWithItsErrorCode) {
  int32_t key = KeyWith(kNoAlternate);
  testing::FailNextSocketWaits(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).primary.state.load(), kConnected);
  ASSERT_FALSE(messages_.Lines().empty());
#if defined(_WIN32)
  EXPECT_EQ(messages_.Lines()[0], "GetAckBack() select socket error =10038");  // WSAENOTSOCK
#else
  EXPECT_EQ(messages_.Lines()[0], "GetAckBack() select socket error =9");  // EBADF
#endif
}

TEST_F(SendDataTest, TraceLinesNeedTheDebugFlag) {
  VornMxSetDebugMsg(0);
  int32_t key = KeyWith(kNoAlternate);
  primary_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_TRUE(messages_.Lines().empty());
}

TEST_F(SendDataTest, ConfigurationGoesToTheAlternateFirstAndAcceptsNak) {
  int32_t key = KeyWith(kConnected);
  Key& connection = KeyAt(key);
  connection.currentConnection = kUseAlternate;
  primary_.Script({Reply::Nak()});
  alternate_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key, 1), 0);
  EXPECT_EQ(primary_.FrameCount(), 1);
  EXPECT_EQ(alternate_.FrameCount(), 1);
  EXPECT_EQ(connection.currentConnection.load(), kUseAlternate);  // untouched by configuration
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "SendData() ALT Config - GetAckBack()=0",
                                   "SendData() ALT Config good ACK",
                                   "SendData() ALT Config sent no error",
                                   "SendData() PRI Config - GetAckBack()=0",
                                   "SendData() PRI Config good ACK",
                                   "SendData() PRI Config sent no error",
                               }));
}

TEST_F(SendDataTest, ConfigurationNeedsEveryConfiguredService) {
  int32_t key = KeyWith(kDisconnected);
  EXPECT_EQ(Send(key, 1), HISTFEED_NOT_SENT);
  KeyAt(key).primary.state = kDisconnected;
  KeyAt(key).alternate.state = kConnected;
  EXPECT_EQ(Send(key, 1), HISTFEED_NOT_SENT);
  EXPECT_EQ(primary_.FrameCount(), 0);
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "SendData() CONFIG FAILED - not connected to alternate",
                                   "SendData() CONFIG FAILED - not connected to primary",
                               }));
}

TEST_F(SendDataTest, ConfigurationWithoutAlternateGoesToThePrimaryOnly) {
  int32_t key = KeyWith(kNoAlternate, /*ack=*/false);
  EXPECT_EQ(Send(key, 1), 0);
  EXPECT_TRUE(WaitUntil([&] { return primary_.FrameCount() == 1; }));
  EXPECT_EQ(messages_.Lines(), std::vector<std::string>{"SendData() PRI Config sent no error"});
}

TEST_F(SendDataTest, ConfigurationFailuresReportTheAlternateFirst) {
  int32_t key = KeyWith(kConnected);
  alternate_.Script({Reply::Byte(0x41), Reply::Silent()});
  primary_.Script({Reply::Byte(0x42), Reply::Ack()});
  EXPECT_EQ(Send(key, 1), HISTFEED_REJECTED);
  EXPECT_EQ(primary_.FrameCount(), 1);  // the primary step runs regardless
  EXPECT_EQ(Send(key, 1), HISTFEED_NOT_SENT);
  EXPECT_EQ(messages_.Lines(), (std::vector<std::string>{
                                   "SendData() ALT Config - GetAckBack()=0",
                                   "SendData() ALT Config Error - BAD ACK char (0x41)",
                                   "SendData() PRI Config - GetAckBack()=0",
                                   "SendData() PRI Config Error - BAD ACK char (0x42) - ignore",
                                   "SendData() ALT Config SendError return=-111",
                                   "GetAckBack() ALT timeout",
                                   "SendData() ALT Config - GetAckBack()=-106",
                                   "SendData() ALT Config Error - BAD ACK=-106",
                                   "SendData() PRI Config - GetAckBack()=0",
                                   "SendData() PRI Config good ACK",
                                   "SendData() PRI Config sent no error",
                                   "SendData() ALT Config SendError return=-106",
                               }));
}

TEST_F(SendDataTest, ConfigurationPrimaryFailureIsReturned) {
  int32_t key = KeyWith(kConnected);
  testing::FailNextSocketSends(0);
  primary_.Script({Reply::Close()});
  EXPECT_EQ(Send(key, 1), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).primary.state.load(), kDisconnected);
  std::vector<std::string> lines = messages_.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "SendData() PRI Config Error - BAD ACK=-106");
  EXPECT_EQ(lines.back(), "SendData() PRI Config SendError return=-106");
}

TEST_F(SendDataTest, LateAcknowledgementIsNotTakenForTheNextFrame) {
  int32_t key = KeyWith(kNoAlternate);
  primary_.Script({Reply::Silent()});
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  primary_.SendUnasked(0x15);  // the answer to the first frame, too late
  platform::SocketHandle socket = KeyAt(key).primary.socket.load();
  ASSERT_TRUE(WaitUntil([&] {
    return platform::Sockets().WaitReadable(socket, 0) == platform::WaitResult::kReadable;
  }));
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(Send(key), 0);
}

TEST_F(SendDataTest, ConcurrentSendersEachGetTheirOwnAcknowledgement) {
  int32_t key = KeyWith(kNoAlternate);
  // Frames filled with an odd byte are rejected, the others accepted.
  primary_.SetResponder([](const std::vector<uint8_t>& frame) {
    return frame[12] % 2 ? Reply::Nak() : Reply::Ack();
  });
  primary_.SetReplyDelay(std::chrono::microseconds(20));
  primary_.SetKeepFrames(false);
  VornMxSetDebugMsg(0);
  constexpr int kThreads = 4;
  constexpr int kFrames = 150;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        uint8_t fill = static_cast<uint8_t>(t * 2 + (i % 2));
        int32_t expected = fill % 2 ? HISTFEED_REJECTED : 0;
        if (Send(key, 0, fill) != expected) ++mismatches;
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(primary_.FrameCount(), kThreads * kFrames);
}

TEST_F(SendDataTest, LargeFramesArriveWhole) {
  int32_t key = KeyWith(kNoAlternate, /*ack=*/false);
  constexpr int kFrames = 200;
  for (int i = 0; i < kFrames; ++i) {
    std::vector<char> frame = MakeFrame(8192, 1, 1, static_cast<uint8_t>(i));
    ASSERT_EQ(SendData(KeyAt(key), frame.data(), 8192, 0), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return primary_.FrameCount() == kFrames; }));
  auto frames = primary_.Frames();
  for (int i = 0; i < kFrames; ++i) {
    std::vector<char> expected = MakeFrame(8192, 1, 1, static_cast<uint8_t>(i));
    ASSERT_EQ(frames[i], std::vector<uint8_t>(expected.begin(), expected.end())) << "frame " << i;
  }
}

TEST_F(SendDataTest, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
  int32_t key = KeyWith(kNoAlternate, /*ack=*/false);
  ASSERT_TRUE(WaitUntil([&] { return primary_.OpenConnections() == 1; }));
  primary_.DropConnections();
  // The first sends may still be taken by the system; a later one fails.
  int32_t result = 0;
  for (int i = 0; i < 100 && result == 0; ++i) result = Send(key);
  EXPECT_EQ(result, HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).primary.state.load(), kDisconnected);
}

}  // namespace
}  // namespace histfeed::testing
