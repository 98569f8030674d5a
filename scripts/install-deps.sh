#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the build, the tests and the benchmarks need, if missing.
#   scripts/install-deps.sh [--wine32]   (--wine32: also try to install wine32)
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
command -v ccache >/dev/null || need+=(ccache)
[ -e /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
command -v sqlite3 >/dev/null || need+=(sqlite3)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v python3 >/dev/null || need+=(python3)
# The service's /metrics check and its pages' test in a real browser.
command -v promtool >/dev/null || need+=(prometheus)
command -v chromium >/dev/null || need+=(chromium)
command -v curl >/dev/null || need+=(curl)
# Boost.Asio for the service's event loops, Boost.Beast for its HTTP parser.
[ -e /usr/include/boost/beast.hpp ] || need+=(libboost-dev)

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

# The Windows build: mingw-w64 cross compilers (posix threads) and Wine to
# run its tests. wine64 runs the 64-bit build.
need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64 wine)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -q || true
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

# wine32 runs the 32-bit build; tried with --wine32 (scripts/build-windows.sh
# --test asks for it). It needs the i386 architecture, whose
# package index may fail to download; that must not fail anything else,
# so the architecture is added only here and removed again on failure.
install_wine32() {
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  local added=0 attempt
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386 || return 1
    added=1
  fi
  for attempt in 1 2 3; do
    if $SUDO apt-get update -q && \
       $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine32:i386; then
      return 0
    fi
    echo "wine32: attempt $attempt failed"
    sleep 5
  done
  # Leave the machine as it was, so that later apt-get updates still work.
  if [ $added -eq 1 ]; then
    $SUDO dpkg --remove-architecture i386 || true
    $SUDO apt-get update -q || true
  fi
  return 1
}
if [ "${1:-}" = "--wine32" ] && [ ! -x /usr/lib/wine/wine ]; then
  install_wine32 || echo "WINE32 COULD NOT BE INSTALLED: THE 32-BIT WINDOWS BUILD WILL NOT BE RUN"
fi
