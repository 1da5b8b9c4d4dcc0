#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and tests the
# program in five ways and exits non-zero on any failure:
#   normal   build/       RelWithDebInfo; every test
#   asan     build-asan/  Debug with AddressSanitizer and UBSan; every test
#   tsan     build-tsan/  ThreadSanitizer; the tests that run the poll loop
#                         and the download task together (scripts/tsan.sh)
#   fuzz     build-fuzz/  each libFuzzer target for FUZZ_SECONDS (default 20)
#                         from its seed corpus (scripts/fuzz.sh)
#   windows  build-win/   the Windows programs (MinGW-w64, Release), every
#                         test under Wine with Xvfb (tests/win/)
#
#   scripts/test.sh            all five
#   scripts/test.sh STAGE...   only these (normal, asan, tsan, fuzz, windows)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(normal asan tsan fuzz windows)

for stage in "${stages[@]}"; do
  case $stage in
    normal | asan | tsan | fuzz) scripts/deps.sh; break ;;
  esac
done

run() {
  local dir=$1
  shift
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" -DTALVORO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $dir: tests"
  # Twice as many tests as cores: the end-to-end and fault tests spend most
  # of their time waiting on the program's retry pauses.
  (cd "$dir" && ctest --output-on-failure -j$((jobs * 2)) --timeout 600)
}

for stage in "${stages[@]}"; do
  case $stage in
    normal)
      run build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVORO_SANITIZE=OFF \
        -DTALVORO_BUILD_BENCH=ON ;;
    # The benchmark harnesses are built once, in the normal stage.
    asan)
      run build-asan -DCMAKE_BUILD_TYPE=Debug -DTALVORO_SANITIZE=ON \
        -DTALVORO_BUILD_BENCH=OFF ;;
    tsan) echo "== build-tsan: ThreadSanitizer"; scripts/tsan.sh ;;
    fuzz) echo "== build-fuzz: fuzzing"; scripts/fuzz.sh "${FUZZ_SECONDS:-20}" ;;
    windows)
      scripts/deps.sh windows
      # The CTest fixture `wine` starts the prefix's Xvfb and wineserver
      # first and stops them last; should ctest be cut short, they are
      # stopped here.
      trap 'tests/win/wine-prefix.sh down build-win >/dev/null 2>&1 || true' EXIT
      run build-win --toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
        -DTALVORO_BUILD_BENCH=OFF ;;
    *) echo "unknown stage: $stage (normal, asan, tsan, fuzz, windows)" >&2; exit 2 ;;
  esac
done
echo "== all tests passed"
