#!/usr/bin/env bash
# The Wine prefix that the Windows tests run in, with its own Xvfb and its
# own persistent wineserver.
#
#   wine-prefix.sh up BUILD_DIR     makes BUILD_DIR/wine-prefix once, trusts
#                                   the test CA of BUILD_DIR/pki (made once)
#                                   in it, starts its Xvfb and wineserver
#   wine-prefix.sh down BUILD_DIR   stops exactly the Xvfb and wineserver
#                                   that `up` started
#   wine-prefix.sh init BUILD_DIR   only makes the prefix (no CA, no Xvfb,
#                                   no persistent wineserver)
#   wine-prefix.sh clone BUILD_DIR DEST [DISPLAY]   a copy of the prefix at
#                                   DEST with a wineserver of its own
#                                   (settings, and a network namespace, that
#                                   nobody else uses) and an Xvfb of its own
#                                   unless DISPLAY (":N") is given
#   wine-prefix.sh drop DEST        stops a clone's Xvfb and wineserver and
#                                   deletes it
#
# All commands may be repeated and end within a few minutes at worst. The
# state lives in files of the prefix: talvoro-ready (the prefix is made),
# talvoro-ca and talvoro-codesign-ca (the CAs are trusted), talvoro-xvfb.pid, talvoro-wineserver.pid,
# talvoro-display (":N", the Xvfb's display) and talvoro-netns (the network
# namespace the wineserver runs in). Processes are only ever
# stopped by the PIDs recorded there; the only `wineserver -k` is for a
# prefix made here.
#
# The prefix trusts the CA through CurrentUser\Root (the tool
# talvoro-win-trust-ca.exe of BUILD_DIR); the host's certificate store is
# never changed. Wine's helper processes get this script's log files as
# their standard streams, never the caller's.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

usage() {
  sed -n '5,19p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

die() {
  echo "wine-prefix.sh: $*" >&2
  exit 1
}

# The Wine settings every command here runs with. Wine reads Unix file
# names in the locale's character set: a UTF-8 locale lets it reach
# folders with any name.
wine_env() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export LC_ALL=C.UTF-8
}

# The start time of process PID (clock ticks after boot), which tells it
# apart from a later process that gets the same number; nothing if it has
# ended.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  # shellcheck disable=SC2086  # the fields after the command's name
  set -- $stat
  [ "$1" = Z ] || echo "${20}"
}

# Records process PID in FILE as "PID START_TIME".
record() {
  echo "$1 $(start_time "$1")" >"$2"
}

# Nonzero unless the process recorded in FILE still runs: the same number,
# started at the same time, with NAME in its command line. (Numbers come
# round again quickly on a busy machine.)
alive() {
  local file=$1 name=$2 pid start
  [ -f "$file" ] || return 1
  read -r pid start <"$file" || true
  case $pid in '' | *[!0-9]*) return 1 ;; esac
  case $start in '' | *[!0-9]*) return 1 ;; esac
  [ "$(start_time "$pid")" = "$start" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- "$name"
}

# The process number recorded in FILE.
recorded_pid() {
  local pid _
  read -r pid _ <"$1"
  echo "$pid"
}

# Zero when PID has ended (a zombie that nobody reaps has ended too).
gone() {
  [ -z "$(start_time "$1")" ]
}

# Waits up to SECONDS for PID to end; nonzero if it still runs.
wait_gone() {
  local pid=$1 seconds=$2
  for _ in $(seq $((seconds * 10))); do
    gone "$pid" && return 0
    sleep 0.1
  done
  gone "$pid"
}

# Where the socket of PREFIX's wineserver is once the server listens.
# Debian's wineserver makes its folder with mkdtemp in $TMPDIR (or /tmp)
# and records the folder's name in PREFIX/wineserver.
server_socket() {
  local prefix=$1 dev ino base
  read -r dev ino < <(stat -c '%d %i' "$prefix")
  if [ -f "$prefix/wineserver" ]; then
    base=${TMPDIR:-/tmp}/$(cat "$prefix/wineserver")
  else
    base=/tmp/.wine-$(id -u)
  fi
  printf '%s/server-%x-%x/socket' "$base" "$dev" "$ino"
}

