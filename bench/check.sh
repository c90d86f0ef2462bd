#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: fails when the library's Cortex-M4 -Os code exceeds its limit, or an instruction
# count its limit plus a margin. Times are never checked.
exec "$(dirname "$0")/run.sh" --check
