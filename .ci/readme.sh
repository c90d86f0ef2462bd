#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's recipes as they are written: every fenced block marked sh, cmake or make,
# in order, in a scratch copy of the tree. A block right after the line
# "<!-- not run in CI: why -->" is skipped. The install prefix /opt/devtcp is moved into the
# scratch folder; cmake blocks are the body of a C-only project whose my_device.c is the
# example device; make blocks are a Makefile built with `make my_device`. The project taken
# in with add_subdirectory must leave its parent alone: no CTest dashboard targets, no
# BUILD_TESTING in the parent's cache, no -Werror.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh pkg-config git

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/opt/devtcp
mkdir -p "$work/src"
git ls-files -z | xargs -0 cp --parents -t "$work/src"
# FetchContent clones the scratch copy, so it is a repository of its own.
git -C "$work/src" init -q && git -C "$work/src" add -A &&
  git -C "$work/src" -c user.name=ci -c user.email=ci@localhost commit -qm scratch
commit=$(git -C "$work/src" rev-parse HEAD)

# Prints each block as "<kind>\0<text>\0"; the awk splits the README at its fences.
blocks() {
  awk '
    /^<!-- not run in CI/ { skip = 1; next }
    !inside && /^```(sh|cmake|make)$/ { inside = 1; kind = substr($0, 4); text = ""; next }
    inside && /^```$/ { if (!skip) printf "%s%c%s%c", kind, 0, text, 0; inside = 0; skip = 0; next }
    inside { text = text $0 "\n"; next }
    /^```/ { skip = 0 }
  ' "$root/README.md"
}

n=0
while IFS= read -r -d '' kind && IFS= read -r -d '' text; do
  n=$((n + 1))
  text=${text//\/opt\/devtcp/$prefix}
  text=${text//<url of this repository>/file://$work/src}
  text=${text//<tag or commit>/$commit}
  dir=$work/recipe-$n
  mkdir -p "$dir"
  cp examples/c99_device/device.c "$dir/my_device.c"
  echo "== README recipe $n ($kind)"
  printf '%s' "$text" | sed 's/^/    /'
  case $kind in
    sh)
      (cd "$work/src" && bash -euo pipefail -c "$text") >"$dir/log" 2>&1 ||
        { cat "$dir/log"; exit 1; }
      ;;
    make)
      printf '%s' "$text" >"$dir/Makefile"
      make -C "$dir" my_device >"$dir/log" 2>&1 || { cat "$dir/log"; exit 1; }
      ;;
    cmake)
      mkdir -p "$dir/third_party"
      ln -s "$work/src" "$dir/third_party/devtcp"
      printf 'cmake_minimum_required(VERSION 3.16)\nproject(my_device LANGUAGES C)\n%s\n%s' \
        'add_executable(my_device my_device.c)' "$text" >"$dir/CMakeLists.txt"
      cmake -S "$dir" -B "$dir/build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$dir/log" 2>&1 &&
        cmake --build "$dir/build" >>"$dir/log" 2>&1 || { cat "$dir/log"; exit 1; }
      if grep -q 'add_subdirectory\|FetchContent' <<<"$text"; then
        targets=$(cmake --build "$dir/build" --target help)
        if grep -qE 'Continuous|Nightly|Experimental' <<<"$targets"; then
          echo "readme: the subproject added CTest dashboard targets" >&2; exit 1
        fi
        if grep -q '^BUILD_TESTING' "$dir/build/CMakeCache.txt"; then
          echo "readme: the subproject set BUILD_TESTING in the parent's cache" >&2; exit 1
        fi
        if grep -q -- '-Werror' "$dir/build/compile_commands.json"; then
          echo "readme: the subproject compiles with -Werror" >&2; exit 1
        fi
      fi
      ;;
  esac
  [ -x "$dir/my_device" ] || [ -x "$dir/build/my_device" ] || [ "$kind" = sh ] ||
    { echo "readme: recipe $n built no my_device" >&2; exit 1; }
done < <(blocks)
[ "$n" -ge 5 ] || { echo "readme: found only $n recipes in README.md" >&2; exit 1; }
echo "readme: $n recipes ran as written"
