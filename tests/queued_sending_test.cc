// SPDX-License-Identifier: Apache-2.0
// Queued sending of the universal family: the send-or-queue step and its
// counters, ordered replay by the queue thread, the disk cache behind the
// queue, and the heartbeat.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "histfeed.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "queue/record_queue.h"
#include "tests/support/failing_platform.h"
#include "tests/support/fake_historian.h"
#include "tests/support/message_capture.h"
#include "tests/support/process_resources.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/temp_directory.h"
#include "tests/support/universal_fixture.h"
#include "wire/frame_format.h"
#include "universal/key.h"
#include "universal/outbox.h"

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

  // A queued key whose service is down: `peer` stops, the connection to
  // its port fails, and every frame waits in the queue until it starts.
  int32_t KeyWithServiceDown(FakeHistorian& peer, bool ack, const char* cacheDirectory = nullptr,
                             int32_t cacheSize = 0, const char* prefix = "Q") {
    uint16_t port = peer.port();
    peer.Stop();
    int32_t key = QueuedKey(ack, cacheDirectory, cacheSize, prefix);
    EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0),
              HISTFEED_CONNECT_FAILED);
    return key;
  }

  static int32_t Send(int32_t key, const std::vector<char>& frame, bool isConfig = false) {
    return KeyAt(key).outbox().SendOrQueue(frame.data(), static_cast<int32_t>(frame.size()),
                                           isConfig);
  }

  static SendCounters Counters(int32_t key) { return KeyAt(key).outbox().Counters(); }

  static RecordQueue& QueueOf(int32_t key) { return *KeyAt(key).outbox().QueueForTesting(); }
};

TEST_F(QueuedSendingTest, ServiceDownQueuesAndLaterFramesLineUpBehind) {
  int32_t key = QueuedKey(true);
  const SendCounters before = Counters(key);
  EXPECT_EQ(Send(key, DataFrame(1)), 0);
  EXPECT_EQ(Counters(key).sendCount - before.sendCount, 1);
  EXPECT_EQ(Counters(key).sendErrorCount - before.sendErrorCount, 1);
  EXPECT_EQ(Counters(key).sendQueueCount, 1);
  EXPECT_EQ(Counters(key).queuingData, 0);

  EXPECT_EQ(Send(key, DataFrame(2)), 0);
  EXPECT_EQ(Counters(key).sendCount - before.sendCount, 1);  // no send attempt this time
  EXPECT_EQ(Counters(key).queuingData, 1);
  EXPECT_EQ(Counters(key).sendQueueCount, 2);
  EXPECT_EQ(Counters(key).sendQueueFull, 0);

  // Closing reports the values by their status item names (a trace line).
  const SendCounters last = Counters(key);
  VornMxSetDebugMsg(1);
  VornMxUniversalCloseSocket(key);
  EXPECT_EQ(messages_.Count("VornMxUniversalCloseSocket key = " + std::to_string(key) +
                            " SEND_COUNT=" + std::to_string(last.sendCount) +
                            " SEND_QUEUE_FULL=0 SEND_QUEUE_COUNT=2 SEND_ERROR_COUNT=" +
                            std::to_string(last.sendErrorCount) + " NAK_COUNT=" +
                            std::to_string(last.nakCount) +
                            " QUEUING_DATA=1 ACK_ENABLED=1 QUEUE_ENABLED=1 CACHE_ENABLED=0"
                            " CURRENT_CONNECTION=0 PRIMARY_CONNECTION=0 SECONDARY_CONNECTION=2"),
            1);
}

TEST_F(QueuedSendingTest, AFullQueueWithoutCacheRefusesTheFrame) {
  int32_t key = QueuedKey(true);
  for (uint32_t i = 0; i < kQueueSlots; ++i) ASSERT_EQ(Send(key, DataFrame(i)), 0) << i;
  EXPECT_EQ(Send(key, DataFrame(99)), HISTFEED_QUEUE_FULL);
  EXPECT_EQ(Counters(key).sendQueueFull, 1);
  EXPECT_EQ(messages_.Count("Error VornUniversalSendData Queue Full"), 1);
}

TEST_F(QueuedSendingTest, WithoutAQueueARejectionIsRetriedOnce) {
  FakeHistorian peer;
  int32_t key = NewKey(true);
  Attach(key, false, peer);
  // The counters live as long as the library, across re-use of the slot.
  const SendCounters before = Counters(key);
  peer.Script({Reply::Nak(), Reply::Ack()});
  EXPECT_EQ(Send(key, DataFrame(1)), 0);
  EXPECT_EQ(Counters(key).nakCount - before.nakCount, 1);
  EXPECT_EQ(Counters(key).sendCount - before.sendCount, 1);
  EXPECT_EQ(Counters(key).sendErrorCount - before.sendErrorCount, 0);

  peer.Script({Reply::Nak(), Reply::Nak()});
  EXPECT_EQ(Send(key, DataFrame(2)), HISTFEED_REJECTED);
  EXPECT_EQ(Counters(key).nakCount - before.nakCount, 2);
  EXPECT_EQ(Counters(key).sendErrorCount - before.sendErrorCount, 1);
}

