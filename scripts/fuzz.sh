#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz in build-fuzz/ (clang, ASan and
# UBSan) and runs each for SECONDS (default 30), starting from a scratch copy
# of its seed corpus; the repository's corpus is never written. Prints the
# executions each target ran and exits non-zero if any target failed (crash,
# leak, UB, time-out, memory limit). Inputs that failed are kept in
# build-fuzz/artifacts/<target>/, the logs in build-fuzz/logs/.
#
# The targets run side by side, each for SECONDS.
#
# Usage: scripts/fuzz.sh [--build-only | --run-only] [SECONDS]
#   (assumes scripts/deps.sh ran; --run-only assumes a build)
# FUZZ_TARGETS="url head" limits the run to some targets.
set -euo pipefail

phase=all
case "${1:-}" in
  --build-only) phase=build; shift ;;
  --run-only) phase=run; shift ;;
esac
seconds="${1:-30}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [--build-only | --run-only] [SECONDS]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
targets=(${FUZZ_TARGETS:-url head get_head})
# The slowest single input allowed, and the memory limit of a target.
per_input_timeout=10
rss_limit_mb=2048

if [ "$phase" != run ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTALVORO_WERROR=ON \
    -DTALVORO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
fi
[ "$phase" = build ] && exit 0

work="$(mktemp -d "${TMPDIR:-/tmp}/talvoro-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/logs"

# Runs target $1 for SECONDS; prints one line and exits non-zero if it
# failed.
fuzz_one() {
  local t=$1 status=0 runs
  local fuzzer="$build/${t}_fuzz" seeds="$root/tests/fuzz/corpus/$t"
  local dict="$root/tests/fuzz/$t.dict" log="$build/logs/$t.log"
  local artifacts="$build/artifacts/$t"
  mkdir -p "$work/$t" "$artifacts"
  cp "$seeds"/* "$work/$t/"
  local args=(-max_total_time="$seconds" -timeout="$per_input_timeout"
    -rss_limit_mb="$rss_limit_mb" -print_final_stats=1
    -artifact_prefix="$artifacts/")
  [ -f "$dict" ] && args+=(-dict="$dict")
  # libFuzzer stops by itself after SECONDS; the outer bound covers a
  # target that never gets to check its clock.
  timeout --kill-after=10 "$((seconds + 60))" \
    "$fuzzer" "${args[@]}" "$work/$t" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  if [ "$status" -eq 0 ]; then
    echo "$t: ${runs:-?} executions in ${seconds} s, no failure"
    return 0
  fi
  echo "$t: FAILED (exit status $status) after ${runs:-?} executions;" \
    "log $log, inputs in $artifacts/"
  grep -E '^(==[0-9]+==ERROR|SUMMARY|.*property broken|.*runtime error)' \
    "$log" | head -5 || true
  return 1
}

for t in "${targets[@]}"; do
  [ -x "$build/${t}_fuzz" ] || { echo "$t: no fuzz target $build/${t}_fuzz" >&2; exit 2; }
done
pids=()
for t in "${targets[@]}"; do
  fuzz_one "$t" >"$work/$t.result" &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  wait "${pids[$i]}" || failed=1
  cat "$work/${targets[$i]}.result"
done
exit "$failed"
