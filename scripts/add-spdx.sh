#!/usr/bin/env bash
# Adds "SPDX-License-Identifier: Apache-2.0" as the first comment line of
# every source file that lacks it (after a #! line, in the file's own
# comment style). Running it again changes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/spdx-files.sh

changed=0
while IFS= read -r file; do
  spdx_line_present "$file" && continue
  case $file in
    *.c) line='/* SPDX-License-Identifier: Apache-2.0 */' ;;
    *.cc|*.h)
      if head -n 1 "$file" | grep -q '^/\*'; then
        line='/* SPDX-License-Identifier: Apache-2.0 */'
      else
        line='// SPDX-License-Identifier: Apache-2.0'
      fi ;;
    *) line='# SPDX-License-Identifier: Apache-2.0' ;;
  esac
  if head -n 1 "$file" | grep -q '^#!'; then
    sed -i "1a $line" "$file"
  else
    sed -i "1i $line" "$file"
  fi
  changed=$((changed + 1))
done < <(spdx_files)
echo "add-spdx: $changed files given a license line"
