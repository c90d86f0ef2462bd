#!/usr/bin/env bash
# Wireshark dissector check: captures the loopback traffic of an agent and console run
# with tshark and checks what tools/wireshark/devtcp.lua decodes from it against what
# was sent. Runs as root (it captures on lo) on a Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
if ! command -v tshark >/dev/null; then
  # The one debconf question: may non-root users capture? No.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
fi
scripts/setup.sh tshark
cmake -S . -B build >/dev/null
cmake --build build -j2 --target devtcp-agent devtcp-console
timeout 300 python3 tests/dissector/check.py build/tools/agent/devtcp-agent \
  build/console/devtcp-console tools/wireshark/devtcp.lua
