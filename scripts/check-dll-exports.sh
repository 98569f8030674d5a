#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks that a DLL exports exactly the functions of exports/exports.list,
# each by its undecorated name at its ordinal, and nothing else; and that
# the import library beside it (histfeed.lib) offers every function under
# the name a caller's compiler asks for: _Name@N on 32-bit Windows, where
# the functions are __stdcall, Name on 64-bit Windows.
#   scripts/check-dll-exports.sh path/to/histfeed.dll [exports.list]
set -euo pipefail
dll=$1
list=${2:-"$(dirname "$0")/../exports/exports.list"}
dump=$(objdump -p "$dll")

base=$(awk '/^Ordinal Base/ {print $3; exit}' <<<"$dump")
# Name table lines look like "[1117] ISVornMxUniversalConnected", the
# number being the ordinal less the base.
actual=$(awk -v base="$base" '
  /\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
  inside && /^\t\[ *[0-9]+\] / {
    line = $0; sub(/^\t\[ */, "", line); split(line, part, /\] /)
    print part[2], part[1] + base; next }
  inside {inside = 0}' <<<"$dump" | sort)
expected=$(grep -E '^[A-Za-z_]' "$list" | awk '{print $1, $2}' | sort)
addresses=$(grep -c 'Export RVA' <<<"$dump" || true)
count=$(wc -l <<<"$expected")

if [ "$actual" != "$expected" ]; then
  echo "export table of $dll differs from $list:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
if [ "$addresses" != "$count" ]; then
  echo "$dll has $addresses exported addresses, expected $count (exports without a name?)" >&2
  exit 1
fi
echo "$dll: exactly the $count exports of $(basename "$list"), each at its ordinal"

import_library=$(dirname "$dll")/histfeed.lib
if grep -q 'file format pei-i386' <<<"$dump"; then
  wanted=$(grep -E '^[A-Za-z_]' "$list" | awk '{printf "__imp__%s@%s\n", $1, $3}' | sort)
else
  wanted=$(grep -E '^[A-Za-z_]' "$list" | awk '{printf "__imp_%s\n", $1}' | sort)
fi
offered=$(nm "$import_library" 2>/dev/null | awk '$2 == "I" {print $3}' | sort)
missing=$(comm -23 <(echo "$wanted") <(echo "$offered"))
if [ -n "$missing" ]; then
  echo "$import_library lacks the names callers link against:" >&2
  echo "$missing" >&2
  exit 1
fi
echo "$import_library: every export under the name its callers link against"
