#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds histfeed from this checkout and runs the whole test suite.
#   scripts/test.sh            ordinary build (build/)
#   scripts/test.sh address    AddressSanitizer + UBSan (build-address/)
#   scripts/test.sh thread     ThreadSanitizer (build-thread/)
#   scripts/test.sh locks      clang with -Wthread-safety: the lock
#                              annotations are checked (build-locks/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

mode="${1:-}"
build="build${mode:+-$mode}"
# Warnings fail the build here, so both compilers stay warning-free.
extra=(-DHISTFEED_WERROR=ON -DHISTFEED_BUILD_TESTS=ON)
if [ "$mode" = locks ]; then
  extra+=(-DHISTFEED_THREAD_SAFETY=ON -DHISTFEED_BUILD_BENCHMARKS=OFF
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
elif [ -n "$mode" ]; then
  # Sanitizer runs build no benchmarks and use clang for clearer reports.
  extra+=(-DHISTFEED_SANITIZE="$mode" -DHISTFEED_BUILD_BENCHMARKS=OFF
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug)
else
  extra+=(-DHISTFEED_BUILD_BENCHMARKS=ON)
fi

cmake -S . -B "$build" -G Ninja "${extra[@]}"
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
