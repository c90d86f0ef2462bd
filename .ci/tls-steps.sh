#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The TLS port on mbedTLS built from Debian's source with the device's configuration
# (ports/tls/own_mbedtls/): on the host, its tests, where the handshake advances a step of
# its elliptic-curve work per call (Debian's binary mbedTLS has no restartable ECC); for a
# Cortex-M4 without an OS, the port, mbedTLS and the test-only entropy source as static
# libraries, with their sizes; and on the Cortex-M4 under QEMU, the full and resumed
# handshakes, whose longest single call may not exceed a twentieth of the full one
# (bench/tls_m4.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh cmake ninja-build openssl libgtest-dev gcc-arm-none-eabi libstdc++-arm-none-eabi-dev \
  libnewlib-arm-none-eabi
src=$(scripts/third-party.sh mbedtls | awk '$1 == "mbedtls" { print $2 }')
cfg=$PWD/ports/tls/own_mbedtls

cmake -S . -B build-tls-steps -G Ninja -DBUILD_TESTING=ON -DDEVTCP_TESTS=ON -DDEVTCP_TOOLS=OFF \
  -DDEVTCP_MBEDTLS_DIR="$src" -DDEVTCP_MBEDTLS_CONFIG="$cfg/config_host.h" >/dev/null
cmake --build build-tls-steps -j "$(nproc)" --target tls_port_test >/dev/null
ctest --test-dir build-tls-steps -R '^tls_port$' --output-on-failure

cmake -S . -B build-tls-board -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cortex-m4.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DDEVTCP_TOOLS=OFF -DDEVTCP_TESTS=OFF \
  -DDEVTCP_TLS_INSECURE_TEST_ENTROPY=ON -DDEVTCP_MBEDTLS_DIR="$src" \
  -DDEVTCP_MBEDTLS_CONFIG="$cfg/config_board.h" >/dev/null 2>&1
cmake --build build-tls-board -j "$(nproc)" \
  --target devtcp_tls devtcp_mbedtls devtcp_tls_insecure_test_entropy >/dev/null
for lib in ports/tls/libdevtcp_tls.a ports/tls/own_mbedtls/libdevtcp_mbedtls.a; do
  arm-none-eabi-size -t "build-tls-board/$lib" |
    awk -v lib="$(basename "$lib")" 'END { printf "Cortex-M4 %s: %d bytes of code and constants\n", lib, $1 + $2 }'
done
bench/tls_m4.sh
