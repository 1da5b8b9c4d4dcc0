#!/usr/bin/env bash
# The bootstrapper's whole job, end to end, on this machine:
#   - installs what it needs and builds the program with a loopback address;
#   - makes a demo CA and a certificate for localhost;
#   - starts a private nginx on a free loopback port serving a demo launcher
#     with its ETag and CRC-64 header, rate-limited so the bar is seen moving;
#   - runs the bootstrapper in a fresh folder (on your display, or under
#     Xvfb with screenshots when there is none) and reports what happened.
# Everything it makes lives under demo-run/.
#
#   scripts/demo.sh           the Linux program
#   scripts/demo.sh windows   the same with the Windows program (MinGW-w64)
#                             under Wine, in build-win-demo/, on the Xvfb of
#                             its Wine prefix, with screenshots
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# watch_run PID SHOTS OUT: with SHOTS = yes, takes three screenshots of the
# window one second apart while the program PID runs, into OUT; then waits
# for it, at most two minutes (it retries without limit, so a run that
# cannot finish is stopped), and sets `code` to its exit code.
watch_run() {
  local pid=$1 shots=$2 out=$3 shot
  if [ "$shots" = yes ]; then
    for shot in 1 2 3; do
      sleep 1
      kill -0 "$pid" 2>/dev/null || break
      import -display "$DISPLAY" -window root -crop 300x169+810+455 \
        "$out/screenshot-$shot.png" 2>/dev/null
    done
  fi
  for _ in $(seq 1200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "== the bootstrapper did not finish within two minutes; stopping it"
    kill "$pid"
  fi
  wait "$pid"
  code=$?
}

# The Windows form: the prefix (made once in build-win-demo/wine-prefix, with
# its own Xvfb) trusts the fixed test CA of build-win-demo/pki, which serves
# as the demo's CA; the demo launcher is the tests' Windows launcher, which
# records the SHA-256 of its own bytes, padded to 6 MiB.
windows_demo() {
  scripts/deps.sh windows
  local out=$root/demo-run build=$root/build-win-demo
  rm -rf "$out"
  mkdir -p "$out/nginx" "$out/www" "$out/work"
  local port url
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  url="https://localhost:$port/Download/Micro/TalvoroLauncher.exe"

  echo "== building the Windows bootstrapper for $url"
  cmake -S . -B "$build" --toolchain cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DTALVORO_DOWNLOAD_URL="$url" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target talvoro-bootstrap talvoro-crc64 \
    talvoro-win-trust-ca talvoro-win-close-window talvoro-win-test-launcher >/dev/null

  echo "== starting the Wine prefix (made once; its Xvfb; the test CA trusted in it)"
  tests/win/wine-prefix.sh up "$build"
  # The trap runs after this function's variables are gone: values now.
  trap "$(printf '%q down %q || true; %q stop %q || true' \
    "$root/tests/win/wine-prefix.sh" "$build" \
    "$root/scripts/nginx-serve.sh" "$out/nginx")" EXIT
  export WINEPREFIX=$build/wine-prefix WINEDEBUG=-all LC_ALL=C.UTF-8
  export DISPLAY
  DISPLAY=$(cat "$WINEPREFIX/talvoro-display")

  local launcher=$out/www/TalvoroLauncher.exe
  cp "$build/talvoro-win-test-launcher.exe" "$launcher"
  head -c $((6 * 1024 * 1024 - $(stat -c %s "$launcher"))) /dev/urandom >>"$launcher"
  local crc
  crc=$(TALVORO_WINEPREFIX=$WINEPREFIX tests/win/wine-run.sh \
    "$build/talvoro-crc64.exe" "Z:${launcher//\//\\}" | cut -d' ' -f1)

  echo "== starting nginx on 127.0.0.1:$port (CRC-64 $crc, 2 MiB/s)"
  scripts/nginx-serve.sh start "$out/nginx" "$port" "$launcher" \
    "$build/pki/localhost.pem" "$build/pki/localhost.key" --crc "$crc" --rate 2097152

  echo "== running talvoro-bootstrap.exe under Wine in demo-run/work (screenshots in demo-run/)"
  cd "$out/work"
  set +e
  wine "$build/talvoro-bootstrap.exe" </dev/null >"$out/stdout.txt" 2>"$out/stderr.txt" &
  local code
  watch_run $! yes "$out"
  set -e
  sleep 0.5

  echo
  echo "== exit code: $code"
  echo "== files in demo-run/work:"
  ls -l "$out/work"
  echo "== standard output:"
  cat "$out/stdout.txt"
  echo "== standard error:"
  cat "$out/stderr.txt"
  local sha
  sha=$(sha256sum "$launcher" | cut -c1-64)
  if cmp -s "$launcher" "$out/work/TalvoroLauncher.exe" &&
    grep -qx "started $sha" "$out/work/launcher-ran.txt" 2>/dev/null; then
    echo "== the launcher was put in place byte for byte and started:"
    cat "$out/work/launcher-ran.txt"
  else
    echo "== the launcher was NOT started"
    exit 1
  fi
}

case ${1:-} in
  "") ;;
  windows) windows_demo; exit ;;
  *) echo "usage: $0 [windows]" >&2; exit 2 ;;
