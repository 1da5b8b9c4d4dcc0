#!/usr/bin/env bash
# Installs what the build and the tests need, then builds the program twice
# (a normal build in build/ and an AddressSanitizer + UBSan build in
# build-asan/) and runs every test in both. Exits non-zero on any failure.
#
#   scripts/test.sh            both builds
#   scripts/test.sh normal     only build/
#   scripts/test.sh asan       only build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc)
which=${1:-all}

run() {
  local dir=$1
  shift
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" -DTALVORO_BUILD_BENCH=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $dir: tests"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

if [ "$which" = all ] || [ "$which" = normal ]; then
  run build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVORO_SANITIZE=OFF
fi
if [ "$which" = all ] || [ "$which" = asan ]; then
  run build-asan -DCMAKE_BUILD_TYPE=Debug -DTALVORO_SANITIZE=ON
fi
echo "== all tests passed"
