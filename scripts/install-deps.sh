#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need, if missing.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[ -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ] \
  || ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || need+=(libclang-rt-dev)
[ -e /usr/src/googletest/CMakeLists.txt ] || need+=(googletest libgtest-dev libgmock-dev)
[ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v nm >/dev/null || need+=(binutils)
[ -e /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
command -v sqlite3 >/dev/null || need+=(sqlite3)
[ -e /usr/include/asio.hpp ] || need+=(libasio-dev)

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi
