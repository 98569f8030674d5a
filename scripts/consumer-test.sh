#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs histfeed's library and development files from a build into a
# temporary prefix, then builds and runs a small C program against them
# twice: found by CMake's find_package, and by pkg-config.
#
#   scripts/consumer-test.sh [BUILD_DIR]    (default build/, made by scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
say() { printf 'consumer-test: %s\n' "$*"; }

cmake --build "$build" --target histfeed >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/histfeed-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
for component in runtime dev; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
say "installed into a temporary prefix"

# find_package with the version a 0.2 user asks for.
cmake -S tests/consumer -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DHISTFEED_WANTED_VERSION=0.2 >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"
say "find_package(histfeed 0.2): built and ran"

# A later major version must not be taken for this one.
if cmake -S tests/consumer -B "$work/cmake-newer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
     -DHISTFEED_WANTED_VERSION=1.0 >"$work/newer.log" 2>&1; then
  say "find_package(histfeed 1.0) accepted version 0.x"
  exit 1
fi
say "find_package(histfeed 1.0) refused, as it should"

# pkg-config, with the run path the README gives for a hand build.
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name histfeed.pc)")
version=$(pkg-config --modversion histfeed)
[ "$version" = "$(sed -nE 's/^project\(histfeed VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")" ] \
  || { say "pkg-config reports version $version"; exit 1; }
libdir=$(pkg-config --variable=libdir histfeed)
# shellcheck disable=SC2046
cc -o "$work/consumer-pc" tests/consumer/consumer.c $(pkg-config --cflags --libs histfeed) \
  -Wl,-rpath,"$libdir"
"$work/consumer-pc"
say "pkg-config histfeed $version: built and ran"
