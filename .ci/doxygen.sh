#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the API documentation of the public header with Doxygen; any warning (an
# undocumented operation, record, field, constant or parameter) fails the step.
# Output: build-doc/html. Runs as root on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v doxygen >/dev/null || scripts/setup.sh doxygen
version=$(sed -n 's/^#define XR_DEV_TCP_VERSION "\(.*\)".*/\1/p' devtcp/include/xr_dev_tcp.h)
rm -rf build-doc
{ cat docs/Doxyfile; echo "PROJECT_NUMBER = $version"; echo "OUTPUT_DIRECTORY = build-doc"; } | doxygen -
test -f build-doc/html/xr__dev__tcp_8h.html
echo "doxygen: no warnings, build-doc/html/index.html (version $version)"
