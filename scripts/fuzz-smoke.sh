#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang and runs each for a short,
# bounded time (FUZZ_SECONDS, default 25: about two minutes for all
# targets in CI). A longer run is one command, for example:
#   FUZZ_SECONDS=3600 scripts/fuzz-smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DHISTFEED_BUILD_FUZZERS=ON -DHISTFEED_BUILD_TESTS=OFF \
  -DHISTFEED_BUILD_BENCHMARKS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build "$build" -j "$(nproc)"

seconds="${FUZZ_SECONDS:-25}"
for fuzzer in "$build"/fuzz/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  corpus="$build/corpus/$(basename "$fuzzer")"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/$(basename "$fuzzer")"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  echo "fuzzing $(basename "$fuzzer") for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
done
