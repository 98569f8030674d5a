// SPDX-License-Identifier: Apache-2.0
// Buffers delivered per second by the sender thread through a plug-in that
// answers at once, beside a loop in this thread that calls the same plug-in
// functions directly for the same number of buffers, in the same run.
//
// Each round queues one buffer for each of kBuffersPerRound services while
// the sender is held back, then times the sender until the last one has
// been answered:
// - held_in_plugin: the sender waits inside the plug-in's exchange of a
//   buffer of its own, and is timed from the moment it goes on (after its
//   wake-up) to the last answer. That is its delivery pace.
// - held_by_buffer_lock: the sender sleeps on the buffer lock, and the
//   round also pays for waking it.
//
// The whole benchmark runs on the processor it starts on, so the sender
// finds the buffers in the same caches as the direct loop finds its
// requests. On two processors the sender also pays for fetching what
// another processor wrote, which on this kind of virtual machine varies
// with the host's placement from run to run; set
// SENDER_BENCH_ANY_PROCESSOR=1 to measure it that way.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "histfeed/tarvo_plugin.h"
#include "histfeed.h"
#include "platform/dynamic_library.h"

namespace {

using namespace histfeed::classic;

constexpr int kBuffersPerRound = 400;

histfeed::platform::DynamicLibrary* Plugin() {
  static histfeed::platform::DynamicLibrary* plugin =
      histfeed::platform::LoadDynamicLibrary(ANSWERING_PLUGIN_PATH, nullptr);
  return plugin;
}

template <typename Function>
Function Find(const char* name) {
  return reinterpret_cast<Function>(histfeed::platform::FindLibraryFunction(Plugin(), name, 0));
}

long Exchanges() {
  static auto count = Find<long (*)()>("AnsweringPluginExchanges");
  return count();
}

// The plug-in notes when the exchange count reaches a target. This thread
// sleeps until then without waking, so that it takes no share of a
// processor from the sender, and the round ends at the noted time.
void SignalAt(long target) {
  static auto signalAt = Find<void (*)(long)>("AnsweringPluginSignalAt");
  signalAt(target);
}

std::chrono::steady_clock::time_point WaitUntilReached() {
  static auto wait = Find<long long (*)()>("AnsweringPluginWaitUntilReached");
  // Both clocks are the monotonic clock of the system.
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wait()));
}

// One record in the short buffer of `service`; returns the buffer.
BufferNumber FillBuffer(const char* service) {
  BufferNumber b = ServiceBuffers().Acquire(service, kShortIdKind);
  SetRecordCount(ServiceBuffers()[b], 1);
  ServiceBuffers().Release(b);
  return b;
}

// One record in each of kBuffersPerRound short buffers of their own.
void FillBuffers() {
  for (int i = 0; i < kBuffersPerRound; ++i) FillBuffer(("Service" + std::to_string(i)).c_str());
}

// Parks the sender inside the plug-in's exchange of a buffer of its own.
void HoldSenderInPlugin() {
  static auto closeGate = Find<void (*)()>("AnsweringPluginCloseGate");
  static auto waitingAtGate = Find<int (*)()>("AnsweringPluginWaitingAtGate");
  closeGate();
  ServiceBuffers().Queue(FillBuffer("Gate"));
  while (waitingAtGate() == 0) std::this_thread::yield();
}

void ReleaseSenderFromPlugin() {
  static auto openGate = Find<void (*)()>("AnsweringPluginOpenGate");
  openGate();
}

// When the parked sender went on, after its wake-up.
std::chrono::steady_clock::time_point PassedGateAt() {
  static auto passedAtNs = Find<long long (*)()>("AnsweringPluginPassedGateAtNs");
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(passedAtNs()));
}

// Exchanges the plug-in has answered once every buffer queued so far has
// been delivered.
long QueueAllLocked() {
  long target = Exchanges();
  for (int32_t b = 0; b < kServiceBufferCount; ++b) {
    target += ServiceBuffers().QueueLocked(BufferNumber(b)) ? 1 : 0;
  }
  return target;
}

enum Hold { kInPlugin, kByBufferLock };

void BM_SenderDelivers(benchmark::State& state, Hold hold) {
  if (Plugin() == nullptr || StartSender() != 1) {
    state.SkipWithError("the answering plug-in did not load");
    return;
  }
  ClassicState& shared = Classic();
  for (auto _ : state) {
    if (hold == kInPlugin) HoldSenderInPlugin();
    FillBuffers();
    shared.bufferLock.Lock();
    long target = QueueAllLocked();
    if (hold == kInPlugin) {
      shared.bufferLock.Unlock();
      ++target;  // the parked buffer's exchange
    }
    SignalAt(target);
    auto start = std::chrono::steady_clock::now();
    if (hold == kInPlugin) {
      ReleaseSenderFromPlugin();
    } else {
      shared.bufferLock.Unlock();
    }
    auto end = WaitUntilReached();
    if (hold == kInPlugin) start = PassedGateAt();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.SetItemsProcessed(state.iterations() * kBuffersPerRound);
}
BENCHMARK_CAPTURE(BM_SenderDelivers, held_in_plugin, kInPlugin)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SenderDelivers, held_by_buffer_lock, kByBufferLock)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Baseline: connect, copy the request, stamp and exchange, per buffer.
void BM_DirectPluginCalls(benchmark::State& state) {
  if (Plugin() == nullptr) {
    state.SkipWithError("the answering plug-in did not load");
    return;
  }
  auto connect = Find<TarvoConnectFunction>(TARVO_SYMBOL_CONNECT);
  auto stamp = Find<TarvoStampFunction>(TARVO_SYMBOL_STAMP);
  auto exchange = Find<TarvoExchangeFunction>(TARVO_SYMBOL_SHORT_ID_EXCHANGE);
  static uint8_t images[kBuffersPerRound][TARVO_SHORT_ID_REQUEST_SIZE];
  uint8_t request[TARVO_SHORT_ID_REQUEST_SIZE];
  uint8_t reply[TARVO_REPLY_SIZE];
  std::string names[kBuffersPerRound];
  for (int i = 0; i < kBuffersPerRound; ++i) {
    names[i] = "Service" + std::to_string(i);
    images[i][2] = 1;
  }
  for (auto _ : state) {
    for (int i = 0; i < kBuffersPerRound; ++i) {
      connect(names[i].c_str());
      std::memset(reply, 0, sizeof(reply));
      std::memcpy(request, images[i], sizeof(request));
      stamp(request + TARVO_STAMP_OFFSET, TARVO_STAMP_SIZE);
      exchange(names[i].c_str(), request, reply);
      benchmark::DoNotOptimize(reply);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBuffersPerRound);
}
BENCHMARK(BM_DirectPluginCalls)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Before any thread starts, so that every thread inherits it.
void KeepToThisProcessor() {
  if (std::getenv("SENDER_BENCH_ANY_PROCESSOR") != nullptr) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  sched_setaffinity(0, sizeof(one), &one);
}

}  // namespace

int main(int argc, char** argv) {
  KeepToThisProcessor();
  // Chosen once, at the first call into the client library.
  setenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE, ANSWERING_PLUGIN_PATH, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  histfeed::platform::MutexLock lock(Classic().senderStartLock);
  StopSender(-1);
  return 0;
}
