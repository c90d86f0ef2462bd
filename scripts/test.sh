#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs every test. SANITIZE=1 builds with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ "${SANITIZE:-0}" = 1 ]; then
  dir=build-asan; extra=(-DDEVTCP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  dir=build; extra=()
fi
# Tests and tools are asked for explicitly: a folder configured earlier without them (by
# an install recipe, say) is repaired rather than leaving ctest with stale results.
cmake -S . -B "$dir" -DBUILD_TESTING=ON -DDEVTCP_TESTS=ON -DDEVTCP_TOOLS=ON "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
