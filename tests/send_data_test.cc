// SPDX-License-Identifier: Apache-2.0
// Direct sending: both decision tables, the trace lines, and the
// per-connection pairing of a frame with its acknowledgement.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/failing_platform.h"
#include "tests/support/message_capture.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/universal_fixture.h"
#include "universal/transport.h"

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
    if (alternateState == kDisconnected) KeyAt(key).transport().alternate().SetState(kDisconnected);
    return key;
  }

  int32_t Send(int32_t key, int32_t isConfig = 0, uint8_t fill = 0) {
    std::vector<char> frame = MakeFrame(kFrameBytes, isConfig ? 5 : 1, 1, fill);
    return KeyAt(key).transport().Send(frame.data(), static_cast<int32_t>(frame.size()),
                                       isConfig != 0);
  }

  // Fast enough for the silent cases, slow enough for an answer to come
  // back within the time-out on a loaded machine.
  ScopedTimeScale fast_{10};
  FakeHistorian primary_;
  FakeHistorian alternate_;
  MessageCapture messages_;
};

// How a service meets the frame in one row of the data ladder.
enum class Meets { kUntried, kSendFails, kSilence, kAck, kNak };

struct LadderRow {
  const char* what;
  DataRoute route;  // where data goes before the frame
  Meets primary;
  Meets alternate;
  bool alternateUp;  // attached, or not asked for
  int32_t result;
  DataRoute routeAfter;
};

// Every outcome of every way a data frame is tried, as the one decision
// table of the transport has it.
TEST_F(SendDataTest, DataLadder) {
  VornMxSetDebugMsg(0);
  const LadderRow rows[] = {
      {"primary accepts", kUsePrimary, Meets::kAck, Meets::kUntried, true, 0, kUsePrimary},
      {"primary silent: no failover", kUsePrimary, Meets::kSilence, Meets::kUntried, true,
       HISTFEED_NOT_SENT, kUsePrimary},
      {"primary send fails, no alternate", kUsePrimary, Meets::kSendFails, Meets::kUntried, false,
       HISTFEED_NOT_SENT, kUsePrimary},
      {"primary rejects, no alternate", kUsePrimary, Meets::kNak, Meets::kUntried, false,
       HISTFEED_REJECTED, kUsePrimary},
      {"primary rejects, alternate accepts", kUsePrimary, Meets::kNak, Meets::kAck, true, 0,
       kUseAlternate},
      {"primary rejects, alternate silent", kUsePrimary, Meets::kNak, Meets::kSilence, true,
       HISTFEED_NOT_SENT, kUsePrimary},
      {"primary rejects, alternate rejects", kUsePrimary, Meets::kNak, Meets::kNak, true,
       HISTFEED_REJECTED, kUsePrimary},
      {"failover accepted", kUsePrimary, Meets::kSendFails, Meets::kAck, true, 0, kUseAlternate},
      {"failover silent", kUsePrimary, Meets::kSendFails, Meets::kSilence, true, HISTFEED_NOT_SENT,
       kUsePrimary},
      {"failover rejected", kUsePrimary, Meets::kSendFails, Meets::kNak, true, HISTFEED_REJECTED,
       kUsePrimary},
      {"failover send fails", kUsePrimary, Meets::kSendFails, Meets::kSendFails, true,
       HISTFEED_NOT_SENT, kUsePrimary},
      {"alternate accepts", kUseAlternate, Meets::kUntried, Meets::kAck, true, 0, kUseAlternate},
      {"alternate silent", kUseAlternate, Meets::kUntried, Meets::kSilence, true,
       HISTFEED_NOT_SENT, kUsePrimary},
      {"alternate rejects", kUseAlternate, Meets::kUntried, Meets::kNak, true, HISTFEED_REJECTED,
       kUsePrimary},
      {"alternate send fails", kUseAlternate, Meets::kUntried, Meets::kSendFails, true,
       HISTFEED_NOT_SENT, kUsePrimary},
  };
  auto script = [](FakeHistorian& peer, Meets meets) {
    if (meets == Meets::kSilence) peer.Script({Reply::Silent()});
    if (meets == Meets::kAck) peer.Script({Reply::Ack()});
    if (meets == Meets::kNak) peer.Script({Reply::Nak()});
    return meets == Meets::kSilence || meets == Meets::kAck || meets == Meets::kNak ? 1 : 0;
  };
  for (const LadderRow& row : rows) {
    SCOPED_TRACE(row.what);
    int32_t key = KeyWith(row.alternateUp ? kConnected : kNoAlternate);
    Transport& transport = KeyAt(key).transport();
    transport.SetRouteForTesting(row.route);
    int64_t primaryBefore = primary_.FrameCount();
    int64_t alternateBefore = alternate_.FrameCount();
    int primaryGets = script(primary_, row.primary);
    int alternateGets = script(alternate_, row.alternate);
    testing::FailNextSocketSends((row.primary == Meets::kSendFails ? 1 : 0) +
                                 (row.alternate == Meets::kSendFails ? 1 : 0));
    EXPECT_EQ(Send(key), row.result);
    EXPECT_EQ(transport.route(), row.routeAfter);
    EXPECT_TRUE(WaitUntil([&] { return primary_.FrameCount() == primaryBefore + primaryGets; }));
    EXPECT_TRUE(WaitUntil([&] { return alternate_.FrameCount() == alternateBefore + alternateGets; }));
    VornMxUniversalCloseSocket(key);
  }
}

