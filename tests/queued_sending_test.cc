// Queued sending of the universal family: the send-or-queue step and its
// counters, ordered replay by the queue thread, the disk cache behind the
// queue, and the heartbeat.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "histfeed.h"
#include "platform/clock.h"
#include "platform/fault_injection.h"
#include "queue/record_queue.h"
#include "tests/support/fake_historian.h"
#include "tests/support/message_capture.h"
#include "tests/support/process_resources.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/temp_directory.h"
#include "tests/support/universal_fixture.h"
#include "universal/frame_format.h"
#include "universal/key.h"
#include "universal/queued_sending.h"
#include "universal/transport_results.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::universal;

// A one-record PointIdRec frame whose time field carries `sequence`.
std::vector<char> DataFrame(uint32_t sequence) {
  const RecordType& type = *FindRecordType(1);
  uint8_t record[25];
  EncodeRecord(type, PointValue{static_cast<int32_t>(sequence), 0, "P", 0, 1.0, {}}, record);
  std::vector<char> frame(FrameLength(type, 1));
  EncodeFrame(type, nullptr, record, 1, reinterpret_cast<uint8_t*>(frame.data()));
  return frame;
}

// The sequence numbers of the data records a peer received, in order.
std::vector<uint32_t> ReceivedSequences(const FakeHistorian& peer) {
  std::vector<uint32_t> sequences;
  for (const auto& frame : peer.Frames()) {
    DecodedFrame decoded;
    if (DecodeFrame(frame, &decoded) != FrameError::kNone || decoded.heartBeat) continue;
    if (decoded.type->code != 1) continue;
    for (uint16_t i = 0; i < decoded.count; ++i) {
      sequences.push_back(GetU32(decoded.records.data() + size_t{i} * decoded.type->recordBytes));
    }
  }
  return sequences;
}

std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
  std::vector<uint32_t> values;
  for (uint32_t i = from; i < to; ++i) values.push_back(i);
  return values;
}

class QueuedSendingTest : public UniversalTest {
 protected:
  ScopedTimeScale fast_{20};
  MessageCapture messages_;

  int32_t QueuedKey(bool ack, const char* cacheDirectory = nullptr, int32_t cacheSize = 0,
                    const char* prefix = "Q") {
    int32_t key = -1;
    EXPECT_EQ(VornMxUniversalInitialize(&key, ack ? 1 : 0, 1, cacheDirectory != nullptr ? 1 : 0,
                                        cacheSize, prefix, cacheDirectory),
              0);
    return key;
  }

  static int32_t Send(int32_t key, const std::vector<char>& frame) {
    return SendOrQueue(KeyAt(key), frame.data(), static_cast<int32_t>(frame.size()), 0);
  }
};

TEST_F(QueuedSendingTest, ServiceDownQueuesAndLaterFramesLineUpBehind) {
  int32_t key = QueuedKey(true);
  Key& connection = KeyAt(key);
  int32_t sends = connection.sendCount, errors = connection.sendErrorCount;
  EXPECT_EQ(Send(key, DataFrame(1)), 0);
  EXPECT_EQ(connection.sendCount.load() - sends, 1);
  EXPECT_EQ(connection.sendErrorCount.load() - errors, 1);
  EXPECT_EQ(connection.sendQueueCount.load(), 1);
  EXPECT_EQ(connection.queuingData.load(), 0);

  EXPECT_EQ(Send(key, DataFrame(2)), 0);
  EXPECT_EQ(connection.sendCount.load() - sends, 1);  // no send attempt this time
  EXPECT_EQ(connection.queuingData.load(), 1);
  EXPECT_EQ(connection.sendQueueCount.load(), 2);
  EXPECT_EQ(connection.sendQueueFull.load(), 0);
}

TEST_F(QueuedSendingTest, AFullQueueWithoutCacheRefusesTheFrame) {
  int32_t key = QueuedKey(true);
  for (uint32_t i = 0; i < kQueueSlots; ++i) ASSERT_EQ(Send(key, DataFrame(i)), 0) << i;
  EXPECT_EQ(Send(key, DataFrame(99)), kQueueRefused);
  EXPECT_EQ(KeyAt(key).sendQueueFull.load(), 1);
  EXPECT_EQ(messages_.Count("Error VornUniversalSendData Queue Full"), 1);
}

