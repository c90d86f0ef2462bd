#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak: devtcp-console against devtcp-agent in chaos mode for two minutes: 60 s with a
# fixed seed, then 60 s with a random one (printed, to repeat it). Fails on any violation.
# Longer: tests/soak/soak.py build/tools/agent/devtcp-agent build/console/devtcp-console --seconds N [--seed S]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j2 --target devtcp-agent devtcp-console
soak=(/usr/bin/python3 tests/soak/soak.py build/tools/agent/devtcp-agent build/console/devtcp-console)
"${soak[@]}" --seconds "${SOAK_SECONDS:-60}" --seed 1
"${soak[@]}" --seconds "${SOAK_SECONDS:-60}"
