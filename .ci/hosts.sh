#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The unit tests on two other hosts under qemu-user: s390x (64-bit, big-endian) and i686
# (32-bit). Each build is the library and the unit tests' own CMake (.ci/hosts), with
# GoogleTest built from Debian's sources by the same cross compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh g++-s390x-linux-gnu g++-i686-linux-gnu qemu-user googletest

for host in s390x i686; do
  echo "-- unit tests on $host"
  dir=build-host-$host
  cmake -S .ci/hosts -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$host-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  ctest --test-dir "$dir" -R '^unit\.' -j "$(nproc)" --output-on-failure
done
