#!/usr/bin/env bash
# Two clean builds of the same sources in different folders must give
# byte-identical setup executables: no time stamps and no build paths inside.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
profile="${1:-production}"
work="$(mktemp -d /tmp/vq-repro.XXXXXX)"
trap 'rm -rf "$work"' EXIT

copy_sources() {
  mkdir -p "$1"
  (cd "$here" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$1")
}

build_one() {
  local src="$1" out="$2"
  cmake -S "$src" -B "$out" -G Ninja -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DVQ_PROFILE="$profile" >/dev/null
  cmake --build "$out" --target vq_setup -j "$(nproc)" >"$out.log" 2>&1 || { cat "$out.log"; exit 1; }
}

copy_sources "$work/a/src"
copy_sources "$work/b/deeper/other-name"
build_one "$work/a/src" "$work/a/build"
build_one "$work/b/deeper/other-name" "$work/b/deeper/out-tree"

exe=VornquillAI-Online-Setup-x64-SELFSIGNED.exe
first="$work/a/build/$exe"
second="$work/b/deeper/out-tree/$exe"
if cmp -s "$first" "$second"; then
  echo "identical: $(sha256sum "$first" | cut -d' ' -f1) ($(stat -c %s "$first") bytes)"
  for path in "$work/a" "$work/b"; do
    if grep -q -a -F "$path" "$first"; then echo "build path $path inside the executable"; exit 1; fi
  done
  echo "1 passed, 0 failed"
else
  echo "the two builds differ:"
  cmp -l "$first" "$second" | head -20
  echo "0 passed, 1 failed"
  exit 1
fi
