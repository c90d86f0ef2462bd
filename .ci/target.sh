#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The stories on microcontroller cores under QEMU: a Cortex-M4 in the default configuration,
# in the same with a 128-byte log line (XR_DEV_TCP_LOG_LINE_SIZE, as the board example has
# it) and in the small one (1 link, 512-byte buffers, no logging), a Cortex-M0 with 16 KiB
# of RAM in the small one, an rv32imac in both. Each image prints every story's result, the
# deepest stack use of every public call and "N passed, N failed, N skipped"; a failure, a
# stack above its ceiling, a fault or a hang fails the step. The images run side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
# No C++ run-time library: the images link with the C driver (the newlib build of
# libstdc++ alone would be a 300 MB download; there is none for RISC-V in Debian).
scripts/setup.sh gcc-arm-none-eabi libnewlib-dev libnewlib-arm-none-eabi qemu-system-arm \
  gcc-riscv64-unknown-elf picolibc-riscv64-unknown-elf qemu-system-misc

# core/configuration/stack ceiling in bytes of every public call, measured with the
# stories' own callbacks running inside the calls. One build per toolchain.
arm=(cortex-m4/default/1700 cortex-m4/shortlog/800 cortex-m4/small/512 cortex-m0/small/704)
riscv=(rv32imac/default/1600 rv32imac/small/560)
# The Cortex-M0's stack: what its 16 KiB leave beside the image's static RAM (13568 bytes,
# the link fails when they do not fit) and the heap of stdio's streams (436 bytes).
m0_stack=2304
build() {  # $1: folder, $2: toolchain file, then the images
  local dir=$1 toolchain=$2; shift 2
  cmake -S tests/target -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=MinSizeRel "-DIMAGES=$(IFS=';'; echo "$*")" -DM0_STACK=$m0_stack >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
}
build build-target-arm arm-none-eabi.cmake "${arm[@]}"
build build-target-rv32 rv32imac.cmake "${riscv[@]}"

# qemu command by core; each run ends by semihosting with the image's exit code. The empty
# semihosting command line leaves picolibc's main without arguments (story names).
declare -A machine=(
  [cortex-m4]="qemu-system-arm -M mps2-an386 -semihosting"
  [cortex-m0]="qemu-system-arm -M microbit -semihosting"
  [rv32imac]="qemu-system-riscv32 -M virt -bios none -semihosting-config enable=on,arg="
)
declare -A pids
for image in "${arm[@]/#/build-target-arm/}" "${riscv[@]/#/build-target-rv32/}"; do
  dir=${image%%/*} rest=${image#*/}
  core=${rest%%/*} config=${rest#*/} config=${config%%/*}
  exe=$dir/${core}_$config
  timeout 300 ${machine[$core]} -nographic -kernel "$exe" </dev/null >"$exe.log" 2>&1 &
  pids[$exe]=$!
done
status=0
for exe in $(printf '%s\n' "${!pids[@]}" | sort); do
  rc=0
  wait "${pids[$exe]}" || rc=$?
  echo "-- ${exe##*/}"
  cat "$exe.log"
  if [ $rc -ne 0 ]; then
    echo "FAILED: exit code $rc (1 a failure or a RISC-V fault, 3 a Cortex-M fault, 124 a hang)"
    status=1
  elif ! grep -q '^[1-9][0-9]* passed, 0 failed' "$exe.log"; then
    echo "FAILED: no stories passed"
    status=1
  fi
done
# What the Cortex-M0 image takes of its 16 KiB.
read -r data bss < <(arm-none-eabi-size build-target-arm/cortex-m0_small | awk 'END { print $2, $3 }')
echo "-- cortex-m0_small RAM: $((data + bss)) bytes static, $m0_stack bytes of stack, of 16384"
# GCC's own figure for each library function's frame, to set beside the measured depths.
for core in cortex-m0 cortex-m4 rv32imac; do
  echo "-- -fstack-usage, library frames in bytes ($core, small configuration)"
  find build-target* -name '*.su' -path "*devtcp_${core}_small.dir*" -exec cat {} + |
    awk -F'\t' '{ sub(/\(.*/, "", $1); sub(/.*[ :]/, "", $1); printf "%s %s, ", $1, $2 } END { print "" }'
done
exit $status
