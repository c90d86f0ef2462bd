#!/usr/bin/env bash
# Cross-builds the library and the console client for Windows with mingw-w64 and runs
# the client's end-to-end test under wine. Installs the compiler and wine when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

pkgs=(g++-mingw-w64-x86-64-posix wine wine64 cmake make python3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build build-win -j "$(nproc)" --target devtcp-console

WINEPREFIX="$(mktemp -d)"
export WINEPREFIX WINEDEBUG=-all
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# The first wine start creates the prefix, which can take half a minute or more.
/usr/bin/python3 tests/console/e2e_console.py --first-timeout 180 \
  wine build-win/console/devtcp-console.exe
