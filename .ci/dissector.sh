#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wireshark dissector check: tshark decodes a capture of known frames with
# tools/wireshark/devtcp.lua; the decoding must equal tests/dissector/expected.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
if ! command -v tshark >/dev/null; then
  # The one debconf question: may non-root users capture? No.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
fi
scripts/setup.sh tshark
timeout 300 python3 tests/dissector/check.py tools/wireshark/devtcp.lua
