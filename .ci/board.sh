#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The board example (examples/mps2_lwip: lwIP without an OS, devtcp::lwip_raw) on QEMU's
# mps2-an386 against devtcp-agent playing scenario files, through QEMU's user-mode network:
# restrict=on, so that the board reaches nothing but one forwarded address per agent
# (10.0.2.100:8800, 10.0.2.101:8800), each connection carried by socat to the agent's
# port on the host's loopback. The image boots afresh for every file. Every file runs
# twice: on a plain link, and on a lossy one where the board's driver throws away the 3rd
# of every 7 frames it receives, so that slirp retransmits (its first retransmission
# comes after about 3 s: the lossy runs add LOSSY_EXTRA_MS to every wait) and lwIP holds
# segments out of order; the 92 s silence_drop runs once, on the plain link. A failed
# step, a board that faults or ends early, or a lossy run that dropped nothing fails the
# step. Then the image's flash and RAM against their ceilings, and the echo round trip
# through QEMU's network (a figure, never a check).
#
# .ci/board.sh tls: the image with the link over TLS (MPS2_TLS: devtcp::tls on mbedTLS
# built for the board, a CA made for the run built in) against the agent in TLS mode:
# tests/board/tls_resume.scenario (login, echo, the agent closes, the board comes back and
# must resume its session: its second handshake receives less than half the bytes of the
# first, which carried the certificate). Then the same file in a run of its own under
# -icount shift=0, where the board counts the instructions of the library's calls: the
# longest call of the full handshake may not exceed a twentieth of it, which must span 20
# ticks or more; the handshakes' instructions, the image's sizes and its heap stay under
# ceilings set from the first measured values.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh gcc-arm-none-eabi libstdc++-arm-none-eabi-dev libnewlib-dev libnewlib-arm-none-eabi \
  qemu-system-arm socat
lwip=$(scripts/third-party.sh lwip | awk '$1 == "lwip" { print $2 }')
board_mode=${1:-plain}
case "$board_mode" in plain|tls) ;; *) echo "usage: .ci/board.sh [tls]" >&2; exit 2;; esac

JOBS=${BOARD_JOBS:-3}    # boards and agents running side by side
LOSSY_EXTRA_MS=10000
DROP=3/7
out=build-board
agent_tls=()  # the agent's options for TLS
if [ "$board_mode" = tls ]; then
  scripts/setup.sh openssl
  mbedtls=$(scripts/third-party.sh mbedtls | awk '$1 == "mbedtls" { print $2 }')
  scripts/tls-certs.sh "$out/certs" devtcp-agent
  agent_tls=(--tls-cert "$out/certs/agent.pem" --tls-key "$out/certs/agent.key")
  cmake -S examples/mps2_lwip -B "$out/tls" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cortex-m4.cmake" \
    -DLWIP_DIR="$lwip" -DMPS2_TLS=ON -DMBEDTLS_DIR="$mbedtls" \
    -DMPS2_TLS_CA="$PWD/$out/certs/ca.pem" >/dev/null 2>&1
  cmake --build "$out/tls" -j 2 >/dev/null
  image=$out/tls/mps2_lwip.elf
  runs=$out/runs-tls
else
  cmake -S examples/mps2_lwip -B "$out/image" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cortex-m4.cmake" \
    -DLWIP_DIR="$lwip" >/dev/null
  cmake --build "$out/image" -j 2 >/dev/null
  image=$out/image/mps2_lwip.elf
  runs=$out/runs
fi
cmake -S . -B "$out/host" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$out/host" -j 2 --target devtcp-agent >/dev/null
agent=$out/host/tools/agent/devtcp-agent

# The whole image's flash (code, constants, data's initial values) and static RAM (data,
# bss; the stack's 8 KiB come on top), and each part's share from the linker's map (the
# parts count strings that the linker merged once per object, so they add up to a few
# dozen bytes more). Ceilings set from the first measured values (37640 B, 38624 B; with
# TLS 99776 B, 40552 B).
FLASH_LIMIT=39000
RAM_LIMIT=39500
if [ "$board_mode" = tls ]; then
  FLASH_LIMIT=101500
  RAM_LIMIT=41500
