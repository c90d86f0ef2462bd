#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Style: every C and C++ file formatted as .clang-format says, and clang-tidy clean on the
# library with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang-format clang-tidy
files=$(git ls-files '*.c' '*.h' '*.cpp')
echo "style: clang-format on $(echo "$files" | wc -l) files"
clang-format --dry-run --Werror $files
cmake -S . -B build-tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF \
  -DDEVTCP_TOOLS=OFF >/dev/null
echo "style: clang-tidy on the library"
clang-tidy --quiet -p build-tidy devtcp/src/*.cpp
echo "style: a licence line at the top of every source file"
missing=$(git ls-files | grep -E '\.(c|h|cpp|py|sh|lua|cmake|in|ld)$|CMakeLists\.txt$|Makefile$|^\.ci/run$' |
  while read -r f; do head -n 3 "$f" | grep -q 'SPDX-License-Identifier: MIT' || echo "$f"; done)
if [ -n "$missing" ]; then
  echo "style: no SPDX-License-Identifier line in:" >&2; echo "$missing" >&2; exit 1
fi
echo "style: clean"
