// SPDX-License-Identifier: Apache-2.0
// Records per second through the universal record paths to a loopback
// peer, each beside the raw loopback baseline of the same frames, and the
// replay rate of a queued backlog beside direct sending.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/raw_loopback.h"
#include "histfeed.h"
#include "platform/clock.h"
#include "platform/lazy_semaphore.h"
#include "tests/support/fake_historian.h"
#include "tests/support/temp_directory.h"
#include "wire/frame_format.h"
#include "universal/key.h"

namespace histfeed {
namespace {

using testing::FakeHistorian;
using testing::Reply;

constexpr int32_t kPointRecords = 326;  // a full PointIdRec frame: 8,162 bytes
constexpr int32_t kPointFrameBytes = 12 + kPointRecords * 25;
constexpr int32_t kBlockRecords = 510;  // a full PointIdBlockRec frame: 8,181 bytes
constexpr int32_t kBlockFrameBytes = 12 + 9 + kBlockRecords * 16;

class ConnectedKey {
 public:
  explicit ConnectedKey(bool ack) {
    peer_.SetKeepFrames(false);
    if (!ack) peer_.SetDefaultReply(Reply::Silent());
    VornMxUniversalInitialize(&key_, ack ? 1 : 0, 0, 0, 0, nullptr, nullptr);
    connected_ = VornMxUniversalDataConnect(key_, "127.0.0.1", peer_.port(), nullptr, 0) == 0;
  }
  ~ConnectedKey() { VornMxUniversalCloseSocket(key_); }
  int32_t key() const { return key_; }
  bool connected() const { return connected_; }