# Makes the prefix at PREFIX unless it is made: wineboot, and unmanaged X
# windows (with no window manager, a managed window waits 2 s for WM_STATE
# on every show). Runs with a wineserver of its own that ends before this
# returns, so that the registry is on disk (and in any later copy).
init_prefix() {
  local prefix=$1
  [ -f "$prefix/talvoro-ready" ] && return 0
  alive "$prefix/talvoro-wineserver.pid" wineserver &&
    die "$prefix has a running wineserver but is not made"
  mkdir -p "$prefix"
  local log=$prefix/talvoro-init.log
  (
    wine_env "$prefix"
    unset DISPLAY
    exec </dev/null >>"$log" 2>&1 9>&-
    timeout 300 wineboot -i &&
      timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f &&
      timeout 60 wineserver -w
  ) || die "making the prefix failed (see $log)"
  touch "$prefix/talvoro-ready"
}

# Trusts CA (a PEM file) in PREFIX's CurrentUser\Root store with TOOL;
# MARK names the file that records it.
trust_ca() {
  local prefix=$1 ca=$2 tool=$3 mark=$prefix/${4:-talvoro-ca}
  [ -f "$mark" ] && cmp -s "$mark" "$ca" && return 0
  [ -f "$tool" ] || die "no $tool (build the tests first)"
  local log=$prefix/talvoro-init.log
  (
    wine_env "$prefix"
    unset DISPLAY
    exec </dev/null >>"$log" 2>&1 9>&-
    timeout 60 wine "$tool" "Z:${ca//\//\\}" && timeout 60 wineserver -w
  ) || die "trusting $ca failed (see $log)"
  cp "$ca" "$mark"
}

# Stops PREFIX's recorded wineserver (with every process of the prefix) and
# then its Xvfb: a persistent wineserver keeps its desktop on the display it
# first saw, so neither outlives the other.
stop_services() {
  local prefix=$1 pid
  if alive "$prefix/talvoro-wineserver.pid" wineserver; then
    pid=$(recorded_pid "$prefix/talvoro-wineserver.pid")
    (wine_env "$prefix"; timeout 20 wineserver -k) </dev/null >/dev/null 2>&1 9>&- || true
    wait_gone "$pid" 10 || { kill -KILL "$pid" 2>/dev/null || true; wait_gone "$pid" 5 || true; }
  fi
  if alive "$prefix/talvoro-xvfb.pid" Xvfb; then
    pid=$(recorded_pid "$prefix/talvoro-xvfb.pid")
    kill -TERM "$pid" 2>/dev/null || true
    wait_gone "$pid" 10 || { kill -KILL "$pid" 2>/dev/null || true; wait_gone "$pid" 5 || true; }
  fi
  rm -f "$prefix/talvoro-wineserver.pid" "$prefix/talvoro-xvfb.pid" \
    "$prefix/talvoro-display" "$prefix/talvoro-netns"
}

# Starts PREFIX's Xvfb (1920x1080x24) and persistent wineserver unless they
# run, then runs TOOLS_DIR's close tool once, so that the system processes
# that the first program of the prefix starts (services.exe and its
# services, which stay as long as the wineserver) get this script's log as
# their streams, not a test's. With DISPLAY given, the prefix uses that
# running display instead of an Xvfb of its own.
start_services() {
  local prefix=$1 tools=$2 display=${3:-}
  # The wineserver makes the programs' sockets: one started in another
  # network namespace would put them there.
  local netns
  netns=$(readlink /proc/self/ns/net)
  if { [ -n "$display" ] || alive "$prefix/talvoro-xvfb.pid" Xvfb; } &&
    alive "$prefix/talvoro-wineserver.pid" wineserver &&
    [ -S "$(server_socket "$prefix")" ] &&
    [ "$(cat "$prefix/talvoro-netns" 2>/dev/null)" = "$netns" ]; then
    return 0
  fi
  stop_services "$prefix"
  local log=$prefix/talvoro-services.log
  # A wineserver that the prefix's last user started for itself ends a few
  # seconds after its last process.
  (wine_env "$prefix"; timeout 30 wineserver -w) </dev/null >>"$log" 2>&1 9>&- || true

  if [ -z "$display" ]; then
    local display_file=$prefix/talvoro-display.tmp
    rm -f "$display_file"
    # setsid: the services leave the caller's session, so that CTest's
    # clean-up of a test process group spares them.
    setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp \
      3>"$display_file" </dev/null >>"$log" 2>&1 9>&- &
    record $! "$prefix/talvoro-xvfb.pid"
    for _ in $(seq 100); do
      [ -s "$display_file" ] && break
      sleep 0.1
    done
    [ -s "$display_file" ] || { stop_services "$prefix"; die "Xvfb did not start (see $log)"; }
    display=":$(head -n1 "$display_file")"
    rm -f "$display_file"
  fi

  (
    wine_env "$prefix"
    export DISPLAY=$display
    exec setsid wineserver -f -p </dev/null >>"$log" 2>&1 9>&-
  ) &
  record $! "$prefix/talvoro-wineserver.pid"
  for _ in $(seq 100); do
    [ -S "$(server_socket "$prefix")" ] && break
    sleep 0.1
  done
  [ -S "$(server_socket "$prefix")" ] || { stop_services "$prefix"; die "wineserver did not start (see $log)"; }
  echo "$display" >"$prefix/talvoro-display"
  echo "$netns" >"$prefix/talvoro-netns"

  if [ -f "$tools/talvoro-win-close-window.exe" ]; then
    (
      wine_env "$prefix"
      export DISPLAY=$display
      timeout 120 wine "$tools/talvoro-win-close-window.exe" "no such window"
    ) </dev/null >>"$log" 2>&1 9>&- || true
  fi
}

