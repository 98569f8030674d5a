#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what a command needs, if missing, and nothing more:
#   scripts/install-deps.sh build [--postgresql]
#                                     the library, the service and the examples
#                                     (scripts/demo.sh, scripts/soak.sh);
#                                     --postgresql also the PostgreSQL server
#                                     (scripts/demo.sh --postgresql)
#   scripts/install-deps.sh package   build, plus the Debian packaging tools
#   scripts/install-deps.sh test      build, plus the test suite, the sanitizer,
#                                     lock and fuzz builds, the benchmarks, the
#                                     browser test, promtool and the PostgreSQL
#                                     server the tests start (the default)
#   scripts/install-deps.sh windows [--wine32]
#                                     the mingw-w64 cross compilers and Wine;
#                                     --wine32 also tries to install wine32
set -euo pipefail

profile=${1:-test}
case $profile in
  build|package|test|windows) ;;
  *) echo "usage: $0 [build [--postgresql]|package|test|windows [--wine32]]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
apt_install() {
  echo "installing: $*"
  $SUDO apt-get update -q || true
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 "$@"
}

need=()
need_build() {
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v g++ >/dev/null || need+=(g++)
  command -v ccache >/dev/null || need+=(ccache)
  command -v pkg-config >/dev/null || need+=(pkg-config)
  [ -e /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
  command -v sqlite3 >/dev/null || need+=(sqlite3)
  # Boost.Asio for the service's event loops, Boost.Beast for its HTTP parser.
  [ -e /usr/include/boost/beast.hpp ] || need+=(libboost-dev)
  # libpq for the service's storage in PostgreSQL.
  [ -e /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
  command -v curl >/dev/null || need+=(curl)
  command -v python3 >/dev/null || need+=(python3)
}
# The server programs (initdb, pg_ctl) for the throw-away clusters of the
# tests and of the demo on PostgreSQL.
need_postgresql_server() {
  ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || need+=(postgresql)
}
need_package() {
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v objdump >/dev/null || need+=(binutils)
}
need_test() {
  command -v clang++ >/dev/null || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || need+=(libclang-rt-dev)
  [ -e /usr/src/googletest/CMakeLists.txt ] || need+=(googletest libgtest-dev libgmock-dev)
  [ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  command -v nm >/dev/null || need+=(binutils)
  # The pages' test in a real browser and the check of /metrics.
  command -v chromium >/dev/null || need+=(chromium)
  command -v promtool >/dev/null || need+=(prometheus)
}
# mingw-w64 cross compilers (posix threads) and Wine: wine64 runs the
# 64-bit build.
need_windows() {
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
  [ -x /usr/lib/wine/wine64 ] || need+=(wine64 wine)
}

case $profile in
  build) need_build
         [ "${2:-}" = --postgresql ] && need_postgresql_server ;;
  package) need_build; need_package ;;
  test) need_build; need_package; need_test; need_postgresql_server ;;
  # The Windows tests build GoogleTest from its sources; the end-to-end run
  # needs the Linux service.
  windows) need_build; need_windows
           [ -e /usr/src/googletest/CMakeLists.txt ] || need+=(googletest) ;;
esac
[ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"

# wine32 runs the 32-bit build. It needs the i386 architecture, whose
# package index may fail to download; that must not fail anything else,
# so the architecture is added only here and removed again on failure.
install_wine32() {
  local added=0 attempt
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386 || return 1
    added=1
  fi
  for attempt in 1 2 3; do
    if $SUDO apt-get update -q && \
       $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
         -o DPkg::Lock::Timeout=600 wine32:i386; then
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
if [ "$profile" = windows ] && [ "${2:-}" = --wine32 ] && [ ! -x /usr/lib/wine/wine ]; then
  install_wine32 || echo "WINE32 COULD NOT BE INSTALLED: THE 32-BIT WINDOWS BUILD WILL NOT BE RUN"
fi
