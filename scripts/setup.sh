#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes sure that the tools for building and testing are there, and installs nothing
# when they are. Each tool is looked for as a command, a header or a pkg-config module,
# so tools installed by any means count; with apt-get (Debian, Ubuntu) the Debian
# packages of those still missing are installed (as root, or with sudo). Without apt-get
# (macOS, Fedora, ...) the missing tools are named: install them with the system's own
# package manager. Extra Debian package names may be given as arguments; each counts as
# there when dpkg says so or a command of that name exists.
set -euo pipefail

has_command() { command -v "$1" >/dev/null 2>&1; }
has_header() { printf '#include <%s>\n' "$1" | "${CXX:-c++}" -E -x c++ - >/dev/null 2>&1; }
has_module() { has_command pkg-config && pkg-config --exists "$1"; }

# Debian package | what it is needed for ("optional:" where a build without it only
# leaves that part out) | the test that finds it.
tools=(
  "cmake|building|has_command cmake"
  "make|building|has_command make"
  "g++|building|has_command c++"
  "python3|the end-to-end tests|has_command python3"
  "libgtest-dev|the tests (GoogleTest)|has_header gtest/gtest.h || has_module gtest"
  "googletest|the tests (GoogleTest)|has_header gtest/gtest.h || has_module gtest"
  "libssl-dev|devtcp-agent (OpenSSL)|has_header openssl/ssl.h || has_module openssl"
  "openssl|the TLS tests' certificates|has_command openssl"
  "pkg-config|optional: the lwIP port|has_command pkg-config"
  "libbenchmark-dev|optional: the benchmarks|has_header benchmark/benchmark.h || has_module benchmark"
  "liblwip-dev|optional: the lwIP port|has_module lwip"
  "libmbedtls-dev|optional: the TLS port|has_header mbedtls/ssl.h"
)
for p in "$@"; do tools+=("$p|the calling script|has_command $p"); done

has_package() {
  has_command dpkg-query &&
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for tool in "${tools[@]}"; do
  IFS='|' read -r pkg _ test <<<"$tool"
  eval "$test" || has_package "$pkg" || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! has_command apt-get; then
  needed=0
  echo "setup: missing, and there is no apt-get to install them (Debian package names):" >&2
  for tool in "${missing[@]}"; do
    IFS='|' read -r pkg what test <<<"$tool"
    looked=$(sed 's/has_command/command/g; s/has_header/header/g; s/has_module/pkg-config module/g
                  s/ || / or /g' <<<"$test")
    if [ "${what#optional: }" != "$what" ]; then
      echo "  $pkg (optional, ${what#optional: }): no $looked" >&2
    else
      echo "  $pkg (for $what): no $looked" >&2
      needed=1
    fi
  done
  [ "$needed" = 0 ] && { echo "setup: the build leaves those parts out" >&2; exit 0; }
  echo "setup: install the tools above with this system's package manager" >&2
  exit 1
fi

pkgs=()
for tool in "${missing[@]}"; do pkgs+=("${tool%%|*}"); done
echo "setup: installing ${pkgs[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${pkgs[@]}"
