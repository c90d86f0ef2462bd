#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang-14, ASan, UBSan), turns the stories into seeds, and
# runs the default and the small configuration's target for $1 seconds each (default 60).
# A finding fails the run and leaves its input in build-fuzz/artifacts/; there
#   build-fuzz/story_seeds_default decode INPUT
# prints it as story lines, to be given expectations and kept in tests/stories/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang-14 libclang-rt-14-dev
cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j "$(nproc)"
mkdir -p build-fuzz/artifacts
for config in default small; do
  seeds=build-fuzz/seeds-$config corpus=build-fuzz/corpus-$config
  rm -rf "$seeds" && mkdir -p "$seeds" "$corpus"  # findings stay out of the source tree
  "build-fuzz/story_seeds_$config" encode "$seeds"
  echo "== fuzz_stories_$config ($(ls "$seeds" | wc -l) seeds)"
  "build-fuzz/fuzz_stories_$config" -max_total_time="${1:-60}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$config-" "$corpus" "$seeds" 2>&1 |
    grep -E 'story|check failed|ERROR|runtime error|SUMMARY|Test unit written|number_of_executed_units'
done