TEST_F(QueuedSendingTest, WithoutAQueueARejectionIsRetriedOnce) {
  FakeHistorian peer;
  int32_t key = NewKey(true);
  Attach(key, false, peer);
  Key& connection = KeyAt(key);
  // The counters live as long as the library, across re-use of the slot.
  int32_t naks = connection.nakCount, sends = connection.sendCount,
          errors = connection.sendErrorCount;
  peer.Script({Reply::Nak(), Reply::Ack()});
  EXPECT_EQ(Send(key, DataFrame(1)), 0);
  EXPECT_EQ(connection.nakCount.load() - naks, 1);
  EXPECT_EQ(connection.sendCount.load() - sends, 1);
  EXPECT_EQ(connection.sendErrorCount.load() - errors, 0);

  peer.Script({Reply::Nak(), Reply::Nak()});
  EXPECT_EQ(Send(key, DataFrame(2)), kRejected);
  EXPECT_EQ(connection.nakCount.load() - naks, 2);
  EXPECT_EQ(connection.sendErrorCount.load() - errors, 1);
}

TEST_F(QueuedSendingTest, QueuedFramesAreReplayedInOrderWhenTheServiceComesBack) {
  FakeHistorian peer;
  uint16_t port = peer.port();
  peer.Stop();
  int32_t key = QueuedKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), kConnectFailed);
  struct DebugLines {
    DebugLines() { VornMxSetDebugMsg(1); }
    ~DebugLines() { VornMxSetDebugMsg(0); }
  } debugLines;
  for (uint32_t i = 0; i < 30; ++i) ASSERT_EQ(Send(key, DataFrame(i)), 0);

  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 30; }));
  EXPECT_EQ(ReceivedSequences(peer), Range(0, 30));
  // Observers can count what waited and what was delivered later.
  EXPECT_EQ(messages_.Count("VornUniversalSendData() frame queued - records=1"), 30);
  ASSERT_TRUE(WaitUntil(
      [&] { return messages_.Count("QueueThread SendData() frame replayed - records=1") == 30; }));
  EXPECT_EQ(messages_.Count("SendData() PRI Data good ACK - records=1"), 30);
  // Once the queue is empty, frames go directly again.
  ASSERT_TRUE(WaitUntil([&] { return QueueCount(KeyAt(key).queue.load()) == 0; }));
  EXPECT_EQ(Send(key, DataFrame(30)), 0);
  EXPECT_EQ(KeyAt(key).queuingData.load(), 0);
}

TEST_F(QueuedSendingTest, AFailedConfigurationFrameMovesToTheTail) {
  FakeHistorian peer;
  uint16_t port = peer.port();
  peer.Stop();
  int32_t key = QueuedKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), kConnectFailed);
  std::vector<char> config = MakeFrame(21, 13, 1, 'C');
  ASSERT_EQ(SendOrQueue(KeyAt(key), config.data(), 21, 1), 0);
  ASSERT_EQ(Send(key, DataFrame(1)), 0);
  ASSERT_EQ(Send(key, DataFrame(2)), 0);

  // A configuration frame takes 0x06 and 0x15 alike; another byte fails it.
  peer.Script({Reply::Byte('X')});
  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 4; }));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(FrameRecordType(frames[0].data(), frames[0].size()), 13);
  EXPECT_EQ(ReceivedSequences(peer), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(FrameRecordType(frames[3].data(), frames[3].size()), 13);
}

TEST_F(QueuedSendingTest, FramesSpillIntoCacheFilesAndArriveOnceInOrder) {
  TempDirectory dir;
  FakeHistorian peer;
  peer.SetKeepFrames(true);
  uint16_t port = peer.port();
  peer.Stop();
  int32_t key = QueuedKey(true, dir.path().c_str(), 4090, "Spill");
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), kConnectFailed);
  // Records added and flushed one frame at a time, through the exports.
  constexpr uint32_t kFrames = 180;  // several ring images
  for (uint32_t i = 0; i < kFrames; ++i) {
    uint8_t record[25];
    EncodeRecord(*FindRecordType(1), PointValue{static_cast<int32_t>(i), 0, "P", 0, 0, {}}, record);
    ASSERT_EQ(VornMxAddUniversalRecord(key, 1, record, 1), 0);
    ASSERT_EQ(VornMxFlushUniversalRecord(key, 1), 0) << i;
  }
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
    files += entry.path().filename().string().rfind("Spill", 0) == 0;
  }
  EXPECT_GE(files, 2u);

  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= kFrames; }, std::chrono::seconds(30)));
  EXPECT_EQ(ReceivedSequences(peer), Range(0, kFrames));
}

