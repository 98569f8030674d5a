#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lists the project's source files that carry a license line, one a line:
# the C and C++ sources and headers, the CMake files, the shell and Python
# scripts, and .ci/run. Sourced by add-spdx.sh and check-spdx.sh.
spdx_files() {
  git ls-files -- '*.cc' '*.h' '*.c' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' '*.sh' \
    '*.py' '.ci/run'
}
spdx_line_present() { head -n 3 "$1" | grep -q 'SPDX-License-Identifier:'; }
