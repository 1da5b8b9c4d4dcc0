#!/usr/bin/env bash
# Builds, with ThreadSanitizer in build-tsan/, the tests in which the main
# thread and the download's worker thread meet, and runs them: the engine's
# tests, the poll step's, the poll loop with real download tasks, the
# window's, and the whole program under Xvfb (alone, and against nginx on
# loopback). Exits non-zero on a failed test or on any ThreadSanitizer
# report, including one from a program a test started: the reports go to
# files that are checked at the end. Assumes scripts/deps.sh has run.
#
# Usage: scripts/tsan.sh [--build-only | --run-only]
set -euo pipefail
cd "$(dirname "$0")/.."

phase=all
case "${1:-}" in
  --build-only) phase=build ;;
  --run-only) phase=run ;;
  '') ;;
  *) echo "usage: $0 [--build-only | --run-only]" >&2; exit 2 ;;
esac

dir=build-tsan
jobs=$(nproc)
# Test executables, and the programs and tools they run.
tests=(engine_test app_test app_loop_test ui_window_test ui_program_test)
tools=(talvoro-bootstrap-loopback x11_close_window talvoro-crc64)

# RelWithDebInfo (at -O1, gcc 12 takes some coroutine frames' deletes for
# mismatched ones, -Wmismatched-new-delete, and -Werror stops the build),
# with line tables only: enough for the reports.
# The loopback port is this build's own, so that its end-to-end tests can
# run beside another build's.
if [ "$phase" != run ]; then
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" -DTALVORO_WERROR=ON -DTALVORO_TSAN=ON \
    -DTALVORO_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DTALVORO_BUILD_BENCH=OFF -DTALVORO_TEST_PORT=47461 >/dev/null
  cmake --build "$dir" -j"$jobs" --target "${tests[@]}" "${tools[@]}"
fi
[ "$phase" = build ] && exit 0

# The tests of the executables above, and the end-to-end runs of the
# program that reach the window, the download, the retry and the hand-off
# together (the poll loop's test covers the other outcomes in-process).
e2e=(e2e.whole_run e2e.closed_half_way_then_resumed
  e2e.wrong_crc_is_retried_and_never_started)
# Two lines: a regular expression of the former's names, then of the
# latter's.
selection=$(cd "$dir" && ctest --show-only=json-v1 | python3 -c '
import json, os, re, sys
executables = set(sys.argv[1].split())
e2e = sys.argv[2].split()
tests = json.load(sys.stdin)["tests"]
names = [t["name"] for t in tests
         if os.path.basename((t.get("command") or [""])[0]) in executables]
missing = set(e2e).difference(t["name"] for t in tests)
if missing or not names:
    sys.exit("tests not found: " + " ".join(sorted(missing)))
for group in (names, e2e):
    print("^(" + "|".join(re.escape(name) for name in group) + ")$")
' "${tests[*]}" "${e2e[*]}")
units=$(sed -n 1p <<<"$selection")
runs=$(sed -n 2p <<<"$selection")

reports=$(mktemp -d /tmp/talvoro-tsan-XXXXXX)
trap 'rm -rf "$reports"' EXIT
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$reports/report suppressions=$PWD/tests/tsan.supp"
status=0
echo "== $dir: tests"
(cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 -R "$units") ||
  status=$?
# The program's runs have time limits; they get the machine to themselves.
echo "== $dir: end-to-end runs"
(cd "$dir" && ctest --output-on-failure --timeout 600 -R "$runs") ||
  status=$?

if compgen -G "$reports/report*" >/dev/null; then
  echo "== ThreadSanitizer reports"
  cat "$reports"/report*
  exit 1
fi
if [ "$status" -ne 0 ]; then
  exit "$status"
fi
echo "== no ThreadSanitizer report"
