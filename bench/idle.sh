#!/usr/bin/env bash
# What the program costs while its download is stalled: the whole program
# (the loopback copy of the tests, talvoro-bootstrap-loopback) with its
# window up, against bench/stalled_server.py, a TLS server that answers the
# HEAD, sends the first MiB of the GET's body and then nothing more (with
# IDLE_SILENT=1 it answers nothing: the bar is then indeterminate and
# animates). After IDLE_SETTLE seconds (the window shown, the download
# under way), over IDLE_SECONDS seconds:
#   - CPU: utime + stime of the process (/proc/PID/stat), as a share of one
#     core;
#   - wake-ups: voluntary + involuntary context switches of all its threads
#     (/proc/PID/task/*/status), per second. Under Wine that count is not
#     one of wake-ups: every call into the wineserver blocks on its reply
#     pipe once. So for the Windows program the wake-ups are counted first,
#     over up to 20 s with strace: each end of a wait is the wineserver's
#     wake-up message (Wine's struct wake_up_reply, 16 bytes) read by the
#     waiting thread from its wait pipe; the switches are shown beside.
# The Linux program runs under an Xvfb of its own; the Windows program
# under Wine in the prefix of the Windows build (its Xvfb and wineserver,
# started here; the wineserver's figures are shown beside: under Wine every
# wait of the program goes through it).
#
# Everything runs in a network and mount namespace of its own when they can
# be made (root): the test port is then this script's alone.
#
#   bench/idle.sh [LINUX_BUILD [WINDOWS_BUILD]]
#
# The builds (default build/ and build-win/) must have built
# talvoro-bootstrap-loopback; a missing one is skipped. Environment:
# IDLE_SECONDS (default 30), IDLE_SETTLE (default 5); IDLE_LINUX_EXE and
# IDLE_WIN_EXE name another copy of the program to run (of the same test
# port; the Windows one in WINDOWS_BUILD's prefix), e.g. an older build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$(realpath -m "${1:-$root/build}")
win_build=$(realpath -m "${2:-$root/build-win}")
linux_exe=$(realpath -m "${IDLE_LINUX_EXE:-$linux_build/talvoro-bootstrap-loopback}")
win_exe=$(realpath -m "${IDLE_WIN_EXE:-$win_build/talvoro-bootstrap-loopback.exe}")
seconds=${IDLE_SECONDS:-30}
settle=${IDLE_SETTLE:-5}

if [ "${IDLE_NETNS:-}" != inside ] && unshare -n -m true 2>/dev/null; then
  IDLE_NETNS=inside exec unshare -n -m -- "$0" "$@"
fi
if [ "${IDLE_NETNS:-}" = inside ]; then
  ip link set lo up
  mount -t tmpfs -o mode=1777 talvoro-idle-tmp /tmp
fi

run=$(mktemp -d)
server_pid="" program_pid="" xvfb_pid=""
cleanup() {
  local pid
  for pid in $program_pid $server_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  program_pid="" server_pid="" xvfb_pid=""
  if [ -f "$win_build/wine-prefix/talvoro-ready" ]; then
    "$root/tests/win/wine-prefix.sh" down "$win_build" >/dev/null 2>&1 || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT

port_of() { sed -n 's/^TALVORO_TEST_PORT:STRING=//p' "$1/CMakeCache.txt"; }

# The PKI: the Windows build's, which its prefix trusts, else a new one.
pki=$win_build/pki
if [ ! -f "$pki/localhost.pem" ]; then
  pki=$run/pki
  "$root/scripts/make-pki.sh" "$pki" >/dev/null
fi

start_server() {
  local silent=()
  [ "${IDLE_SILENT:-0}" = 1 ] && silent=(--silent)
  "$root/bench/stalled_server.py" "${silent[@]}" "$1" "$pki/localhost.pem" \
    "$pki/localhost.key" > "$run/server.out" &
  server_pid=$!
  local i
  for i in $(seq 100); do
    grep -q ready "$run/server.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "the stalled server did not start" >&2
  return 1
}

stop() {
  local pid
  for pid in $program_pid $server_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  program_pid="" server_pid=""
}

# ticks PID: utime + stime of the process, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# switches PID: context switches of all its threads so far.
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }'
}