fi
status=0
read -r flash ram < <(arm-none-eabi-size "$image" | awk 'END { print $1 + $2, $2 + $3 }')
echo "-- board image: flash $flash bytes (limit $FLASH_LIMIT), static RAM $ram bytes" \
     "(limit $RAM_LIMIT); by part, flash and RAM:"
python3 bench/board_image.py "$image.map" |
  awk '$1 != "total" { gsub("_", " ", $1); printf "   %-12s %6d %6d\n", $1, $2, $3 }'
[ "$flash" -le "$FLASH_LIMIT" ] || { echo "FAIL: flash above $FLASH_LIMIT bytes"; status=1; }
[ "$ram" -le "$RAM_LIMIT" ] || { echo "FAIL: static RAM above $RAM_LIMIT bytes"; status=1; }
rm -rf "$runs" && mkdir -p "$runs"

# Starts an agent on a free port of the loopback (its pid in $!); prints the port.
start_agent() {  # $1: log file, then the agent's options
  local log=$1; shift
  timeout 300 "$agent" --listen 127.0.0.1:0 "${agent_tls[@]}" "$@" >"$log" 2>&1 &
}
agent_port() {  # $1: the agent's log file (its "listening" line names the port)
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n '/listening/{s/.*127\.0\.0\.1:\([0-9]*\).*/\1/p;q}' "$1")
    [ -n "$port" ] && break
    sleep 0.1
  done
  echo "${port:-0}"
}

# Boots the board against agents (its pid in $!). Its output goes to $1.
qemu_extra=()  # more of QEMU's options (a run under -icount sets its own)
start_board() {  # $1: log file, $2: extra command-line words, then the agents' ports
  local log=$1 words=$2; shift 2
  local net="user,id=n0,restrict=on" i=100
  for port in "$@"; do
    net+=",guestfwd=tcp:10.0.2.$i:8800-cmd:socat STDIO TCP:127.0.0.1:$port"
    i=$((i + 1))
  done
  timeout 400 qemu-system-arm -M mps2-an386 "${qemu_extra[@]}" -nographic -monitor none \
    -semihosting-config enable=on,target=native -nic none -netdev "$net" \
    -net nic,netdev=n0,model=lan9118 -kernel "$image" -append "user=tester $words" \
    </dev/null >"$log" 2>&1 &
}

# One run: the scenario files (one agent each, at 10.0.2.100, 10.0.2.101) against a fresh
# board; writes PASS or FAIL and why to $runs/NAME.verdict.
run() {  # $1: name, $2: plain, lossy or icount (measuring), then the scenario files
  local name=$1 mode=$2; shift 2
  local base=$runs/$name.$mode words="" i=0 pids=() ports=() why=""
  [ "$mode" = lossy ] && words="drop=$DROP"
  local qemu_extra=()
  if [ "$mode" = icount ]; then
    words="icount=1"
    qemu_extra=(-icount shift=0)
  fi
  [ -z "${agent_tls[*]}" ] || words+=" seed=$RANDOM"
  for file in "$@"; do
    if [ "$mode" = lossy ]; then  # every wait longer; an expect without one gets one
      perl -pe "s/within=(\d+)/'within='.(\$1+$LOSSY_EXTRA_MS)/e;
                s/^(expect\b(?!.*within=).*?)\s*\$/\$1 within=$((10000 + LOSSY_EXTRA_MS))\n/" \
        "$file" >"$base.$i.scenario"
      file=$base.$i.scenario
    fi
    start_agent "$base.agent$i.log" --scenario "$file"
    pids+=("$!")
    ports+=("$(agent_port "$base.agent$i.log")")
    i=$((i + 1))
  done
  start_board "$base.board.log" "$words" "${ports[@]}"
  local board=$!
  for pid in "${pids[@]}"; do
    wait "$pid" || why+=" a step failed;"
  done
  if ! kill "$board" 2>/dev/null; then
    why+=" the board ended early;"
  fi
  wait "$board" 2>/dev/null || true
  grep -q '^FAULT\|^FAILED' "$base.board.log" && why+=" the board failed;"
  if [ "$mode" = lossy ] && ! grep -q 'received, [1-9][0-9]* dropped' "$base.board.log"; then
    why+=" no frame dropped;"
  fi
  local steps
  steps=$(cat "$base".agent*.log | grep -hE '^[0-9]+ passed, [0-9]+ failed' | paste -sd' ')
  local verdict=PASS
  [ -z "$why" ] || verdict=FAIL
  echo "$verdict $name ($mode): ${steps:-no verdict}${why}" >"$base.verdict"
}

