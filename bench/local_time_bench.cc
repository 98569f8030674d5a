// SPDX-License-Identifier: Apache-2.0
// Local time conversion beside the C library's own, in a zone with daylight
// time given by "TZ".
#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>

#include "platform/time_zone.h"
#include "timezone/dst_rules.h"
#include "timezone/local_time.h"

namespace histfeed {
namespace {

constexpr char kZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr int32_t kJuly2007 = 1184241600;
constexpr int32_t kJuly2008 = 1215864000;

void UseZone() {
  platform::SetTzVariableForTesting(kZone);
  ResetTimeStateForTesting();
}

// Baseline: the C library's conversion.
void BM_CLibraryLocaltime(benchmark::State& state) {
  UseZone();
  std::time_t t = kJuly2007;
  std::tm fields{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(localtime_r(&t, &fields));
    ++t;
  }
}
BENCHMARK(BM_CLibraryLocaltime);

// Conversions within one year: the transitions are computed once.
void BM_ToLocalTimeSameYear(benchmark::State& state) {
  UseZone();
  int32_t t = kJuly2007;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ToLocalTime(&t));
    ++t;
  }
}
BENCHMARK(BM_ToLocalTimeSameYear);

// Worst case: every conversion falls in another year than the one before.
void BM_ToLocalTimeAlternatingYears(benchmark::State& state) {
  UseZone();
  int32_t times[2] = {kJuly2007, kJuly2008};
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ToLocalTime(&times[i]));
    i ^= 1;
  }
}
BENCHMARK(BM_ToLocalTimeAlternatingYears);

}  // namespace
}  // namespace histfeed

BENCHMARK_MAIN();
