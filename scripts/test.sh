#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and tests the
# program in five ways and exits non-zero on any failure:
#   normal   build/       RelWithDebInfo; every test
#   asan     build-asan/  Debug with AddressSanitizer and UBSan; every test
#                         but the few whose length is the retry schedule's
#   tsan     build-tsan/  ThreadSanitizer; the tests that run the poll loop
#                         and the download task together (scripts/tsan.sh)
#   fuzz     build-fuzz/  each libFuzzer target for FUZZ_SECONDS (default 20)
#                         from its seed corpus (scripts/fuzz.sh)
#   windows  build-win/   the Windows programs (MinGW-w64, Release), every
#                         test under Wine with Xvfb (tests/win/)
#
#   scripts/test.sh            all five (normal, windows, asan, tsan, fuzz)
#   scripts/test.sh STAGE...   only these (normal, asan, tsan, fuzz, windows)
#
# The builds run one after another in the background, in the idle
# scheduling class (chrt --idle), while the tests of the stages already
# built run in the foreground: a build gets only what the tests leave of the
# processors, so that the tests run as they would alone. New build trees use
# Ninja; a tree made before keeps its generator.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

# Line tables only (-g1) in the builds with debug information: enough for
# sanitizer reports and the stacks of a hung test, for a sixth less compile
# time than full information.
lean_debug_info=(
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DTALVORO_WERROR=ON "${lean_debug_info[@]}" "$@" \
    >/dev/null
  cmake --build "$dir" -j"$jobs"
}

build_stage() {
  case $1 in
    # The benchmark harnesses are built once, in the normal stage.
    normal)
      configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTALVORO_SANITIZE=OFF -DTALVORO_BUILD_BENCH=ON ;;
    asan)
      configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug \
        -DTALVORO_SANITIZE=ON -DTALVORO_BUILD_BENCH=OFF ;;
    tsan) scripts/tsan.sh --build-only ;;
    fuzz) scripts/fuzz.sh --build-only ;;
    windows)
      configure_and_build build-win --toolchain cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DTALVORO_BUILD_BENCH=OFF ;;
  esac
}

# The background half: builds STAGES in order, each into LOGS/STAGE.log,
# leaving LOGS/STAGE.ok or LOGS/STAGE.failed; stops at the first failure.
if [ "${1:-}" = --build-chain ]; then
  logs=$2
  shift 2
  command -v ninja >/dev/null && export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
  for stage in "$@"; do
    if build_stage "$stage" >"$logs/$stage.log" 2>&1; then
      touch "$logs/$stage.ok"
    else
      touch "$logs/$stage.failed"
      exit 1
    fi
  done
  exit 0
fi

stages=("$@")
# The stages that are CPU work to the end come last: the builds in the
# background fill the waits of the tests before them.
[ ${#stages[@]} -eq 0 ] && stages=(normal windows asan tsan fuzz)
linux=no
windows=no
for stage in "${stages[@]}"; do
  case $stage in
    normal | asan | tsan | fuzz) linux=yes ;;
    windows) windows=yes ;;
    *) echo "unknown stage: $stage (normal, asan, tsan, fuzz, windows)" >&2
       exit 2 ;;
  esac
done
[ $linux = yes ] && scripts/deps.sh
[ $windows = yes ] && scripts/deps.sh windows

logs=$(mktemp -d /tmp/talvoro-builds-XXXXXX)
chain=
cleanup() {
  # The chain is a session of its own: its process group is its builds.
  [ -n "$chain" ] && kill -TERM -- "-$chain" 2>/dev/null
  # The CTest fixture `wine` starts the prefix's Xvfb and wineserver first
  # and stops them last; should ctest be cut short, they are stopped here.
  [ $windows = yes ] &&
    tests/win/wine-prefix.sh down build-win >/dev/null 2>&1
  rm -rf "$logs"
}
trap cleanup EXIT
# The idle class where the system allows it, else the lowest nice level.
background=(chrt --idle 0)
"${background[@]}" true 2>/dev/null || background=(nice -n 19)
setsid "${background[@]}" "$0" --build-chain "$logs" "${stages[@]}" &
chain=$!

# Waits for STAGE's build (at most 90 minutes), then prints the end of its
# log, or all of it and fails if the build failed.
wait_for_build() {
  local stage=$1
  echo "== $stage: configure and build"
  for _ in $(seq 5400); do
    [ -e "$logs/$stage.ok" ] || [ -e "$logs/$stage.failed" ] && break
    kill -0 "$chain" 2>/dev/null || break
    sleep 1
  done
  if [ -e "$logs/$stage.ok" ]; then
    tail -n 2 "$logs/$stage.log"
    return 0
  fi
  cat "$logs/$stage.log" 2>/dev/null
  echo "== $stage: the build failed"
  return 1
}

run_ctest() {
  # Twice as many tests as cores: the end-to-end and fault tests spend most
  # of their time waiting on the program's retry pauses.
  (cd "$1" && ctest --output-on-failure -j$((jobs * 2)) --timeout 600 "${@:2}")
}

for stage in "${stages[@]}"; do
  wait_for_build "$stage"
  echo "== $stage: tests"
  case $stage in
    normal) run_ctest build ;;
    asan) run_ctest build-asan ;;
    tsan) scripts/tsan.sh --run-only ;;
    fuzz) scripts/fuzz.sh --run-only "${FUZZ_SECONDS:-20}" ;;
    windows) run_ctest build-win ;;
  esac
done
wait "$chain"
chain=
echo "== all tests passed"
