#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Packaging check: installs the library and its socket-table ports into a temporary prefix,
# builds the C99 example device against it with find_package (CMake) and with pkg-config
# (Makefile), and from the source tree with FetchContent, each once with its own socket
# operations and once with devtcp::posix, then runs each build briefly against the device
# agent and checks that it logged in. devtcp::lwip is linked into a C program both ways.
# Runs as root on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DEBIAN_FRONTEND=noninteractive
scripts/setup.sh  # with pkg-config and liblwip-dev, for devtcp::lwip

work=$(mktemp -d)
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; wait "$agent_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
jobs=$(nproc)

grep -q 'cmake/install.cmake' devtcp/CMakeLists.txt ||
  { echo "packaging: devtcp/CMakeLists.txt does not include cmake/install.cmake" >&2; exit 1; }
echo "-- install the library into $prefix"
cmake -S . -B build-pkg -DBUILD_TESTING=OFF -DDEVTCP_TOOLS=ON >/dev/null
cmake --build build-pkg -j "$jobs" >/dev/null
cmake --install build-pkg --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f | sort)
for f in include/xr_dev_tcp.h lib/libdevtcp.a lib/pkgconfig/devtcp.pc \
         lib/cmake/devtcp/devtcpConfig.cmake lib/cmake/devtcp/devtcpConfigVersion.cmake \
         include/xr_dev_tcp_posix.h lib/libdevtcp_posix.a lib/pkgconfig/devtcp-posix.pc \
         include/xr_dev_tcp_lwip.h lib/libdevtcp_lwip.a lib/pkgconfig/devtcp-lwip.pc; do
  [ -f "$prefix/$f" ] || { echo "packaging: $f was not installed" >&2; exit 1; }
done
# Public headers only: the library's and its ports' (xr_dev_tcp_<port>.h).
if [ -n "$(find "$prefix/include" -type f ! -name 'xr_dev_tcp*.h')" ]; then
  echo "packaging: headers other than the public ones were installed" >&2; exit 1
fi
for f in include/xr_dev_tcp_tls.h lib/libdevtcp_tls.a; do
  [ -f "$prefix/$f" ] || { echo "packaging: $f (devtcp::tls) was not installed" >&2; exit 1; }
done
grep -q 'devtcp::tls' "$prefix"/lib/cmake/devtcp/devtcpTargets.cmake ||
  { echo "packaging: the CMake package has no devtcp::tls" >&2; exit 1; }
version=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion devtcp)
header=$(sed -n 's/^#define XR_DEV_TCP_VERSION "\(.*\)".*/\1/p' "$prefix/include/xr_dev_tcp.h")
[ "$version" = "$header" ] || { echo "packaging: devtcp.pc says $version, header $header" >&2; exit 1; }
# The library's build configuration travels with it, so that an application sees the same.
cflags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags devtcp)
for d in XR_DEV_TCP_LINK_NUM=2 XR_DEV_TCP_BUF_SIZE=2048 XR_DEV_TCP_LOG=1; do
  case " $cflags " in *" -D$d "*) ;; *) echo "packaging: devtcp.pc lacks -D$d: $cflags" >&2; exit 1 ;; esac
done

example=$root/examples/c99_device
binaries=()
for port in "" posix; do
  suffix=${port:+-$port}
  echo "-- example${port:+ on devtcp::$port} with find_package(devtcp CONFIG)"
  rm -rf "build-pkg-cmake$suffix"
  cmake -S "$example" -B "build-pkg-cmake$suffix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DDEVICE_POSIX_PORT=${port:+ON} >/dev/null
  cmake --build "build-pkg-cmake$suffix" >/dev/null

  echo "-- example${port:+ on devtcp-posix} with pkg-config and make (gcc, no C++ run-time library)"
  rm -rf "build-pkg-make$suffix" && mkdir "build-pkg-make$suffix"
  make -s -C "build-pkg-make$suffix" -f "$example/Makefile" CC=gcc PORT="$port" \
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig"

  echo "-- example${port:+ on devtcp::$port} with FetchContent from the source tree"
  rm -rf "build-pkg-fetch$suffix"
  cmake -S "$example" -B "build-pkg-fetch$suffix" -DDEVTCP_SOURCE_DIR="$root" \
    -DDEVICE_POSIX_PORT=${port:+ON} >/dev/null
  cmake --build "build-pkg-fetch$suffix" >/dev/null
  binaries+=("build-pkg-cmake$suffix/c99_device" "build-pkg-make$suffix/c99_device"
             "build-pkg-fetch$suffix/c99_device")
