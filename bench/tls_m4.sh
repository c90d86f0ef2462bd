#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The TLS port's full and resumed handshakes on a Cortex-M4 (QEMU's mps2-an386 with
# -icount shift=0), with mbedTLS built from Debian's source with the board's configuration:
# the device's instructions in all and in the longest single call, which may not exceed a
# twentieth of a full handshake's (bench/tls_m4.cpp).
#   bench/tls_m4.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh cmake ninja-build openssl gcc-arm-none-eabi libstdc++-arm-none-eabi-dev \
  libnewlib-arm-none-eabi qemu-system-arm >&2
out=build-bench-tls-m4
src=$(scripts/third-party.sh mbedtls | awk '$1 == "mbedtls" { print $2 }')
cmake -S . -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cortex-m4.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DDEVTCP_TOOLS=OFF -DDEVTCP_TESTS=OFF \
  -DDEVTCP_TLS_INSECURE_TEST_ENTROPY=ON -DDEVTCP_MBEDTLS_DIR="$src" \
  -DDEVTCP_MBEDTLS_CONFIG="$PWD/bench/tls_m4_config.h" >/dev/null 2>&1
cmake --build "$out" -j2 --target devtcp_tls devtcp_mbedtls devtcp_tls_insecure_test_entropy >/dev/null
# The stories' start-up and memory map (semihosting for output and files), newlib.
cpu=(-mcpu=cortex-m4 -mthumb -mfloat-abi=hard -mfpu=fpv4-sp-d16)
arm-none-eabi-gcc -Os "${cpu[@]}" -c tests/target/startup.c -o "$out/startup.o"
arm-none-eabi-g++ -Os "${cpu[@]}" -std=c++17 -fno-exceptions -fno-rtti -fno-threadsafe-statics \
  -Idevtcp/include -Iports/tls/include -Iports/tls/test_only -I"$src/include" \
  -DMBEDTLS_CONFIG_FILE="\"$PWD/bench/tls_m4_config.h\"" \
  bench/tls_m4.cpp "$out/startup.o" "$out/ports/tls/libdevtcp_tls.a" \
  "$out/ports/tls/libdevtcp_tls_insecure_test_entropy.a" \
  "$out/ports/tls/own_mbedtls/libdevtcp_mbedtls.a" "$out/devtcp/libdevtcp.a" \
  -nostartfiles -nodefaultlibs -Wl,--gc-sections -Wl,--wrap=_sbrk -Wl,--defsym=__stack_size=16K \
  -Ttests/target/cortex-m.ld -Wl,--start-group -lc -lrdimon -lgcc -Wl,--end-group \
  -o "$out/tls_m4.elf"
scripts/tls-certs.sh "$out/certs" devtcp-agent
(cd "$out/certs" && timeout 600 qemu-system-arm -M mps2-an386 -icount shift=0 -semihosting \
  -nographic -kernel ../tls_m4.elf </dev/null)
