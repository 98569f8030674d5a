// SPDX-License-Identifier: Apache-2.0
// Frames per second through SendData to a loopback peer, beside the same
// frames sent over a plain socket: with acknowledgement against a raw
// ping-pong (send, read one byte), without against a raw blast.
#include <benchmark/benchmark.h>

#include <vector>

#include "histfeed.h"
#include "bench/raw_loopback.h"
#include "tests/support/fake_historian.h"
#include "universal/key.h"

namespace histfeed {
namespace {

using testing::FakeHistorian;
using testing::MakeFrame;
using testing::Reply;

void RawPingPong(benchmark::State& state) {
  bench::RawPingPong(state, static_cast<int32_t>(state.range(0)), 1);
}

void RawBlast(benchmark::State& state) {
  bench::RawBlast(state, static_cast<int32_t>(state.range(0)), 1);
}

void SendDataFrames(benchmark::State& state, bool ack) {
  FakeHistorian peer;
  peer.SetKeepFrames(false);
  if (!ack) peer.SetDefaultReply(Reply::Silent());
  int32_t key = -1;
  VornMxUniversalInitialize(&key, ack ? 1 : 0, 0, 0, 0, nullptr, nullptr);
  if (VornMxUniversalDataConnect(key, "127.0.0.1", peer.port(), "", 0) != 0) {
    state.SkipWithError("connect failed");
  }
  std::vector<char> frame = MakeFrame(static_cast<int32_t>(state.range(0)));
  universal::Transport& transport = universal::KeyAt(key).transport();
  for (auto _ : state) {
    if (transport.Send(frame.data(), static_cast<int32_t>(frame.size()), false) != 0) {
      state.SkipWithError("SendData failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  VornMxUniversalCloseSocket(key);
}

void SendDataWithAck(benchmark::State& state) { SendDataFrames(state, true); }
void SendDataWithoutAck(benchmark::State& state) { SendDataFrames(state, false); }

// 37 bytes: one point value; 8,162 bytes: a nearly full frame. Each
// candidate runs right after its baseline, so both meet the same load.
BENCHMARK(RawPingPong)->Arg(37)->UseRealTime();
BENCHMARK(SendDataWithAck)->Arg(37)->UseRealTime();
BENCHMARK(RawPingPong)->Arg(8162)->UseRealTime();
BENCHMARK(SendDataWithAck)->Arg(8162)->UseRealTime();
BENCHMARK(RawBlast)->Arg(37)->UseRealTime();
BENCHMARK(SendDataWithoutAck)->Arg(37)->UseRealTime();
BENCHMARK(RawBlast)->Arg(8162)->UseRealTime();
BENCHMARK(SendDataWithoutAck)->Arg(8162)->UseRealTime();

}  // namespace
}  // namespace histfeed

BENCHMARK_MAIN();
