#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the reference service and the soak test's data source, then runs
# the soak test: kills of the service and the source, one damaged cache
# file, and a value-by-value check that nothing accepted was lost.
#
#   scripts/soak.sh [--seconds N] [--seed N]     (default 180 s; SOAK_SECONDS too)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build -G Ninja -DHISTFEED_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target histfeed-service soak_source >/dev/null
exec python3 tools/soak/soak.py --build build --seconds "${SOAK_SECONDS:-180}" "$@"
