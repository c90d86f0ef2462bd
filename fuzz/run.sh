#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14, AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time, starting from the checked-in seed corpus.
#   fuzz/run.sh            60 s per target (CI)
#   fuzz/run.sh 3600       an hour per target
# Fails on any finding; the input that caused it is left in build-fuzz/artifacts/.
# Reproduce one with: build-fuzz/fuzz_receive build-fuzz/artifacts/crash-...
# (FUZZ_TRACE=1 prints the receive target's events).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

scripts/setup.sh clang-14 libclang-rt-14-dev

cmake -S fuzz -B "$build" -DDEVTCP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j "$(nproc)"

# The checked-in seeds must be what the generator writes today.
rm -rf "$build/seeds"
"$build/make_corpus" "$build/seeds"
if ! diff -r "$build/seeds" fuzz/corpus >/dev/null; then
  echo "fuzz: fuzz/corpus is out of date; regenerate it with: $build/make_corpus fuzz/corpus" >&2
  exit 1
fi

mkdir -p "$build/artifacts"
status=0
for target in fuzz_receive fuzz_send; do
  work="$build/corpus-$target"   # what the fuzzer finds stays out of the source tree
  mkdir -p "$work"
  log="$build/$target.log"
  echo "== $target: ${seconds}s"
  if "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    echo "$target: ${execs:-?} executions (${rate:-?}/s), no findings"
  else
    status=1
    echo "$target: FINDING (log: $log)" >&2
    grep -E -m 5 'invariant broken|ERROR:|runtime error|SUMMARY' "$log" >&2 || tail -n 30 "$log" >&2
    ls "$build/artifacts" >&2
  fi
done
exit $status
