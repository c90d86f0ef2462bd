#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the library, the console client and the port conformance kit for Windows
# with mingw-w64 and runs the client's end-to-end test under wine (the kit runs in
# .ci/conformance.sh). Installs the compiler and wine when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh g++-mingw-w64-x86-64-posix wine wine64

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build build-win -j "$(nproc)" --target devtcp-console devtcp-conformance-winsock

WINEPREFIX="$(mktemp -d)"
export WINEPREFIX WINEDEBUG=-all
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# The client's end-to-end runs against the native agent, on the tick and driven by events
# (idle without spinning, also while a refused connection waits for its timeout). The first
# wine start creates the prefix, which can take half a minute or more; the scenario allows it.
cmake -S . -B build >/dev/null
cmake --build build -j2 --target devtcp-agent
for scenario in login_echo events events_refused; do
  /usr/bin/python3 tests/e2e/scenarios.py build/tools/agent/devtcp-agent \
    build-win/console/devtcp-console.exe "$scenario" --wine wine
done