esac

scripts/deps.sh

out=$root/demo-run
rm -rf "$out"
mkdir -p "$out/pki" "$out/nginx" "$out/www" "$out/work"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
url="https://localhost:$port/Download/Micro/TalvoroLauncher.exe"

echo "== building the bootstrapper for $url"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release \
  -DTALVORO_BUILD_TESTS=OFF -DTALVORO_BUILD_BENCH=OFF \
  -DTALVORO_DOWNLOAD_URL="$url" >/dev/null
cmake --build build-demo -j"$(nproc)" --target talvoro-bootstrap talvoro-crc64 >/dev/null

echo "== making a demo CA and a certificate for localhost"
scripts/make-pki.sh "$out/pki" >/dev/null

# The demo launcher: a shell script that records that it was started, padded
# to 6 MiB so that the download takes a few seconds at the demo's rate.
launcher=$out/www/TalvoroLauncher.exe
{
  printf '#!/bin/sh\n'
  printf 'echo "demo launcher started at $(date +%%T) in $PWD (pid $$)" >> launcher-started.txt\n'
  printf 'exit 0\n'
  head -c 4718592 /dev/urandom | base64 -w 76 | sed 's/^/# /'
} > "$launcher"
crc=$(build-demo/talvoro-crc64 "$launcher" | cut -d' ' -f1)

echo "== starting nginx on 127.0.0.1:$port (CRC-64 $crc, 2 MiB/s)"
scripts/nginx-serve.sh start "$out/nginx" "$port" "$launcher" \
  "$out/pki/localhost.pem" "$out/pki/localhost.key" --crc "$crc" --rate 2097152
trap '"$root"/scripts/nginx-serve.sh stop "$out/nginx" || true' EXIT

xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
  echo "== no display: running under Xvfb, screenshots in demo-run/"
  Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp > "$out/xvfb.display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -s "$out/xvfb.display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$out/xvfb.display")"
  trap 'kill "$xvfb_pid" 2>/dev/null || true; "$root"/scripts/nginx-serve.sh stop "$out/nginx" || true' EXIT
fi

echo "== running talvoro-bootstrap in demo-run/work"
cd "$out/work"
set +e
SSL_CERT_FILE="$out/pki/ca.pem" "$root/build-demo/talvoro-bootstrap" \
  > "$out/stdout.txt" 2> "$out/stderr.txt" &
shots=no
[ -n "$xvfb_pid" ] && shots=yes
watch_run $! "$shots" "$out"
set -e
sleep 0.5

echo
echo "== exit code: $code"
echo "== files in demo-run/work:"
ls -l "$out/work"
echo "== standard output:"
cat "$out/stdout.txt"
echo "== standard error:"
cat "$out/stderr.txt"
if [ -f "$out/work/launcher-started.txt" ] && cmp -s "$launcher" "$out/work/TalvoroLauncher.exe"; then
  echo "== the launcher was put in place byte for byte and started:"
  cat "$out/work/launcher-started.txt"
else
  echo "== the launcher was NOT started"
  exit 1
fi