if [ "$board_mode" = tls ]; then
  start=$SECONDS
  run tls_resume plain tests/board/tls_resume.scenario &
  run tls_resume icount tests/board/tls_resume.scenario &
  wait
  # A handshake's line: "tls: handshake N completed: S bytes sent, R received, T ticks;
  # I instructions, the longest call L (P %); heap H bytes at most, stack K" (the
  # instructions in the run under -icount only).
  field() {  # $1: log, $2: handshake number, $3: the word after the wanted number
    sed -n "s/^tls: handshake $2 completed: .*[ ]\([0-9]*\) $3.*/\1/p" "$1" | head -n 1
  }
  for m in plain icount; do
    base=$runs/tls_resume.$m
    full=$(field "$base.board.log" 1 received) resumed=$(field "$base.board.log" 2 received)
    if [ -z "$full" ] || [ -z "$resumed" ] || [ $((2 * resumed)) -ge "$full" ]; then
      sed -i '1s/^PASS/FAIL/; 1s/$/ the reconnect did not resume its TLS session;/' "$base.verdict"
    fi
    cat "$base.verdict"
    grep -q '^PASS' "$base.verdict" ||
      { status=1; for log in "$base".*.log; do echo "--- $log"; cat "$log"; done; }
    grep '^tls: handshake' "$base.board.log" | sed 's/^/   /'
  done
  echo "-- TLS scenario runs: $((SECONDS - start)) s"
  log=$runs/tls_resume.icount.board.log
  # Ceilings set from the first measured values (75.9 M, 0.42 M instructions, 12212 B of
  # heap); the longest call's share is the claim itself.
  FULL_LIMIT=80000000 RESUMED_LIMIT=450000 HEAP_LIMIT=13000
  full=$(field "$log" 1 instructions) longest=$(field "$log" 1 '(') ticks=$(field "$log" 1 ticks)
  resumed=$(field "$log" 2 instructions) heap=$(field "$runs/tls_resume.plain.board.log" 2 bytes)
  stack=$(sed -n 's/.*stack: \([0-9]*\) bytes used.*/\1/p' "$runs"/tls_resume.*.board.log | sort -n | tail -n 1)
  echo "-- full TLS handshake on the board (-icount shift=0): ${full:-?} instructions over" \
       "${ticks:-?} ticks (at least 20), the longest xrDevTcpProc call ${longest:-?}" \
       "(at most a twentieth); resumed: ${resumed:-?} instructions (limits $FULL_LIMIT," \
       "$RESUMED_LIMIT)"
  echo "-- mbedTLS's heap at most ${heap:-?} bytes (limit $HEAP_LIMIT); deepest stack" \
       "${stack:-?} bytes of 8192"
  if [ -z "$full" ] || [ -z "$longest" ] || [ -z "$resumed" ] || [ -z "$heap" ]; then
    echo "FAIL: the board's handshake figures are missing"; status=1
  else
    [ $((20 * longest)) -le "$full" ] ||
      { echo "FAIL: a single call ran more than a twentieth of the full handshake"; status=1; }
    [ "$ticks" -ge 20 ] || { echo "FAIL: the full handshake spanned fewer than 20 ticks"; status=1; }
    [ "$full" -le "$FULL_LIMIT" ] || { echo "FAIL: full handshake above $FULL_LIMIT"; status=1; }
    [ "$resumed" -le "$RESUMED_LIMIT" ] ||
      { echo "FAIL: resumed handshake above $RESUMED_LIMIT"; status=1; }
    [ "$heap" -le "$HEAP_LIMIT" ] || { echo "FAIL: heap above $HEAP_LIMIT bytes"; status=1; }
  fi
  exit $status
