#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the TLS port (ports/tls) costs: its own code, the mbedTLS code it links in,
# mbedTLS's heap per link, and a full against a resumed handshake in the device's
# instructions (callgrind) and bytes each way (bench/tls_memory.cpp), on this machine
# with Debian's mbedTLS.
#   bench/tls.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh libmbedtls-dev openssl valgrind >&2
out=build-bench-tls
rm -rf "$out" && mkdir -p "$out"
scripts/tls-certs.sh "$out/certs" devtcp-agent
lib=$(dirname "$(gcc -print-file-name=libmbedtls.a)")
mbed=("$lib/libmbedtls.a" "$lib/libmbedx509.a" "$lib/libmbedcrypto.a")
inc=(-Idevtcp/include -Iports/tls/include)

for opt in -Os -O2; do
  for src in ports/tls/src/*.cpp; do
    g++ "$opt" -std=c++17 -fno-exceptions -fno-rtti -Wall -Wextra -Werror "${inc[@]}" \
      -c "$src" -o "$out/$(basename "$src" .cpp)$opt.o"
  done
  read -r code bss < <(size -t "$out"/*"$opt".o | awk 'END { print $1 + $2, $3 }')
  echo "TLS port code (x86-64 g++ $opt): $code bytes; static memory: $bss bytes"
done

# mbedTLS linked statically into the measuring program, less the agent's server side.
g++ -O2 -std=c++17 "${inc[@]}" bench/tls_memory.cpp ports/tls/src/*.cpp "${mbed[@]}" \
  -Wl,--wrap=calloc,--wrap=free -Wl,--gc-sections -Wl,-Map="$out/tls_memory.map" \
  -o "$out/tls_memory"
python3 - "$out/tls_memory.map" <<'PY'
import re, sys
total = server = 0
section = ""
for line in open(sys.argv[1]):
    m = re.match(r"^ (\.\S+)", line)
    if m:
        section = m.group(1)
    m = re.search(r"\s0x[0-9a-f]+\s+0x([0-9a-f]+)\s+\S*libmbed\w*\.a\((\S+)\)", line)
    if m and re.match(r"\.(text|rodata|data)", section):
        total += int(m.group(1), 16)
        server += int(m.group(1), 16) if "ssl_srv" in m.group(2) else 0
print(f"mbedTLS code and constants linked for a device (x86-64, Debian's build): {total - server} bytes")
PY
# Callgrind counts only inside the port's calls (the program toggles it) and writes one
# file per handshake.
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/callgrind.%p" \
  "$out/tls_memory" "$out/certs/ca.pem" "$out/certs/agent.pem" "$out/certs/agent.key" 2>/dev/null
awk '/^desc: Trigger:/ { sub(/.*Client Request: /, ""); what = $0 }
     /^summary:/ { printf "%s: %d device instructions (port and mbedTLS)\n", what, $2; n[what] = $2 }
     END { r = n["resumed handshake"] / n["full handshake"]
           printf "resumed / full: %.2f %% (target: at most 10 %%)\n", 100 * r
           exit !(r > 0 && r <= 0.1) }' "$out"/callgrind.*.[12]