TEST_F(SendDataTest, RefusesBadArgumentsAndKeysWithoutConnection) {
  std::vector<char> frame = MakeFrame(kFrameBytes);
  // Keys outside the table are refused where the key is looked up.
  EXPECT_EQ(VornMxFlushUniversalRecord(-1, 1), HISTFEED_NOT_SENT);
  EXPECT_EQ(VornMxAddRec(kMaxConnections, "P", 1, 0, 0, 1.0), HISTFEED_NOT_SENT);
  int32_t key = KeyWith(kNoAlternate);
  EXPECT_EQ(KeyAt(key).transport().Send(nullptr, kFrameBytes, false), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).transport().Send(frame.data(), 0, false), HISTFEED_NOT_SENT);

  // P 0 with A 0: nothing is sent and nothing is said.
  KeyAt(key).transport().primary().SetState(kDisconnected);
  KeyAt(key).transport().alternate().SetState(kDisconnected);
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
  EXPECT_EQ(KeyAt(key).transport().route(), kUsePrimary);
  EXPECT_EQ(messages_.Lines(),
            std::vector<std::string>{"SendData() PRI Data sent no error - records=1"});
}

TEST_F(SendDataTest, PrimaryOutcomesWithoutAlternate) {
  int32_t key = KeyWith(kNoAlternate);
  Transport& connection = KeyAt(key).transport();
  primary_.Script({Reply::Ack(), Reply::Nak(), Reply::Byte(0x80), Reply::Byte(0x00), Reply::Silent()});
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);  // silent: time-out, the state stays
  EXPECT_EQ(connection.primary().state(), kConnected);
  EXPECT_EQ(connection.route(), kUsePrimary);
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
  EXPECT_EQ(KeyAt(key).transport().primary().state(), kDisconnected);
  EXPECT_EQ(alternate_.FrameCount(), 0);
  // The next frame goes to the alternate, which becomes current.
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(alternate_.FrameCount(), 1);
  EXPECT_EQ(KeyAt(key).transport().route(), kUseAlternate);
}

