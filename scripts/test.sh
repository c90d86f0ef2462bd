#!/usr/bin/env bash
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
cmake -S . -B "$dir" "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
