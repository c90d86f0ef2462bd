#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The stories on two other hosts under qemu-user: s390x (64-bit, big-endian) and i686
# (32-bit), in every configuration (.ci/hosts builds the story runners alone).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh g++-s390x-linux-gnu g++-i686-linux-gnu qemu-user

for host in s390x i686; do
  echo "-- stories on $host"
  dir=build-host-$host
  cmake -S .ci/hosts -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$host-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure
done
