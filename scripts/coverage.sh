#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Coverage gate: builds the library and its stories with coverage instrumentation in
# build-cov/, runs the stories in every configuration, and measures the library's sources (devtcp/src/).
# Fails under 100% of lines or 95% of branches. Branches that gcc adds for exception
# paths and branches it proves unreachable are not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh gcovr
dir=build-cov
rm -rf "$dir"
cmake -S . -B "$dir" -DDEVTCP_COVERAGE=ON -DDEVTCP_TOOLS=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -R '^story\.'
report=(gcovr --root . --object-directory "$dir" --filter 'devtcp/src/'
        --exclude-throw-branches --exclude-unreachable-branches)
"${report[@]}"                  # lines per file
"${report[@]}" --branches --print-summary --fail-under-line 100 --fail-under-branch 95
