// SPDX-License-Identifier: Apache-2.0
// Baselines for the universal benchmarks: frames sent over a plain
// loopback socket to the fake historian, with nothing of the library in
// between. Items are counted as `itemsPerFrame` per frame.
#ifndef HISTFEED_BENCH_RAW_LOOPBACK_H_
#define HISTFEED_BENCH_RAW_LOOPBACK_H_

#include <benchmark/benchmark.h>

#include <cstdint>

namespace histfeed::bench {

// Send a frame, read one answer byte.
void RawPingPong(benchmark::State& state, int32_t frameBytes, int64_t itemsPerFrame);
// Send frames, read nothing.
void RawBlast(benchmark::State& state, int32_t frameBytes, int64_t itemsPerFrame);

}  // namespace histfeed::bench

#endif  // HISTFEED_BENCH_RAW_LOOPBACK_H_
