#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the TLS port (ports/tls) costs: its own code, the mbedTLS code it links in,
# mbedTLS's heap per link, and a full against a resumed handshake in the device's
# instructions (callgrind), in all and in its longest single call, and bytes each way
# (bench/tls_memory.cpp), on this machine. Twice: with Debian's mbedTLS, and with mbedTLS
# built from Debian's source with the device's configuration
# (ports/tls/own_mbedtls/config_host.h), whose handshake advances in steps: no single call
# may run more than a twentieth of a full handshake's instructions.
#   bench/tls.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh libmbedtls-dev openssl valgrind cmake ninja-build >&2
out=build-bench-tls
rm -rf "$out" && mkdir -p "$out"
scripts/tls-certs.sh "$out/certs" devtcp-agent
inc=(-Idevtcp/include -Iports/tls/include)

# mbedTLS from Debian's source with the device's configuration, built as the port builds it.
src=$(scripts/third-party.sh mbedtls | awk '$1 == "mbedtls" { print $2 }')
cmake -S . -B "$out/own" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEVTCP_TOOLS=OFF \
  -DDEVTCP_TESTS=OFF -DDEVTCP_MBEDTLS_DIR="$src" \
  -DDEVTCP_MBEDTLS_CONFIG="$PWD/ports/tls/own_mbedtls/config_host.h" >/dev/null
cmake --build "$out/own" -j2 --target devtcp_mbedtls >/dev/null
lib=$(dirname "$(gcc -print-file-name=libmbedtls.a)")
declare -A mbed_libs=([debian]="$lib/libmbedtls.a $lib/libmbedx509.a $lib/libmbedcrypto.a"
                      [own]="$out/own/ports/tls/own_mbedtls/libdevtcp_mbedtls.a")
declare -A mbed_flags=([debian]=""
                       [own]="-I$src/include -DMBEDTLS_CONFIG_FILE=\"$PWD/ports/tls/own_mbedtls/config_host.h\"")
declare -A mbed_name=([debian]="Debian's build" [own]="the device's configuration")

for build in debian own; do
  read -ra flags <<<"${mbed_flags[$build]}"
  read -ra libs <<<"${mbed_libs[$build]}"
  echo "== mbedTLS: ${mbed_name[$build]}"
  for opt in -Os -O2; do
    for s in ports/tls/src/*.cpp; do
      g++ "$opt" -std=c++17 -fno-exceptions -fno-rtti -Wall -Wextra -Werror "${inc[@]}" \
        "${flags[@]}" -c "$s" -o "$out/$build-$(basename "$s" .cpp)$opt.o"
    done
    read -r code bss < <(size -t "$out/$build"-*"$opt".o | awk 'END { print $1 + $2, $3 }')
    echo "TLS port code (x86-64 g++ $opt): $code bytes; static memory: $bss bytes"
  done

  # mbedTLS linked statically into the measuring program, less the agent's server side.
  g++ -O2 -std=c++17 "${inc[@]}" "${flags[@]}" bench/tls_memory.cpp ports/tls/src/*.cpp \
    "${libs[@]}" -Wl,--wrap=calloc,--wrap=free -Wl,--gc-sections \
    -Wl,-Map="$out/$build.map" -o "$out/$build-tls_memory"
  python3 - "$out/$build.map" <<'PY'
import re, sys
total = server = 0
section = ""
for line in open(sys.argv[1]):
    m = re.match(r"^ (\.\S+)", line)
    if m:
        section = m.group(1)
    m = re.search(r"\s0x[0-9a-f]+\s+0x([0-9a-f]+)\s+\S*lib\w*mbed\w*\.a\((\S+)\)", line)
    if m and re.match(r"\.(text|rodata|data)", section):
        total += int(m.group(1), 16)
        server += int(m.group(1), 16) if re.search(r"ssl_srv|ssl_ticket|ssl_cache", m.group(2)) else 0
print(f"mbedTLS code and constants linked for a device (x86-64): {total - server} bytes")
PY
  # Callgrind counts only inside the port's calls (the program toggles it) and writes one
  # count per call, named after its handshake.
  mkdir -p "$out/$build-callgrind"
  valgrind --tool=callgrind --collect-atstart=no \
    --callgrind-out-file="$out/$build-callgrind/callgrind.%p" \
    "$out/$build-tls_memory" "$out/certs/ca.pem" "$out/certs/agent.pem" "$out/certs/agent.key" \
    2>/dev/null
  awk -v steps="$([ "$build" = own ] && echo 1 || echo 0)" '
    /^desc: Trigger:/ { sub(/.*Client Request: /, ""); what = $0 }
    /^summary:/ { n[what] += $2; if ($2 > top[what]) top[what] = $2 }
    END { for (h in n) if (h ~ /handshake/)
            printf "%s: %d device instructions (port and mbedTLS), longest call %d (%.1f %%)\n",
                   h, n[h], top[h], 100 * top[h] / n[h]
          r = n["resumed handshake"] / n["full handshake"]
          s = top["full handshake"] / n["full handshake"]
          printf "resumed / full: %.2f %% (target: at most 10 %%)\n", 100 * r
          if (steps) printf "longest call / full handshake: %.2f %% (target: at most 5 %%)\n", 100 * s
          exit !(r > 0 && r <= 0.1 && (!steps || s <= 0.05)) }' "$out/$build-callgrind"/callgrind.*
done
