#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The demo: builds the agent and the console client, starts the agent on
# 127.0.0.1:8800 in the background and the client in the foreground. Press Enter at
# both prompts to take the defaults. Ctrl-C ends the agent, which prints its summary,
# then the client.
#   scripts/demo.sh --tls   the same over TLS, with a CA and an agent certificate made
#                           for this run only (removed at the end)
set -euo pipefail
cd "$(dirname "$0")/.."
agent_tls=()
console_tls=()
case "${1:-}" in
  --tls) tls_dir=$(mktemp -d) ;;
  "") tls_dir="" ;;
  *) echo "usage: scripts/demo.sh [--tls]" >&2; exit 2 ;;
esac

scripts/setup.sh
echo "demo: building devtcp-agent and devtcp-console in build/"
cmake -S . -B build -DDEVTCP_TOOLS=ON >/dev/null
cmake --build build -j "$(nproc)" --target devtcp-agent devtcp-console >/dev/null

agent_pid=""
console_pid=""
# Ends process $1 with SIGTERM, or with SIGKILL when it is still there 5 s later.
stop() {
  [ -n "$1" ] && kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
}
cleanup() {
  trap - EXIT INT TERM
  # The agent first, while the client is still connected: its summary then counts the
  # echoes it still awaits as in flight at its stop, not as ended by the client's close.
  stop "$agent_pid"
  stop "$console_pid"
  wait 2>/dev/null || true
  [ -z "$tls_dir" ] || rm -rf "$tls_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "$tls_dir" ]; then
  scripts/tls-certs.sh "$tls_dir" devtcp-agent
  agent_tls=(--tls-cert "$tls_dir/agent.pem" --tls-key "$tls_dir/agent.key")
  console_tls=(--tls-ca "$tls_dir/ca.pem" --tls-name devtcp-agent)
  echo "demo: over TLS, with a throwaway CA and agent certificate in $tls_dir"
fi

label="[agent]"
[ -t 1 ] && label=$'\e[36m[agent]\e[0m'
# The agent's lines carry a label, so they are told apart from the client's. The
# labeller ignores Ctrl-C so that it still passes on the agent's final summary.
build/tools/agent/devtcp-agent --listen 127.0.0.1:8800 "${agent_tls[@]}" \
  > >(trap '' INT TERM; exec sed -u "s/^/$label /") 2>&1 &
agent_pid=$!
sleep 0.3
if ! kill -0 "$agent_pid" 2>/dev/null; then
  echo "demo: the agent did not start (is 127.0.0.1:8800 in use?)" >&2
  exit 1
fi

# In the background, so that a signal to this script is handled at once; its input
# is still the terminal.
build/console/devtcp-console "${console_tls[@]}" <&0 &
console_pid=$!
wait "$console_pid" || true