TEST_F(QueuedSendingTest, QueuedFramesAreReplayedInOrderWhenTheServiceComesBack) {
  FakeHistorian peer;
  int32_t key = KeyWithServiceDown(peer, true);
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
  ASSERT_TRUE(WaitUntil([&] { return QueueOf(key).Count() == 0; }));
  EXPECT_EQ(Send(key, DataFrame(30)), 0);
  EXPECT_EQ(Counters(key).queuingData, 0);
}

TEST_F(QueuedSendingTest, AFailedConfigurationFrameMovesToTheTail) {
  FakeHistorian peer;
  int32_t key = KeyWithServiceDown(peer, true);
  std::vector<char> config = MakeFrame(21, 13, 1, 'C');
  ASSERT_EQ(Send(key, config, /*isConfig=*/true), 0);
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

TEST_F(QueuedSendingTest, ConfigurationFramesKeepTheirOrderWhileDataPasses) {
  FakeHistorian peer;
  int32_t key = KeyWithServiceDown(peer, true);
  // A point's configuration, data, its later deletion, more data.
  std::vector<char> configure = MakeFrame(21, 13, 1, 'A');
  std::vector<char> remove = MakeFrame(21, 13, 1, 'B');
  ASSERT_EQ(Send(key, configure, /*isConfig=*/true), 0);
  ASSERT_EQ(Send(key, DataFrame(1)), 0);
  ASSERT_EQ(Send(key, remove, /*isConfig=*/true), 0);
  ASSERT_EQ(Send(key, DataFrame(2)), 0);

  peer.Script({Reply::Byte('X')});  // the first configuration fails once
  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 5; }));
  std::string configs;
  for (const auto& frame : peer.Frames()) {
    if (FrameRecordType(frame.data(), frame.size()) == 13) configs += static_cast<char>(frame[10]);
  }
  // Data went past the failed configuration; the deletion did not.
  EXPECT_EQ(configs, "AAB");
  EXPECT_EQ(ReceivedSequences(peer), (std::vector<uint32_t>{1, 2}));
}

TEST_F(QueuedSendingTest, InvalidFramesAndConfigurationsRefusedAloneAreSetAside) {
  TempDirectory dir;
  FakeHistorian peer;
  // The configuration 'P' gets a byte that is no answer every time (0x15
  // would count as taken for a configuration); everything else is taken.
  peer.SetResponder([](const std::vector<uint8_t>& frame) {
    bool poison = FrameRecordType(frame.data(), frame.size()) == 13 && frame[10] == 'P';
    return poison ? Reply::Byte('X') : Reply::Ack();
  });
  uint16_t port = peer.port();
  peer.Stop();
  int32_t cached = QueuedKey(true, dir.path().c_str(), 4090, "Poison");
  int32_t uncached = QueuedKey(true);
  std::vector<char> bent = DataFrame(99);
  bent.back() = 0;  // a damaged end marker
  std::vector<char> poison = MakeFrame(21, 13, 1, 'P');
  for (int32_t key : {cached, uncached}) {
    EXPECT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), HISTFEED_CONNECT_FAILED);
    ASSERT_EQ(Send(key, DataFrame(1)), 0);
    ASSERT_EQ(QueueOf(key).Push(bent.data(), static_cast<uint16_t>(bent.size())), 0);
    ASSERT_EQ(Send(key, poison, /*isConfig=*/true), 0);
    ASSERT_EQ(Send(key, DataFrame(2)), 0);
    ASSERT_EQ(Send(key, DataFrame(3)), 0);
  }
  ASSERT_TRUE(peer.Start());
  std::string aside = dir.File("PoisonSetAside.que.bad");
  ASSERT_TRUE(WaitUntil([&] {
    return messages_.Count("QueueThread set aside a frame of key 0 (rejected by every connected "
                           "service, which takes data): type 13, 1 records, in " + aside) == 1 &&
           messages_.Count("QueueThread dropped a frame of key 1 (rejected by every connected "
                           "service, which takes data): type 13, 1 records lost, the queue has no "
                           "disk cache") == 1;
  })) << ::testing::PrintToString(messages_.Lines());
  auto got = ReceivedSequences(peer);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<uint32_t>{1, 1, 2, 2, 3, 3}));  // each once per key, never 99
  int poisonTries = 0;
  for (const auto& frame : peer.Frames()) {
    poisonTries += FrameRecordType(frame.data(), frame.size()) == 13 && frame[10] == 'P';
  }
  EXPECT_EQ(poisonTries, 2 * 12);  // a bounded number of tries each

  std::ifstream in(aside, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::string expected = std::string{static_cast<char>(bent.size()), 0} +
                         std::string(bent.begin(), bent.end()) +
                         std::string{static_cast<char>(poison.size()), 0} +
                         std::string(poison.begin(), poison.end());
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(messages_.Count("QueueThread set aside a frame of key 0 (not a valid frame): type 1, "
                            "1 records, in " + aside), 1);
  // Without a cache directory there is nowhere to keep them: said, then dropped.
  EXPECT_EQ(messages_.Count("QueueThread dropped a frame of key 1 (not a valid frame): type 1, 1 "
                            "records lost, the queue has no disk cache"), 1);
}

