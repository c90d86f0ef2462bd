#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang-14, ASan, UBSan) and runs each for $1 seconds (default
# 60) from its seeds in fuzz/corpus/. A finding fails the run and leaves its input in
# build-fuzz/artifacts/, where build-fuzz/<target> <input> replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang-14 libclang-rt-14-dev
cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j "$(nproc)"
mkdir -p build-fuzz/artifacts
for t in fuzz_receive fuzz_send; do
  mkdir -p "build-fuzz/corpus-$t"  # what the fuzzer finds stays out of the source tree
  echo "== $t"
  "build-fuzz/$t" -max_total_time="${1:-60}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$t-" "build-fuzz/corpus-$t" "fuzz/corpus/$t" 2>&1 |
    grep -E 'fake net|ERROR|runtime error|SUMMARY|Test unit written|number_of_executed_units'
done
