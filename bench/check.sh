#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: fails when the library's -Os code on a core (Cortex-M4, Cortex-M0, rv32imac) exceeds
# its limit, or an instruction count its limit plus a margin. Times are never checked.
exec "$(dirname "$0")/run.sh" --check