TEST_F(QueuedSendingTest, ACacheLeftByAnEarlierKeyIsDeliveredFirst) {
  TempDirectory dir;
  FakeHistorian peer;
  uint16_t port = peer.port();
  peer.Stop();
  int32_t earlier = QueuedKey(true, dir.path().c_str(), 4090, "Left");
  // Frames 0-49 spill to file 1, which the next send reads back into
  // memory; 50-98 and 99-147 stay on disk in files 2 and 3; closing writes
  // what is in memory (0-49 and 148-159) to files too.
  for (uint32_t i = 0; i < 160; ++i) ASSERT_EQ(Send(earlier, DataFrame(i)), 0);
  VornMxUniversalCloseSocket(earlier);

  int32_t later = QueuedKey(true, dir.path().c_str(), 4090, "Left");
  EXPECT_EQ(VornMxUniversalDataConnect(later, "127.0.0.1", port, nullptr, 0), kConnectFailed);
  ASSERT_EQ(Send(later, DataFrame(1000)), 0);
  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 161; }));
  std::vector<uint32_t> expected = Range(0, 160);
  expected.push_back(1000);
  EXPECT_EQ(ReceivedSequences(peer), expected);
}

TEST_F(QueuedSendingTest, AFailedQueueSetUpGivesTheSlotBack) {
  TempDirectory dir;
  std::string missing = dir.File("no/such/dir");
  int32_t key = 77;
  EXPECT_EQ(VornMxUniversalInitialize(&key, 1, 1, 1, 0, "Q", missing.c_str()), kCacheNotEnabled);
  EXPECT_EQ(key, 77);
  EXPECT_EQ(messages_.Count("Error VornMxUniversalInitialize initializing cache key = 0"), 1);
  EXPECT_EQ(NewKey(true), 0);  // the slot is free again
}

TEST_F(QueuedSendingTest, HeartBeatsGoOutAtTheIntervalAndStop) {
  FakeHistorian peer;
  int32_t key = NewKey(false);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), nullptr, 0), 0);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), 0);
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 2; }));
  auto frames = peer.Frames();
  uint8_t heartBeat[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(heartBeat);
  EXPECT_EQ(frames[0], std::vector<uint8_t>(heartBeat, heartBeat + kHeartBeatFrameBytes));

  int threads = ThreadCount();
  EXPECT_EQ(VornMxSetHeartBeat(key, 2), 0);  // a new interval, no second thread
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(VornMxSetHeartBeat(key, 0), 0);
  ASSERT_TRUE(WaitUntil([&] {
    platform::MutexLock lock(KeyAt(key).heartBeatMutex);
    return !KeyAt(key).heartBeatRunning;
  }));
  int64_t count = peer.FrameCount();
  platform::SleepMs(1500);
  EXPECT_EQ(peer.FrameCount(), count);
  EXPECT_EQ(VornMxSetHeartBeat(50, 1), -1);  // a free slot
}

TEST_F(QueuedSendingTest, AHeartBeatThatCouldNotStartCanBeStartedLater) {
  FakeHistorian peer;
  int32_t key = NewKey(false);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), nullptr, 0), 0);
  platform::FailNextThreadStarts(1);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), -2);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), 0);
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 1; }));
}

TEST_F(QueuedSendingTest, HeartBeatsOfADisconnectedQueuedKeyAreDeliveredLater) {
  FakeHistorian peer;
  uint16_t port = peer.port();
  peer.Stop();
  int32_t key = QueuedKey(false);
  EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), kConnectFailed);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), 0);
  ASSERT_TRUE(WaitUntil([&] { return QueueCount(KeyAt(key).queue.load()) >= 2; }));
  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 2; }));
  EXPECT_EQ(peer.Frames()[0].size(), kHeartBeatFrameBytes);
}

TEST_F(QueuedSendingTest, ClosingAQueuedKeyEndsItsThreadsPromptly) {
  FakeHistorian peer;
  peer.SetDefaultReply(Reply::Silent());
  int threads = ThreadCount();  // with the peer's and any runtime threads
  int32_t key = QueuedKey(true);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), nullptr, 0), 0);
  ASSERT_EQ(VornMxSetHeartBeat(key, 1), 0);
  ASSERT_EQ(Send(key, DataFrame(1)), 0);  // unanswered: queued for the queue thread
  ScopedTimeScale realTime(1);
  auto start = std::chrono::steady_clock::now();
  VornMxUniversalCloseSocket(key);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(KeyAt(key).queue.load(), nullptr);
  peer.Stop();
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }));
}

}  // namespace
}  // namespace histfeed::testing
