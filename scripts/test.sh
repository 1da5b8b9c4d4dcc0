#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and tests the
# program in four ways and exits non-zero on any failure:
#   normal  build/       RelWithDebInfo; every test
#   asan    build-asan/  Debug with AddressSanitizer and UBSan; every test
#   tsan    build-tsan/  ThreadSanitizer; the tests that run the poll loop
#                        and the download task together (scripts/tsan.sh)
#   fuzz    build-fuzz/  each libFuzzer target for FUZZ_SECONDS (default 20)
#                        from its seed corpus (scripts/fuzz.sh)
#
#   scripts/test.sh            all four
#   scripts/test.sh STAGE...   only these (normal, asan, tsan, fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc)
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(normal asan tsan fuzz)

run() {
  local dir=$1
  shift
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" -DTALVORO_BUILD_BENCH=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $dir: tests"
  # Twice as many tests as cores: the end-to-end and fault tests spend most
  # of their time waiting on the program's retry pauses.
  (cd "$dir" && ctest --output-on-failure -j$((jobs * 2)) --timeout 600)
}

for stage in "${stages[@]}"; do
  case $stage in
    normal) run build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVORO_SANITIZE=OFF ;;
    asan) run build-asan -DCMAKE_BUILD_TYPE=Debug -DTALVORO_SANITIZE=ON ;;
    tsan) echo "== build-tsan: ThreadSanitizer"; scripts/tsan.sh ;;
    fuzz) echo "== build-fuzz: fuzzing"; scripts/fuzz.sh "${FUZZ_SECONDS:-20}" ;;
    *) echo "unknown stage: $stage (normal, asan, tsan, fuzz)" >&2; exit 2 ;;
  esac
done
echo "== all tests passed"
