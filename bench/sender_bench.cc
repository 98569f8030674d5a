// Buffers delivered per second by the sender thread through a plug-in that
// answers at once, beside a loop in this thread that calls the same plug-in
// functions directly for the same number of buffers, in the same run. The
// sender is measured by its own processor time (that of every thread but
// this one, which only waits for it), and by the time on the clock; the
// direct loop by the process's processor time and the time on the clock.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "classic/sender.h"
#include "classic/service_buffer.h"
#include "client_library/tarvo_plugin.h"
#include "histfeed.h"
#include "platform/dynamic_library.h"

namespace {

using namespace histfeed::classic;
using histfeed::SemRelease;
using histfeed::SemWait;

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

// One record in each of kBuffersPerRound short buffers of their own.
void FillBuffers() {
  for (int i = 0; i < kBuffersPerRound; ++i) {
    std::string name = "Service" + std::to_string(i);
    int32_t b = AcquireServiceBuffer(name.c_str(), kShortIdKind);
    SetRecordCount(Buffer(b), 1);
    ReleaseServiceBuffer(b);
  }
}

// Processor time, in seconds, of every thread of the process but the
// calling one.
double OtherThreadsCpuSeconds() {
  timespec process{};
  timespec self{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &process);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &self);
  return static_cast<double>(process.tv_sec - self.tv_sec) +
         static_cast<double>(process.tv_nsec - self.tv_nsec) * 1e-9;
}

enum Measure { kSenderCpu, kClock };

// The sender's own pace: the buffers are queued while the buffer lock
// holds the sender back (it stops after its first delivery), and the
// measure runs from the release of the lock until the last one has been
// answered. For processor time this thread sleeps while it waits, and its
// own time (the wake-ups of that wait) is left out; for the clock it
// yields rather than sleeps, so the measure is not rounded up to a sleep.
void BM_SenderDelivers(benchmark::State& state, Measure measure) {
  if (Plugin() == nullptr || StartSender() != 1) {
    state.SkipWithError("the answering plug-in did not load");
    return;
  }
  ClassicState& shared = Classic();
  for (auto _ : state) {
    if (measure == kClock) state.PauseTiming();
    FillBuffers();
    SemWait(shared.bufferLock, histfeed::kWaitForever);
    long target = Exchanges();
    for (int32_t b = 0; b < kServiceBufferCount; ++b) target += QueueServiceBufferLocked(b);
    if (measure == kClock) {
      state.ResumeTiming();
      SemRelease(shared.bufferLock);
      while (Exchanges() < target) std::this_thread::yield();
    } else {
      double start = OtherThreadsCpuSeconds();
      SemRelease(shared.bufferLock);
      while (Exchanges() < target) std::this_thread::sleep_for(std::chrono::microseconds(100));
      state.SetIterationTime(OtherThreadsCpuSeconds() - start);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBuffersPerRound);
}
BENCHMARK_CAPTURE(BM_SenderDelivers, sender_cpu, kSenderCpu)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SenderDelivers, clock, kClock)->UseRealTime()->Unit(benchmark::kMicrosecond);

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
BENCHMARK(BM_DirectPluginCalls)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DirectPluginCalls)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Chosen once, at the first call into the client library.
  setenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE, ANSWERING_PLUGIN_PATH, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  histfeed::SemLock lock(Classic().senderStartLock);
  StopSender(-1);
  return 0;
}
