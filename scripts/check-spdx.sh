#!/usr/bin/env bash
# Fails when a source file lacks its "SPDX-License-Identifier:" line
# (scripts/add-spdx.sh adds it). --warn-only reports and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/spdx-files.sh

missing=()
while IFS= read -r file; do
  spdx_line_present "$file" || missing+=("$file")
done < <(spdx_files)
if [ ${#missing[@]} -eq 0 ]; then
  echo "check-spdx: every source file has its license line"
  exit 0
fi
printf 'check-spdx: no SPDX-License-Identifier line in %s\n' "${missing[@]}" | head -20
echo "check-spdx: ${#missing[@]} files lack it; scripts/add-spdx.sh adds it"
[ "${1:-}" = --warn-only ] && exit 0
exit 1