# measure NAME PID [NAME PID]...: samples each PID over `seconds` and
# prints a line for each: CPU % of one core and wake-ups per second,
# against the targets (at most 0.5 % and 20 wake-ups a second) for the
# first. With WAKES_PER_S set, the first PID's wake-ups are that figure,
# its context switches shown beside.
measure() {
  local -a names pids
  while [ $# -ge 2 ]; do names+=("$1"); pids+=("$2"); shift 2; done
  local i t0=() s0=()
  for i in "${!pids[@]}"; do
    t0[i]=$(ticks "${pids[i]}")
    s0[i]=$(switches "${pids[i]}")
  done
  sleep "$seconds"
  local hz
  hz=$(getconf CLK_TCK)
  for i in "${!pids[@]}"; do
    awk -v n="${names[i]}" -v dt=$(($(ticks "${pids[i]}") - t0[i])) \
      -v ds=$(($(switches "${pids[i]}") - s0[i])) -v hz="$hz" -v s="$seconds" \
      -v judge=$((i == 0)) 'BEGIN {
        cpu = 100 * dt / hz / s; wakes = ds / s; note = ""
        if (judge && ENVIRON["WAKES_PER_S"] != "") {
          note = sprintf(" (%.1f context switches/s)", wakes)
          wakes = ENVIRON["WAKES_PER_S"]
        }
        verdict = judge ? (cpu <= 0.5 && wakes <= 20 ? "  met" : "  not met") : ""
        printf "  %-32s %5.2f %% of a core %7.1f wake-ups/s%s%s\n", n, cpu, wakes, verdict, note
      }'
  done
}

# wine_wakes PID: the ends of waits per second of all of PID's threads (a
# Wine process) over `seconds`, from strace: the wineserver's wake-up
# messages read from the threads' wait pipes.
# At most 20 s, so that both windows end before the program's 60 s
# time-out on the stalled connection (with the defaults: 5 + 20 + 30 s).
wine_wakes() {
  local trace=$run/wine-waits.trace span=$((seconds < 20 ? seconds : 20))
  command -v strace >/dev/null || return 0
  timeout "$span" strace -f -qq -e trace=read -e signal=none \
    -o "$trace" -p "$1" 2>/dev/null || true
  grep -cE 'read\([0-9]+, .*, 16\) += 16$' "$trace" |
    awk -v s="$span" '{ printf "%.1f", $1 / s }'
}

echo "A stalled download: the program over ${seconds} s, ${settle} s after its start"
echo "(targets: at most 0.5 % of a core and 20 wake-ups a second)"

if [ -x "$linux_exe" ]; then
  Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp \
    > "$run/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$run/display" ] && break; sleep 0.05; done
  start_server "$(port_of "$linux_build")"
  mkdir -p "$run/linux"
  (cd "$run/linux" && DISPLAY=":$(head -n1 "$run/display")" \
    SSL_CERT_FILE=$pki/ca.pem exec "$linux_exe" \
    > "$run/linux.out" 2>&1) &
  program_pid=$!
  sleep "$settle"
  measure "Linux talvoro-bootstrap" "$program_pid"
  tail -n1 "$run/linux.out" | sed 's/^/    its last line: /'
  stop
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
else
  echo "  Linux: skipped (no $linux_exe)"
fi

if [ -f "$win_exe" ] && command -v wine >/dev/null; then
  # A wineserver of an earlier run would serve another network namespace.
  "$root/tests/win/wine-prefix.sh" down "$win_build" >/dev/null
  "$root/tests/win/wine-prefix.sh" up "$win_build" >/dev/null
  export WINEPREFIX=$win_build/wine-prefix WINEDEBUG=-all LC_ALL=C.UTF-8
  export WINEDLLOVERRIDES="mscoree,mshtml="
  DISPLAY=$(cat "$WINEPREFIX/talvoro-display")
  export DISPLAY
  start_server "$(port_of "$win_build")"
  mkdir -p "$run/windows"
  (cd "$run/windows" && exec wine "$win_exe" \
    < /dev/null > "$run/windows.out" 2>&1) &
  program_pid=$!
  sleep "$settle"
  # `wine` became the program's process; the prefix's wineserver serves it.
  # (The file holds the PID and its start time.)
  server=""
  read -r server _ < "$WINEPREFIX/talvoro-wineserver.pid" || true
  # The wake-ups first (strace slows what it traces), then the costs.
  wakes=$(wine_wakes "$program_pid")
  WAKES_PER_S=$wakes measure "Windows talvoro-bootstrap.exe" "$program_pid" \
    ${server:+"  its wineserver" "$server"}
  tail -n1 "$run/windows.out" | sed 's/^/    its last line: /'
  stop
else
  echo "  Windows: skipped (no $win_exe or no Wine)"
fi
