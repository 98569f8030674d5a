// SPDX-License-Identifier: Apache-2.0
// What the benchmarks that interleave their runs print at the end: each
// kind's median, and how busy the machine was.
#ifndef HISTFEED_BENCH_RUN_SUMMARY_H_
#define HISTFEED_BENCH_RUN_SUMMARY_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace histfeed {

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The system's load averages over 1, 5 and 15 minutes.
inline std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// A benchmark program's main: runs what the command line asks for, then
// prints `summary` given the load average from before.
inline int RunAndSummarize(int argc, char** argv,
                           const std::function<void(const std::string&)>& summary) {
  std::string loadBefore = LoadAverage();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary(loadBefore);
  return 0;
}

}  // namespace histfeed

#endif  // HISTFEED_BENCH_RUN_SUMMARY_H_