# Makes BUILD_DIR/pki once (the test CA and server certificates).
make_pki() {
  local pki=$1/pki
  [ -f "$pki/ca.pem" ] && [ -f "$pki/unknownca.pem" ] && return 0
  rm -rf "$pki.tmp"
  "$repo/scripts/make-pki.sh" "$pki.tmp" >/dev/null
  rm -rf "$pki"
  mv "$pki.tmp" "$pki"
}

# Runs the rest of the command with BUILD_DIR's lock held (at most 10 min).
locked() {
  local lock=$1
  shift
  exec 9>"$lock"
  flock -w 600 9 || die "$lock stayed locked"
  "$@"
}

cmd_up() {
  local build=$1 prefix=$1/wine-prefix
  make_pki "$build"
  init_prefix "$prefix"
  trust_ca "$prefix" "$build/pki/ca.pem" "$build/talvoro-win-trust-ca.exe"
  # The code-signing root of the signed program's tests, where the build
  # made one.
  if [ -f "$build/codesign/root.pem" ]; then
    trust_ca "$prefix" "$build/codesign/root.pem" \
      "$build/talvoro-win-trust-ca.exe" talvoro-codesign-ca
  fi
  start_services "$prefix" "$build"
}

cmd_clone() {
  local build=$1 dest=$2 display=${3:-} prefix=$1/wine-prefix
  [ -f "$prefix/talvoro-ready" ] || die "$prefix is not made (run up first)"
  [ -e "$dest" ] && die "$dest exists"
  mkdir -p "$dest"
  # The copy starts from the files, which `up` wrote with no server running
  # (a running server's registry may be newer than its files). Wine only
  # reads the installed DLLs of system32 and winsxs (630 MB): those are
  # hard links.
  local big="./drive_c/windows/system32 ./drive_c/windows/winsxs"
  tar -C "$prefix" --exclude='./talvoro-*.pid' --exclude=./talvoro-display \
    --exclude=./talvoro-netns \
    --exclude='./talvoro-*.log' --exclude=./wineserver \
    --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs \
    -cf - . | tar -C "$dest" -xf -
  local d
  for d in $big; do
    cp -al "$prefix/$d" "$dest/$d"
  done
  start_services "$dest" "$build" "$display"
}

[ $# -ge 2 ] || usage
command=$1
if [ "$command" = drop ]; then
  [ $# -eq 2 ] || usage
  [ -d "$2" ] || exit 0
  [ -f "$2/talvoro-ready" ] || die "$2 is not a prefix"
  # A Wine process that was starting as the server stopped can start a
  # server of its own and still write into the prefix while it is deleted:
  # stop whatever serves the prefix again and retry, a few times at most.
  for _ in 1 2 3 4 5; do
    stop_services "$2"
    if [ -S "$(server_socket "$2")" ]; then
      (wine_env "$2"; timeout 20 wineserver -k) </dev/null >/dev/null 2>&1 9>&- || true
    fi
    rm -rf "$2" 2>/dev/null && exit 0
    sleep 1
  done
  rm -rf "$2"
  exit 0
fi
build=$(mkdir -p "$2" && cd "$2" && pwd)
case $command in
  up) [ $# -eq 2 ] || usage; locked "$build/wine-prefix.lock" cmd_up "$build" ;;
  init) [ $# -eq 2 ] || usage
        locked "$build/wine-prefix.lock" init_prefix "$build/wine-prefix" ;;
  down) [ $# -eq 2 ] || usage
        [ -d "$build/wine-prefix" ] || exit 0
        locked "$build/wine-prefix.lock" stop_services "$build/wine-prefix" ;;
  clone) [ $# -eq 3 ] || [ $# -eq 4 ] || usage; cmd_clone "$build" "$3" "${4:-}" ;;
  *) usage ;;
esac
