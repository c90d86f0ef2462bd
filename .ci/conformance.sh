#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The port conformance kit on every port that ships, each against devtcp-agent: posix;
# tls (mbedTLS); lwip and lwip_raw (Debian's lwIP inside the kit, on lwIP's own loopback,
# the raw-API port called under the core lock); winsock, cross-built with mingw-w64 and run
# under wine. Each must pass every point it can run; the tally names what a port cannot
# run (winsock: the descriptor limit, which Windows does not have).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh pkg-config liblwip-dev libmbedtls-dev g++-mingw-w64-x86-64-posix wine wine64

cmake -S . -B build >/dev/null
cmake --build build -j2 --target devtcp-agent devtcp-conformance-posix devtcp-conformance-tls \
  devtcp-conformance-lwip devtcp-conformance-lwip_raw
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build build-win -j2 --target devtcp-conformance-winsock

WINEPREFIX="$(mktemp -d)"
export WINEPREFIX WINEDEBUG=-all
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

kit() {
  echo "-- $1"
  /usr/bin/python3 tests/conformance/run.py build/tools/agent/devtcp-agent "$@"
}
all="13 passed, 0 failed, 0 not run"
kit build/tools/conformance/devtcp-conformance-posix "$all"
kit build/tools/conformance/devtcp-conformance-tls "$all" --tls
kit build/tools/conformance/devtcp-conformance-lwip "$all" --relay
kit build/tools/conformance/devtcp-conformance-lwip_raw "$all" --relay
kit build-win/tools/conformance/devtcp-conformance-winsock.exe "12 passed, 0 failed, 1 not run" \
  --wine wine
