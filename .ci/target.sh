#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The library on a Cortex-M4 under QEMU: the session test image (tests/target) in the
# default configuration and in the small one (1 link, 512-byte buffers, no logging). Each
# run prints the deepest stack use of every public call and "N passed, N failed"; a
# failure, a fault or a hang fails the step.
set -euo pipefail
cd "$(dirname "$0")/.."
# No C++ run-time library: the image links with the C driver (the newlib build of
# libstdc++ alone would be a 300 MB download).
scripts/setup.sh gcc-arm-none-eabi libnewlib-dev libnewlib-arm-none-eabi qemu-system-arm

session() {  # $1: build folder, then CMake options
  local dir=$1
  shift
  cmake -S tests/target -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cortex-m4.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  timeout 120 qemu-system-arm -M mps2-an386 -nographic -semihosting -kernel "$dir/target_session" \
    </dev/null
}

echo "-- default configuration"
session build-target -DDEVTCP_LINK_NUM=2 -DDEVTCP_BUF_SIZE=2048 -DDEVTCP_LOG=ON
echo "-- small configuration: 1 link, 512-byte buffers, no logging"
session build-target-small -DDEVTCP_LINK_NUM=1 -DDEVTCP_BUF_SIZE=512 -DDEVTCP_LOG=OFF
# GCC's own figure for each library function's frame, to set beside the measured depths.
echo "-- -fstack-usage, library frames in bytes (small configuration)"
find build-target-small -name '*.su' -path '*devtcp.dir*' -exec cat {} + |
  awk -F'\t' '{ sub(/\(.*/, "", $1); sub(/.*[ :]/, "", $1); printf "%s %s, ", $1, $2 } END { print "" }'