fi

shipped=tools/agent/scenarios
board=tests/board
declare -A files=(
  [silence_drop]=$shipped/silence_drop.scenario
  [refused_login]=$shipped/refused_login.scenario
  [agent_closes]=$shipped/agent_closes.scenario
  [delayed_login_reply]=$shipped/delayed_login_reply.scenario
  [login_echo]=$board/login_echo.scenario
  [split_frames]=$shipped/split_frames.scenario
  [coalesced_frames]=$shipped/coalesced_frames.scenario
  [malformed_frames]=$shipped/malformed_frames.scenario
  [wrong_session]=$shipped/wrong_session.scenario
  [wake_and_error]=$shipped/wake_and_error.scenario
  [redirect]="$board/redirect_second.scenario $board/second_agent.scenario"
)
# Longest first, so that the side-by-side runs end together.
order=(silence_drop refused_login agent_closes delayed_login_reply login_echo split_frames
       coalesced_frames malformed_frames wrong_session wake_and_error redirect)
start=$SECONDS
for mode in plain lossy; do
  for name in "${order[@]}"; do
    [ "$mode/$name" = lossy/silence_drop ] && continue
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    # shellcheck disable=SC2086  # the redirect names two files
    run "$name" "$mode" ${files[$name]} &
  done
done
wait
for mode in plain lossy; do
  for name in "${order[@]}"; do
    f=$runs/$name.$mode.verdict
    [ -f "$f" ] || continue
    cat "$f"
    if ! grep -q '^PASS' "$f"; then
      status=1
      for log in "$runs/$name.$mode".*.log; do echo "--- $log"; cat "$log"; done
    fi
  done
done
echo "-- scenario runs: $((SECONDS - start)) s"
cat "$runs"/*.board.log | sed -n 's/.*stack: \([0-9]*\) bytes used.*/\1/p' | sort -n | tail -n 1 |
  xargs -r printf -- '-- deepest stack of the board in any run: %s bytes of 8192\n'

# The echo round trip through QEMU's network: the agent's demo sends one message every
# 100 ms, string and binary in turn, and times each echo from its last byte written. The
# board ticks every 50 ms. A figure, never a check: only a board that echoes nothing fails.
ECHOES=300
start_agent "$runs/roundtrip.agent.log" --json --time-interval 0 --interval 100 --one-per-round
rt_agent=$!
start_board "$runs/roundtrip.board.log" "" "$(agent_port "$runs/roundtrip.agent.log")"
rt_board=$!
for _ in $(seq $((ECHOES / 10 + 60))); do
  grep -q "\"count\":$ECHOES," "$runs/roundtrip.agent.log" && break
  sleep 1
done
kill "$rt_board" "$rt_agent" 2>/dev/null || true
wait "$rt_board" "$rt_agent" 2>/dev/null || true
if line=$(grep -m1 "\"count\":$ECHOES," "$runs/roundtrip.agent.log"); then
  python3 -c 'import json, sys; e = json.loads(sys.argv[1])
print("-- echo round trip through the network of QEMU over %d messages: p50 %s ms, p99 %s ms, "
      "%d lost" % (e["count"], e["p50_ms"], e["p99_ms"], e["lost"]))' "$line"
else
  echo "FAIL: the board did not echo $ECHOES demo messages"
  status=1
fi
exit $status
