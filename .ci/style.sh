#!/usr/bin/env bash
# Style: every C and C++ file formatted as .clang-format says, and clang-tidy clean on the
# library with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang-format clang-tidy
files=$(git ls-files '*.c' '*.h' '*.cpp' | grep -v '^fuzz/corpus/')
echo "style: clang-format on $(echo "$files" | wc -l) files"
clang-format --dry-run --Werror $files
cmake -S . -B build-tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF \
  -DDEVTCP_TOOLS=OFF >/dev/null
echo "style: clang-tidy on the library"
clang-tidy --quiet -p build-tidy devtcp/src/*.cpp
echo "style: clean"