// A service that cannot store (its database away) rejects every frame for
// as long as that lasts: the queue keeps them, in order, as it does for a
// service that is down.
TEST_F(QueuedSendingTest, FramesEveryServiceRejectsWaitInOrderUntilOneTakesThem) {
  TempDirectory dir;
  FakeHistorian peer;
  std::atomic<int> answered{0};
  peer.SetResponder([&](const std::vector<uint8_t>&) {
    return ++answered <= 20 ? Reply::Nak() : Reply::Ack();
  });
  int32_t key = KeyWithServiceDown(peer, true, dir.path().c_str(), 4090);
  std::vector<char> config = MakeFrame(21, 13, 1, 'C');
  ASSERT_EQ(Send(key, DataFrame(1)), 0);
  ASSERT_EQ(Send(key, config, /*isConfig=*/true), 0);
  ASSERT_EQ(Send(key, DataFrame(2)), 0);
  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(WaitUntil([&] { return answered.load() >= 23; }));
  // Frame 1 was tried until it was taken, then the rest in their order.
  std::vector<uint32_t> expected(21, 1u);
  expected.push_back(2);
  EXPECT_EQ(ReceivedSequences(peer), expected);
  int configs = 0;
  for (const auto& frame : peer.Frames()) configs += FrameRecordType(frame.data(), frame.size()) == 13;
  EXPECT_EQ(configs, 1);
  EXPECT_EQ(messages_.Count("QueueThread: every connected service rejects the frame at the head "
                            "of key 0's queue (12 times so far); it stays there and is tried "
                            "again every second"), 1);
  for (const std::string& line : messages_.Lines()) EXPECT_EQ(line.find("set aside"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("QSetAside.que.bad")));
}

// Refuses to create files, as a read-only directory would.
class ReadOnlyFiles : public platform::FileSystemWrapper {
 public:
  ReadOnlyFiles() : FileSystemWrapper(platform::DefaultFiles()) {}
  std::atomic<bool> readOnly{false};
  std::unique_ptr<platform::OutputFile> CreateFile(const std::string& path) override {
    if (!readOnly) return FileSystemWrapper::CreateFile(path);
    errno = EROFS;
    return nullptr;
  }
};

TEST_F(QueuedSendingTest, ClosingAKeyWhoseFramesCannotBeSavedSaysWhatIsLost) {
  TempDirectory dir;
  ReadOnlyFiles files;
  platform::SetFilesForTesting(&files);
  int32_t cached = QueuedKey(true, dir.path().c_str(), 4090, "Lost");
  int32_t uncached = QueuedKey(true);
  EXPECT_EQ(VornMxUniversalDataConnect(cached, "127.0.0.1", 1, nullptr, 0), HISTFEED_CONNECT_FAILED);
  EXPECT_EQ(VornMxUniversalDataConnect(uncached, "127.0.0.1", 1, nullptr, 0), HISTFEED_CONNECT_FAILED);
  files.readOnly = true;
  for (uint32_t i = 0; i < 50; ++i) ASSERT_EQ(Send(cached, DataFrame(i)), 0);
  ASSERT_EQ(Send(cached, DataFrame(50)), HISTFEED_QUEUE_FULL);  // the spill fails
  EXPECT_EQ(messages_.Count("Cache spill failed, " + dir.File("Lost1.que") + ": " +
                            std::strerror(EROFS) + "; records are refused until a spill succeeds"),
            1);
  ASSERT_EQ(Send(uncached, DataFrame(7)), 0);
  VornMxUniversalCloseSocket(cached);
  VornMxUniversalCloseSocket(uncached);
  platform::SetFilesForTesting(nullptr);
  EXPECT_EQ(messages_.Count("Error VornMxUniversalCloseSocket key = 0 lost 50 queued frames (50 "
                            "values): cache file in " + dir.path() + " could not be written: " +
                            std::strerror(EROFS)), 1);
  EXPECT_EQ(messages_.Count("Error VornMxUniversalCloseSocket key = 1 lost 1 queued frames (1 "
                            "values): the queue has no disk cache"), 1);
}