 private:
  FakeHistorian peer_;
  int32_t key_ = -1;
  bool connected_ = false;
};

void AddAndFlushFullFrames(benchmark::State& state, bool ack) {
  ConnectedKey connection(ack);
  if (!connection.connected()) state.SkipWithError("connect failed");
  std::vector<uint8_t> records(size_t{kPointRecords} * 25);
  for (int32_t i = 0; i < kPointRecords; ++i) {
    universal::EncodeRecord(*universal::FindRecordType(1),
                            universal::PointValue{i, 0, "TIC101", 0, 1.0 * i, {}}, &records[i * 25]);
  }
  for (auto _ : state) {
    if (VornMxAddUniversalRecord(connection.key(), 1, records.data(), kPointRecords) != 0 ||
        VornMxFlushUniversalRecord(connection.key(), 1) != 0) {
      state.SkipWithError("add or flush failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kPointRecords);
}

void AddRecords(benchmark::State& state, bool ack, bool block) {
  ConnectedKey connection(ack);
  if (!connection.connected()) state.SkipWithError("connect failed");
  int32_t time = 1700000000;
  for (auto _ : state) {
    ++time;
    int32_t result = block ? VornMxAddBlockRecByPointId(connection.key(), "TIC101", time, 0, 0, 1.5)
                           : VornMxAddRec(connection.key(), "TIC101", time, 0, 0, 1.5);
    if (result != 0) {
      state.SkipWithError("add failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// Baseline of the add path alone: what any add must do, take a lock and
// copy a ready record into the buffer. The lock is the binary semaphore
// the key's lock used to be, so that figures compare across versions.
void LockAndCopyRecord(benchmark::State& state) {
  platform::LazySemaphore lock;
  std::vector<uint8_t> buffer(size_t{kPointRecords} * 25);
  uint8_t record[25];
  universal::EncodeRecord(*universal::FindRecordType(1),
                          universal::PointValue{1, 0, "TIC101", 0, 1.5, {}}, record);
  int32_t count = 0;
  for (auto _ : state) {
    platform::SemWait(lock, platform::kWaitForever);
    std::memcpy(&buffer[size_t(count) * 25], record, 25);
    count = count + 1 < kPointRecords ? count + 1 : 0;
    platform::SemRelease(lock);
    benchmark::DoNotOptimize(buffer.data());
  }
  platform::SemDestroy(lock);
  state.SetItemsProcessed(state.iterations());
}

// The add path with no network: a key that is not connected, whose full
// buffer gives up one frame's worth as unsent (-106) and goes on.
void AddRecNotConnected(benchmark::State& state) {
  int32_t key = -1;
  VornMxUniversalInitialize(&key, 0, 0, 0, 0, nullptr, nullptr);
  int32_t time = 1700000000;
  for (auto _ : state) {
    ++time;
    int32_t result = VornMxAddRec(key, "TIC101", time, 0, 0, 1.5);
    if (result != 0 && result != HISTFEED_NOT_SENT) {
      state.SkipWithError("add failed");
      break;
    }
  }
  VornMxUniversalCloseSocket(key);
  state.SetItemsProcessed(state.iterations());
}

void RawPingPongPointFrames(benchmark::State& s) { bench::RawPingPong(s, kPointFrameBytes, kPointRecords); }
void RawBlastPointFrames(benchmark::State& s) { bench::RawBlast(s, kPointFrameBytes, kPointRecords); }
void RawPingPongBlockFrames(benchmark::State& s) { bench::RawPingPong(s, kBlockFrameBytes, kBlockRecords); }
void RawBlastBlockFrames(benchmark::State& s) { bench::RawBlast(s, kBlockFrameBytes, kBlockRecords); }
void AddUniversalRecordAndFlushWithAck(benchmark::State& s) { AddAndFlushFullFrames(s, true); }
void AddUniversalRecordAndFlushWithoutAck(benchmark::State& s) { AddAndFlushFullFrames(s, false); }
void AddRecWithAck(benchmark::State& s) { AddRecords(s, true, false); }
void AddRecWithoutAck(benchmark::State& s) { AddRecords(s, false, false); }
void AddBlockRecByPointIdWithAck(benchmark::State& s) { AddRecords(s, true, true); }
void AddBlockRecByPointIdWithoutAck(benchmark::State& s) { AddRecords(s, false, true); }

// Each candidate runs right after its baseline, so both meet the same load.
BENCHMARK(LockAndCopyRecord);
BENCHMARK(AddRecNotConnected);
BENCHMARK(RawPingPongPointFrames)->UseRealTime();
BENCHMARK(AddUniversalRecordAndFlushWithAck)->UseRealTime();
BENCHMARK(AddRecWithAck)->UseRealTime();
BENCHMARK(RawBlastPointFrames)->UseRealTime();
BENCHMARK(AddUniversalRecordAndFlushWithoutAck)->UseRealTime();
BENCHMARK(AddRecWithoutAck)->UseRealTime();
BENCHMARK(RawPingPongBlockFrames)->UseRealTime();
BENCHMARK(AddBlockRecByPointIdWithAck)->UseRealTime();
BENCHMARK(RawBlastBlockFrames)->UseRealTime();
BENCHMARK(AddBlockRecByPointIdWithoutAck)->UseRealTime();

constexpr int32_t kBacklog = 1000;

std::vector<char> SmallFrame() { return testing::MakeFrame(37); }

// Baseline: the same frames sent directly on a connected key.
void DirectSendBacklogFrames(benchmark::State& state) {
  ConnectedKey connection(true);
  std::vector<char> frame = SmallFrame();
  universal::Outbox& outbox = universal::KeyAt(connection.key()).outbox();
  for (auto _ : state) {
    for (int32_t i = 0; i < kBacklog; ++i) {
      if (outbox.SendOrQueue(frame.data(), 37, false) != 0) {
        state.SkipWithError("send failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kBacklog);
}

// 1,000 frames queued (through the disk cache) while the service was down,
// timed from the reconnect until the service has them all.
void ReplayQueuedBacklog(benchmark::State& state) {
  for (auto _ : state) {
    testing::TempDirectory dir;
    FakeHistorian peer;
    peer.SetKeepFrames(false);
    uint16_t port = peer.port();
    peer.Stop();
    platform::SetTimeScale(100);  // reconnect rounds pass quickly
    int32_t key = -1;
    VornMxUniversalInitialize(&key, 1, 1, 1, 40900, "Replay", dir.path().c_str());
    VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0);
    std::vector<char> frame = SmallFrame();
    universal::Outbox& queued = universal::KeyAt(key).outbox();
    for (int32_t i = 0; i < kBacklog; ++i) {
      queued.SendOrQueue(frame.data(), 37, false);
    }
    peer.Start();
    while (ISVornMxUniversalConnected(key) == 0) std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    while (peer.FrameCount() < kBacklog) std::this_thread::sleep_for(std::chrono::microseconds(50));
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    VornMxUniversalCloseSocket(key);
    platform::SetTimeScale(1);
  }
  state.SetItemsProcessed(state.iterations() * kBacklog);
}

BENCHMARK(DirectSendBacklogFrames)->UseRealTime();
BENCHMARK(ReplayQueuedBacklog)->UseManualTime()->Iterations(5);

}  // namespace
}  // namespace histfeed

BENCHMARK_MAIN();