TEST_F(SendDataTest, PrimaryRejectionIsRetriedOnTheAlternate) {
  int32_t key = KeyWith(kConnected);
  primary_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key, 0, 7), 0);
  EXPECT_EQ(KeyAt(key).transport().route(), kUseAlternate);
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
  Transport& connection = KeyAt(key).transport();
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(connection.primary().state(), kDisconnected);
  EXPECT_EQ(connection.route(), kUseAlternate);
  // The primary is back, but data stays on the alternate ...
  connection.primary().SetState(kConnected);
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(alternate_.FrameCount(), 2);
  EXPECT_EQ(primary_.FrameCount(), 0);
  // ... until the alternate rejects a frame; then it returns to the primary.
  alternate_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(connection.route(), kUsePrimary);
  EXPECT_EQ(Send(key), 0);
  EXPECT_EQ(primary_.FrameCount(), 1);
}

TEST_F(SendDataTest, FailoverAttemptFailures) {
  int32_t key = KeyWith(kConnected);
  Transport& connection = KeyAt(key).transport();
  // Rejected by the alternate: -111, data stays aimed at the primary.
  alternate_.Script({Reply::Nak(), Reply::Silent()});
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(connection.route(), kUsePrimary);
  // No answer from the alternate: -106 without a line of its own.
  connection.primary().SetState(kConnected);
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.route(), kUsePrimary);
  // Both sends fail: both services are marked down.
  connection.primary().SetState(kConnected);
  testing::FailNextSocketSends(2);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.primary().state(), kDisconnected);
  EXPECT_EQ(connection.alternate().state(), kDisconnected);
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
  EXPECT_EQ(KeyAt(key).transport().primary().state(), kDisconnected);
  EXPECT_EQ(messages_.Lines(), std::vector<std::string>{"SendData() PRI Data Error - bytes=-1"});
}

TEST_F(SendDataTest, AlternateAttemptFailuresSendDataBackToThePrimary) {
  int32_t key = KeyWith(kConnected);
  Transport& connection = KeyAt(key).transport();
  connection.SetRouteForTesting(kUseAlternate);
  alternate_.Script({Reply::Silent(), Reply::Byte(0x41)});
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.route(), kUsePrimary);
  connection.SetRouteForTesting(kUseAlternate);
  EXPECT_EQ(Send(key), HISTFEED_REJECTED);
  EXPECT_EQ(connection.route(), kUsePrimary);
  connection.SetRouteForTesting(kUseAlternate);
  testing::FailNextSocketSends(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(connection.alternate().state(), kDisconnected);
  EXPECT_EQ(connection.route(), kUsePrimary);
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
  KeyAt(key).transport().SetRouteForTesting(kUseAlternate);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).transport().route(), kUseAlternate);
  EXPECT_EQ(primary_.FrameCount(), 0);
}

TEST_F(SendDataTest, BrokenWaitIsReportedWithItsErrorCode) {
  int32_t key = KeyWith(kNoAlternate);
  testing::FailNextSocketWaits(1);
  EXPECT_EQ(Send(key), HISTFEED_NOT_SENT);
  EXPECT_EQ(KeyAt(key).transport().primary().state(), kConnected);
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
  Transport& connection = KeyAt(key).transport();
  connection.SetRouteForTesting(kUseAlternate);
  primary_.Script({Reply::Nak()});
  alternate_.Script({Reply::Nak()});
  EXPECT_EQ(Send(key, 1), 0);
  EXPECT_EQ(primary_.FrameCount(), 1);
  EXPECT_EQ(alternate_.FrameCount(), 1);
  EXPECT_EQ(connection.route(), kUseAlternate);  // untouched by configuration
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
  KeyAt(key).transport().primary().SetState(kDisconnected);
  KeyAt(key).transport().alternate().SetState(kConnected);
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
  EXPECT_EQ(KeyAt(key).transport().primary().state(), kDisconnected);
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
  platform::SocketHandle socket = KeyAt(key).transport().primary().socket();
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
    ASSERT_EQ(KeyAt(key).transport().Send(frame.data(), 8192, false), 0);
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
  EXPECT_EQ(KeyAt(key).transport().primary().state(), kDisconnected);
}

}  // namespace
}  // namespace histfeed::testing
