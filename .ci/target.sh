#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The stories on a Cortex-M4 under QEMU, in the default configuration and in the small one
# (1 link, 512-byte buffers, no logging). Each image prints every story's result, the
# deepest stack use of every public call and "N passed, N failed"; a failure, a stack above
# its ceiling, a fault or a hang fails the step.
set -euo pipefail
cd "$(dirname "$0")/.."
# No C++ run-time library: the images link with the C driver (the newlib build of
# libstdc++ alone would be a 300 MB download).
scripts/setup.sh gcc-arm-none-eabi libnewlib-dev libnewlib-arm-none-eabi qemu-system-arm

# Stack ceilings, bytes, measured with the stories' own callbacks running inside the calls.
dir=build-target
cmake -S tests/target -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cortex-m4.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DSTACK_DEFAULT=1700 -DSTACK_SMALL=512 >/dev/null
cmake --build "$dir" -j "$(nproc)" >/dev/null
status=0
for config in default small; do
  echo "-- $config configuration"
  timeout 300 qemu-system-arm -M mps2-an386 -nographic -semihosting -kernel "$dir/target_$config" \
    </dev/null >"$dir/$config.log" || status=1
  grep -v '^passed: ' "$dir/$config.log"
done
# GCC's own figure for each library function's frame, to set beside the measured depths.
echo "-- -fstack-usage, library frames in bytes (small configuration)"
find "$dir" -name '*.su' -path '*devtcp_small.dir*' -exec cat {} + |
  awk -F'\t' '{ sub(/\(.*/, "", $1); sub(/.*[ :]/, "", $1); printf "%s %s, ", $1, $2 } END { print "" }'
exit $status
