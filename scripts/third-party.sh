#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches the sources of lwIP and mbedTLS from Debian's source packages into
# third-party/ (git ignores it), for the board image, which builds both itself: Debian's
# binary packages are built for a host with an OS. Nothing fetched here is committed.
#
#   scripts/third-party.sh [lwip] [mbedtls]     (both when none is named)
#
# Prints the folder of each package's sources, one line each ("lwip DIR"). Needs apt-get
# with a deb-src entry: one is written, as a file of its own beside the system's
# debian.sources, with the same fields and "Types: deb-src"; the system's file is left
# as it is. Also installs dpkg-dev (apt-get source unpacks with it) and socat (the
# board's network forwards each connection through it).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(lwip mbedtls)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

src_list=/etc/apt/sources.list.d/devtcp-deb-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  system=/etc/apt/sources.list.d/debian.sources
  [ -f "$system" ] || { echo "third-party: no $system to copy a deb-src entry from" >&2; exit 1; }
  sed 's/^Types:.*/Types: deb-src/' "$system" | $sudo tee "$src_list" >/dev/null
  $sudo apt-get update -qq
fi
need=()
command -v dpkg-source >/dev/null || need+=(dpkg-dev)
command -v socat >/dev/null || need+=(socat)
[ ${#need[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >&2

mkdir -p "$top/third-party"
for pkg in "${wanted[@]}"; do
  case "$pkg" in lwip|mbedtls) ;; *) echo "third-party: unknown package $pkg" >&2; exit 2;; esac
  dir=$(find "$top/third-party" -maxdepth 1 -type d -name "$pkg-*" | sort | tail -n 1)
  if [ -z "$dir" ]; then
    (cd "$top/third-party" && apt-get source -qq "$pkg" >&2)
    dir=$(find "$top/third-party" -maxdepth 1 -type d -name "$pkg-*" | sort | tail -n 1)
  fi
  [ -n "$dir" ] || { echo "third-party: apt-get source $pkg left no folder" >&2; exit 1; }
  echo "$pkg $dir"
done