done

echo "-- a C program on devtcp::lwip, with find_package(COMPONENTS lwip) and with pkg-config"
lwip=$work/lwip && mkdir -p "$lwip"
printf '#include <xr_dev_tcp_lwip.h>\nint main(void) { return xrDevTcpLwipSockets()->SocketOpen == 0; }\n' >"$lwip/main.c"
printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(lwip_device LANGUAGES C)' \
  'find_package(devtcp 1.1 CONFIG REQUIRED COMPONENTS lwip)' 'add_executable(lwip_device main.c)' \
  'target_link_libraries(lwip_device PRIVATE devtcp::lwip)' >"$lwip/CMakeLists.txt"
cmake -S "$lwip" -B "$lwip/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$lwip/build" >/dev/null
# shellcheck disable=SC2046
gcc -std=c99 -o "$lwip/by-pkg-config" "$lwip/main.c" \
  $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs devtcp-lwip)
"$lwip/build/lwip_device" && "$lwip/by-pkg-config" ||
  { echo "packaging: the programs on devtcp::lwip do not run" >&2; exit 1; }
binaries+=("$lwip/build/lwip_device" "$lwip/by-pkg-config")

for b in "${binaries[@]}"; do
  if readelf -d "$b" | grep -q 'libstdc++'; then
    echo "packaging: $b needs the C++ run-time library" >&2; exit 1
  fi
done

agent=build-pkg/tools/agent/devtcp-agent
if [ ! -x "$agent" ]; then
  echo "-- SKIPPED running the example: $agent was not built (tools/agent not there yet)"
  exit 0
fi

echo "-- run each build against the agent"
"$agent" --listen 127.0.0.1:0 --json --interval 300 >"$work/agent.jsonl" 2>&1 &
agent_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n '1s/.*"port":\([0-9]*\).*/\1/p' "$work/agent.jsonl")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "packaging: the agent did not start" >&2; cat "$work/agent.jsonl" >&2; exit 1; }

n=0
for b in "${binaries[@]}"; do
  [[ $b == */c99_device ]] || continue
  n=$((n + 1))
  user="c99-device-$n"
  out=$work/device-$n.txt
  if ! "$b" "127.0.0.1:$port" "$user" 2 >"$out" 2>&1; then
    echo "packaging: $b did not get online" >&2; cat "$out" >&2; exit 1
  fi
  grep -q 'TcpNotify: .*(Online)' "$out" || { echo "packaging: no Online from $b" >&2; cat "$out" >&2; exit 1; }
  grep -q 'TcpReceiveStr: .*lpszPeer=demo-peer' "$out" || { echo "packaging: $b received no message" >&2; cat "$out" >&2; exit 1; }
  grep -q "\"event\":\"login\".*\"user\":\"$user\".*\"accepted\":true" "$work/agent.jsonl" ||
    { echo "packaging: the agent saw no accepted login of $user" >&2; cat "$work/agent.jsonl" >&2; exit 1; }
  echoes=$(grep -c '"event":"echo"' "$work/agent.jsonl" || true)
  [ "$echoes" -gt "${echoes_before:-0}" ] || { echo "packaging: the agent got no echo from $b" >&2; exit 1; }
  echoes_before=$echoes
  echo "$b: logged in as $user, received and echoed ($(grep -c '^TcpReceive' "$out") messages)"
done
echo "-- packaging passed"
