// SPDX-License-Identifier: Apache-2.0
// Finding the buffer of a record: acquire plus release with 1 and with 400
// services holding buffers, beside the plain scan of all 500 buffers that
// the index replaces, measured in the same run.
#include <benchmark/benchmark.h>

#include <string>
#include <strings.h>

#include "classic/service_buffer_table.h"

namespace {

using namespace histfeed::classic;

// `services` services with one partly filled buffer each; returns the name
// of the one in the highest-numbered buffer, the last a scan would reach.
std::string HoldBuffers(int services) {
  ResetClassicStateForTesting();
  std::string name;
  for (int i = 0; i < services; ++i) {
    name = "Service" + std::to_string(i);
    BufferNumber b = ServiceBuffers().Acquire(name.c_str(), kShortIdKind);
    SetRecordCount(ServiceBuffers()[b], 1);
    ServiceBuffers().Release(b);
  }
  return name;
}

void BM_AcquireRelease(benchmark::State& state) {
  std::string service = HoldBuffers(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    BufferNumber b = ServiceBuffers().Acquire(service.c_str(), kShortIdKind);
    benchmark::DoNotOptimize(b);
    ServiceBuffers().Release(b);
  }
  state.SetItemsProcessed(state.iterations());
  ResetClassicStateForTesting();
}
BENCHMARK(BM_AcquireRelease)->ArgName("services")->Arg(1)->Arg(400);

// For comparison: the case-insensitive scan of buffers 0 to 499 under the
// buffer lock, which each acquire would cost without the index.
void BM_ScanUnderLock(benchmark::State& state) {
  std::string service = HoldBuffers(static_cast<int>(state.range(0)));
  ClassicState& shared = Classic();
  for (auto _ : state) {
    histfeed::platform::MutexLock lock(shared.bufferLock);
    int32_t found = kNoServiceBuffer;
    for (int32_t b = 0; b < kServiceBufferCount && found == kNoServiceBuffer; ++b) {
      const ServiceBuffer& buffer = ServiceBuffers()[BufferNumber(b)];
      if (ServiceBuffers().StateOf(BufferNumber(b)) == kInUse && buffer.kind == 0 &&
          strcasecmp(buffer.serviceName, service.c_str()) == 0) {
        found = b;
      }
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations());
  ResetClassicStateForTesting();
}
BENCHMARK(BM_ScanUnderLock)->ArgName("services")->Arg(1)->Arg(400);

}  // namespace

BENCHMARK_MAIN();
