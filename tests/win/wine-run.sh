#!/usr/bin/env bash
# Runs a Windows program under the tests' Wine prefix (CTest's
# CMAKE_CROSSCOMPILING_EMULATOR for the Windows build):
#
#   wine-run.sh PROGRAM [ARGS...]
#
# The prefix is $TALVORO_WINEPREFIX, or else the folder wine-prefix in
# PROGRAM's folder or one of its parents (the build folder's, which
# tests/win/wine-prefix.sh makes). When the prefix's Xvfb runs, the program
# gets its DISPLAY; without one it runs with no display. When the prefix is
# not made yet, it is made first (without its services).
#
# The program's output goes to files that are replayed to this script's
# standard output and error once it ends, so that Wine's helper processes,
# which inherit the streams, never hold the caller's pipes (CTest waits for
# those to close). Exits with the program's exit code.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
program=$1
shift

prefix=${TALVORO_WINEPREFIX:-}
if [ -z "$prefix" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  for _ in 1 2 3 4 5; do
    [ -d "$dir/wine-prefix" ] || [ -f "$dir/CMakeCache.txt" ] && break
    dir=$(dirname "$dir")
  done
  if [ ! -d "$dir/wine-prefix" ] && [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "wine-run.sh: no build folder above $program (set TALVORO_WINEPREFIX)" >&2
    exit 125
  fi
  prefix=$dir/wine-prefix
  if [ ! -f "$prefix/talvoro-ready" ]; then
    "$here/wine-prefix.sh" init "$dir"
  fi
fi
[ -f "$prefix/talvoro-ready" ] || {
  echo "wine-run.sh: $prefix is not a prepared Wine prefix" >&2
  exit 125
}

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine reads Unix file names in the locale's character set.
export LC_ALL=C.UTF-8
if [ -f "$prefix/talvoro-display" ]; then
  DISPLAY=$(cat "$prefix/talvoro-display")
  export DISPLAY
else
  unset DISPLAY
fi
unset WAYLAND_DISPLAY

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
wine "$program" "$@" </dev/null >"$out/stdout" 2>"$out/stderr" || status=$?
cat "$out/stdout"
cat "$out/stderr" >&2
exit "$status"
