// SPDX-License-Identifier: Apache-2.0
// KelAddAnalogShortIdRecord calls per second through a plug-in that
// answers at once, with 1 and with 400 services, beside the cost of
// formatting the same values as "%16.9G" value texts alone, in the same
// run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "histfeed/tarvo_plugin.h"
#include "histfeed.h"

namespace {

constexpr int kValues = 1024;

const std::vector<double>& Values() {
  static const std::vector<double> values = [] {
    std::vector<double> v(kValues);
    for (int i = 0; i < kValues; ++i) v[i] = (i - 300) * 1.37 + i * 1e-4;
    return v;
  }();
  return values;
}

void BM_FormatValueTextAlone(benchmark::State& state) {
  const std::vector<double>& values = Values();
  char text[17];
  size_t i = 0;
  for (auto _ : state) {
    std::snprintf(text, sizeof(text), "%16.9G", values[i++ % kValues]);
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatValueTextAlone);

// Each service's buffer starts at a different fill, so that with many
// services full buffers reach the sender one by one rather than all in
// the same few calls.
std::vector<std::string> Services(int count) {
  std::vector<std::string> names;
  for (int s = 0; s < count; ++s) {
    names.push_back("Service" + std::to_string(s));
    int fill = s * TARVO_SHORT_ID_RECORDS_MAX / count;
    for (int r = 0; r < fill; ++r) {
      KelAddAnalogShortIdRecord(names.back().c_str(), "P", 0, 0.0, 0, 0, 0, 0, 0, 0, 0, 0);
    }
  }
  return names;
}

void BM_AddAnalogShortIdRecord(benchmark::State& state) {
  const std::vector<double>& values = Values();
  if (histfeed::classic::StartSender() == 0) {
    state.SkipWithError("the sender did not start: answering plug-in not loaded");
    return;
  }
  std::vector<std::string> services = Services(static_cast<int>(state.range(0)));
  size_t i = 0;
  size_t s = 0;
  for (auto _ : state) {
    int32_t result = KelAddAnalogShortIdRecord(services[s].c_str(), "FIC101", 1700000000,
                                               values[i++ % kValues], 0, 0, 0, 0, 0, 0, 0, 0);
    benchmark::DoNotOptimize(result);
    if (++s == services.size()) s = 0;
  }
  state.SetItemsProcessed(state.iterations());
  KelFlushAllRecords(nullptr, nullptr, 0);
}
BENCHMARK(BM_AddAnalogShortIdRecord)->Arg(1)->Arg(400);

}  // namespace

int main(int argc, char** argv) {
  // Chosen once, at the first call into the client library.
  setenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE, ANSWERING_PLUGIN_PATH, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  histfeed::platform::MutexLock lock(histfeed::classic::Classic().senderStartLock);
  histfeed::classic::StopSender(-1);
  return 0;
}
