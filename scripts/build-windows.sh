#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds histfeed.dll for 32-bit Windows (the target, i686) and 64-bit
# Windows (x86_64) with Debian's mingw-w64 cross compilers and checks that
# each DLL exports exactly the functions of exports/exports.list at their
# ordinals, and that its import library offers them under the names
# callers link against. Output, in build-windows-<arch>/bin/: histfeed.dll,
# its import library histfeed.lib and its module definition histfeed.def.
#
#   scripts/build-windows.sh            build both DLLs, check their exports
#   scripts/build-windows.sh --test     also build the Windows tests and the
#                                       examples (linked through the import
#                                       library) and run them under Wine: the
#                                       64-bit build always, the 32-bit build
#                                       where wine32 is installed; then each
#                                       example against the Linux service
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run_tests=0
[ "${1:-}" = "--test" ] && run_tests=1

say() { printf 'windows: %s\n' "$*"; }

if [ $run_tests -eq 1 ]; then
  scripts/install-deps.sh windows --wine32
else
  scripts/install-deps.sh windows
fi

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$root
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

wine32_available() { [ -x /usr/lib/wine/wine ] || [ -x /usr/lib/i386-linux-gnu/wine/wine ]; }

# build ARCH WITH_TESTS
build() {
  local arch=$1 tests=$2 dir=build-windows-$1
  say "building $arch (tests: $tests)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DHISTFEED_WERROR=ON -DHISTFEED_BUILD_BENCHMARKS=OFF -DHISTFEED_BUILD_SERVICE=OFF \
    -DHISTFEED_BUILD_TESTS="$tests" -DHISTFEED_BUILD_EXAMPLES="$tests" "${launcher[@]}" >/dev/null
  # Quiet when it builds; the compiler's words when it does not.
  if ! cmake --build "$dir" -j "$(nproc)" >"$dir/build.log" 2>&1; then
    grep -E -A5 'error|FAILED' "$dir/build.log" | head -60
    return 1
  fi
  scripts/check-dll-exports.sh "$dir/bin/histfeed.dll"
}

# run_suite ARCH LOADER: every Windows test program of the build, under Wine.
run_suite() {
  local arch=$1 loader=$2 dir=$root/build-windows-$1 failed=0 program
  export WINEPREFIX=$dir/wine-prefix WINEDEBUG=-all
  [ -d "$WINEPREFIX" ] || timeout 300 "$loader" wineboot -i >/dev/null 2>&1 || true
  for program in c_api_test cpp_api_test dll_test portable_suite_test classic_suite_test; do
    say "$arch: $program"
    # The header test expects a client library that cannot be loaded.
    local environment=()
    case $program in
      c*_api_test) environment=(HISTFEED_CLIENT_LIBRARY=no-such-client-library.dll) ;;
    esac
    if ! (cd "$dir/test-bin" && env "${environment[@]}" timeout 900 "$loader" "$program.exe" \
            --gtest_brief=1 >"$dir/$program.log" 2>&1); then
      say "$arch: $program FAILED; its output:"
      cat "$dir/$program.log"
      failed=1
    fi
  done
  return $failed
}

# The 32-bit tests and examples are built even where they cannot run:
# linking them through the import library is a test of its own.
build x86_64 $run_tests
build i686 $run_tests
[ $run_tests -eq 1 ] || exit 0

# end_to_end ARCH LOADER: the example source of that build, under Wine,
# against the Linux reference service; every acknowledged value stored.
end_to_end() {
  local arch=$1 loader=$2 dir=$root/build-windows-$1
  say "end to end: the $arch example against the Linux service"
  HISTFEED_DEMO_SOURCE="$loader $dir/bin/feed_demo.exe" \
    WINEPREFIX=$dir/wine-prefix WINEDEBUG=-all \
    scripts/demo.sh 4000 20 1000
}

# The 32-bit module definition for MSVC, read as MSVC's lib reads it (each
# name as written, no underscore added): the header test, linked through an
# import library made from it, runs.
msvc_definition_test() {
  local dir=$root/build-windows-i686
  say "i686: the header test through an import library made from histfeed-msvc.def"
  i686-w64-mingw32-dlltool --no-leading-underscore -d "$dir/bin/histfeed-msvc.def" \
    -l "$dir/msvc-style.lib"
  i686-w64-mingw32-gcc-posix -std=c99 -static -I"$root/include" "$root/tests/c_api_test.c" \
    "$dir/msvc-style.lib" -o "$dir/test-bin/c_api_test_msvc_def.exe"
  (cd "$dir/test-bin" && WINEPREFIX=$dir/wine-prefix WINEDEBUG=-all \
     HISTFEED_CLIENT_LIBRARY=no-such-client-library.dll timeout 300 /usr/lib/wine/wine \
     c_api_test_msvc_def.exe)
}

status=0
run_suite x86_64 /usr/lib/wine/wine64 || status=1
if wine32_available; then
  run_suite i686 /usr/lib/wine/wine || status=1
  msvc_definition_test || { say "i686: the MSVC module definition test FAILED"; status=1; }
else
  say "WINE32 IS NOT INSTALLED: THE 32-BIT DLL, ITS TESTS AND EXAMPLES WERE BUILT AND ITS EXPORTS CHECKED, BUT NOT RUN"
fi
end_to_end x86_64 /usr/lib/wine/wine64 || status=1
if wine32_available; then
  end_to_end i686 /usr/lib/wine/wine || status=1
fi
[ $status -eq 0 ] && say "all Windows checks passed"
exit $status