TEST_F(QueuedSendingTest, FramesSpillIntoCacheFilesAndArriveOnceInOrder) {
  TempDirectory dir;
  FakeHistorian peer;
  peer.SetKeepFrames(true);
  int32_t key = KeyWithServiceDown(peer, true, dir.path().c_str(), 4090, "Spill");
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

// Files in `dir` whose names begin with `prefix`, whatever their ending.
size_t FilesStartingWith(const TempDirectory& dir, const std::string& prefix) {
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
    files += entry.path().filename().string().rfind(prefix, 0) == 0;
  }
  return files;
}

TEST_F(QueuedSendingTest, TheCacheHoldsItsFileLimitAndEveryAcceptedFrameArrivesOnce) {
  // A file holds one ring image of about 409 KB; cacheSize / 409 files are
  // allowed, and at least one.
  const struct {
    int32_t cacheSize;
    uint32_t files;
  } kLimits[] = {{0, 1}, {817, 1}, {818, 2}, {4090, 10}};
  for (const auto& limit : kLimits) {
    SCOPED_TRACE(limit.cacheSize);
    TempDirectory dir;
    FakeHistorian peer;
    peer.SetKeepFrames(true);
    int32_t key = KeyWithServiceDown(peer, true, dir.path().c_str(), limit.cacheSize, "Lim");
    messages_.Clear();
    // The ring takes 50 frames on its first pass and 49 after each spill.
    const uint32_t expected = 50 + 49 * limit.files;
    uint32_t accepted = 0;
    int32_t result = 0;
    for (; accepted <= expected; ++accepted) {
      uint8_t record[25];
      EncodeRecord(*FindRecordType(1), PointValue{static_cast<int32_t>(accepted), 0, "P", 0, 0, {}},
                   record);
      ASSERT_EQ(VornMxAddUniversalRecord(key, 1, record, 1), 0);
      result = VornMxFlushUniversalRecord(key, 1);
      ASSERT_LE(FilesStartingWith(dir, "Lim"), limit.files) << accepted;
      if (result != 0) break;
    }
    EXPECT_EQ(result, HISTFEED_QUEUE_FULL);
    EXPECT_EQ(accepted, expected);
    EXPECT_EQ(messages_.Count("Error VornUniversalSendData Queue Full"), 1);

    ASSERT_TRUE(peer.Start());
    ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= accepted; }, std::chrono::seconds(30)));
    EXPECT_EQ(ReceivedSequences(peer), Range(0, accepted));
    VornMxUniversalCloseSocket(key);
  }
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
  EXPECT_EQ(VornMxUniversalDataConnect(later, "127.0.0.1", port, nullptr, 0), HISTFEED_CONNECT_FAILED);
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
  EXPECT_EQ(VornMxUniversalInitialize(&key, 1, 1, 1, 0, "Q", missing.c_str()), HISTFEED_CACHE_NOT_ENABLED);
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
  ASSERT_TRUE(WaitUntil([&] { return !KeyAt(key).heartBeat().Running(); }));
  int64_t count = peer.FrameCount();
  platform::SleepMs(1500);
  EXPECT_EQ(peer.FrameCount(), count);
  EXPECT_EQ(VornMxSetHeartBeat(50, 1), -1);  // a free slot
}

TEST_F(QueuedSendingTest, AHeartBeatThatCouldNotStartCanBeStartedLater) {
  FakeHistorian peer;
  int32_t key = NewKey(false);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), nullptr, 0), 0);
  testing::FailNextThreadStarts(1);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), -2);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), 0);
  ASSERT_TRUE(WaitUntil([&] { return peer.FrameCount() >= 1; }));
}

TEST_F(QueuedSendingTest, HeartBeatsOfADisconnectedQueuedKeyAreDeliveredLater) {
  FakeHistorian peer;
  int32_t key = KeyWithServiceDown(peer, false);
  EXPECT_EQ(VornMxSetHeartBeat(key, 1), 0);
  ASSERT_TRUE(WaitUntil([&] { return QueueOf(key).Count() >= 2; }));
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
  EXPECT_EQ(KeyAt(key).outbox().QueueForTesting(), nullptr);
  peer.Stop();
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }));
}

}  // namespace
}  // namespace histfeed::testing
