// SPDX-License-Identifier: Apache-2.0
// What the benchmarks that interleave their runs print at the end: each
// kind's median, and how busy the machine was.
#ifndef HISTFEED_BENCH_RUN_SUMMARY_H_
#define HISTFEED_BENCH_RUN_SUMMARY_H_

#include <algorithm>
#include <fstream>
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

}  // namespace histfeed

#endif  // HISTFEED_BENCH_RUN_SUMMARY_H_
