#!/usr/bin/env bash
# The Windows build (Debian's MinGW-w64, static) under Wine against the
# Linux build, on this machine, in one run:
#   - the size of the stripped talvoro-bootstrap.exe and talvoro-crc64.exe;
#   - CRC-64 throughput in memory: bench/crc64_speed.cc built twice, the
#     Windows copy under Wine, each on the same 1 GiB buffer, rounds
#     interleaved; both must give the same CRC;
#   - start-up to the shown window: bench/startup_bench.cc watches the Xvfb
#     of the prefix for the window titled "Corvadelin", for `wine
#     talvoro-bootstrap-bench.exe` and for the Linux talvoro-bootstrap-bench,
#     interleaved; the prefix's wineserver is persistent (started before,
#     as on a machine where Wine already runs), and one untimed run of each
#     comes first; a bare Win32 window (bench/bare_window_win.c) under Wine
#     is the reference for Wine's own share;
#   - the peak working set of talvoro-bootstrap-bench.exe for a whole run
#     (download, check, hand-off) of a 512 MiB and of a 16 MiB launcher:
#     the VmHWM of the Wine process (a Linux process that is the Windows
#     program), read from /proc while it runs; the bare Win32 window, shown
#     for two seconds, for reference;
#   - download and verify: bench/download_bench.cc --verify built twice,
#     against the same nginx (scripts/nginx-serve.sh offers TLS 1.2, which
#     Wine's SChannel takes, and 1.3, which OpenSSL takes), interleaved.
#
# Everything runs in a network and mount namespace of its own when the user
# may make them (root): its own loopback, so nothing else on the machine
# shares the port, and the prefix's wineserver, which makes the Windows
# program's sockets, runs in it too; and its own /tmp, where the Xvfb puts
# its lock and socket files (an X client looks for the display's socket by
# name, in its network namespace and in /tmp), so that no other program on
# the machine reaches this Xvfb and nothing here reaches another. The prefix is BENCH_WIN_BUILD/wine-prefix (made
# once by tests/win/wine-prefix.sh, which also trusts the test CA of
# BENCH_WIN_BUILD/pki inside it only); its Xvfb and wineserver are started
# here and stopped at the end.
#
# Environment, besides bench/lib.sh's:
#   BENCH_WIN_BUILD    the Windows build directory (default build-win-bench)
#   BENCH_WIN_MIB      size of the large launcher in MiB (default 512)
#   BENCH_WIN_NOBUILD=1  use the Windows build directory as it is
#   - the download alone against the system's own HTTP stack: the same
#     download_bench.exe without --verify and bench/winhttp_get_win.c
#     (WinHTTP, 256 KiB reads into a file), both under Wine, same nginx,
#     interleaved.
# Prints nothing but a note when MinGW-w64, Wine or Xvfb are missing.
source "$(dirname "$0")/lib.sh"

win_build=${BENCH_WIN_BUILD:-$bench_root/build-win-bench}
win_mib=${BENCH_WIN_MIB:-512}
win_crc_mib=1024
win_title=Corvadelin

missing=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=" MinGW-w64"
command -v wine >/dev/null || missing+=" Wine"
command -v Xvfb >/dev/null || missing+=" Xvfb"
if [ -n "$missing" ]; then
  echo "Windows figures skipped: no$missing (scripts/deps.sh windows)"
  exit 0
fi

# Into namespaces of its own, where they can be made.
if [ "${BENCH_WIN_NETNS:-}" != inside ] && unshare -n -m true 2>/dev/null; then
  BENCH_WIN_NETNS=inside exec unshare -n -m -- "$0" "$@"
fi
win_network="on the machine's loopback and /tmp"
if [ "${BENCH_WIN_NETNS:-}" = inside ]; then
  ip link set lo up
  mount -t tmpfs -o mode=1777 talvoro-bench-tmp /tmp
  win_network="in a network namespace and a /tmp of its own"
fi

bench_build
if [ "${BENCH_WIN_NOBUILD:-0}" != 1 ]; then
  bench_log "== building in $win_build (MinGW-w64, Release)"
  cmake -S "$bench_root" -B "$win_build" \
    --toolchain "$bench_root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTALVORO_BUILD_TESTS=ON \
    -DTALVORO_BUILD_BENCH=ON -DTALVORO_BENCH_PORT="$bench_port" >/dev/null
  cmake --build "$win_build" -j2 --target talvoro-bootstrap talvoro-crc64 \
    talvoro-bootstrap-bench crc64_speed download_bench \
    talvoro-bench-launcher talvoro-bench-bare-window \
    talvoro-win-close-window talvoro-win-trust-ca winhttp_get \
    >/dev/null
fi

win_run=$win_build/run
mkdir -p "$win_run"
# One PKI for both builds: the one the prefix trusts.
bench_pki_dir=$win_build/pki
bench_ca=$bench_pki_dir/ca.pem
bench_nginx_dir=$win_run/nginx
prefix_tool=$bench_root/tests/win/wine-prefix.sh
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

win_cleanup() {
  bench_cleanup
  "$prefix_tool" down "$win_build" >/dev/null 2>&1 || true
}

# The Windows form (Z:\...) of an absolute Linux path.
win_path() { printf 'Z:%s' "${1//\//\\}"; }

# win_launcher FILE MIB: a Windows launcher of MIB MiB (the bench launcher,
# which exits at once, followed by random bytes), made once and kept; its
# CRC-64 goes to FILE.crc.
win_launcher() {
  local file=$1 mib=$2 exe=$win_build/talvoro-bench-launcher.exe
  if [ -f "$file" ] && [ -f "$file.crc" ] &&
     [ "$(stat -c %s "$file")" -eq $((mib << 20)) ] &&
     cmp -s -n "$(stat -c %s "$exe")" "$exe" "$file"; then
    return 0
  fi
  bench_log "== making a $mib MiB Windows launcher $file"
  mkdir -p "$(dirname "$file")"
  {
    cat "$exe"
    head -c $(((mib << 20) - $(stat -c %s "$exe"))) /dev/urandom
  } > "$file.tmp"
  mv "$file.tmp" "$file"
  "$bench_build/talvoro-crc64" "$file" | cut -d' ' -f1 > "$file.crc"
}

# --- sizes ---
# stripped_size FILE: the size in bytes of a stripped copy of FILE.
stripped_size() {
  local copy=$win_run/stripped.exe size
  x86_64-w64-mingw32-strip -o "$copy" "$1"
  size=$(stat -c %s "$copy")
  rm -f "$copy"
  echo "$size"
}
kib() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1024 }'; }
echo "Size of the Windows programs (x86_64-w64-mingw32-strip of a copy)"
declare -A stripped
for program in talvoro-bootstrap talvoro-crc64; do
  stripped[$program]=$(stripped_size "$win_build/$program.exe")
  printf '  %-22s %8s bytes (%s KiB) stripped, %8s bytes as built\n' \
    "$program.exe" "${stripped[$program]}" "$(kib "${stripped[$program]}")" \
    "$(stat -c %s "$win_build/$program.exe")"
done
verdict=$(awk -v b="${stripped[talvoro-bootstrap]}" \
  'BEGIN { print (b <= 524288 ? "met" : "not met") }')
bench_result "Windows: stripped talvoro-bootstrap.exe" \
  "$(kib "${stripped[talvoro-bootstrap]}") KiB" "-" "-" "<= 512 KiB" "$verdict"
bench_result "Windows: stripped talvoro-crc64.exe" \
  "$(kib "${stripped[talvoro-crc64]}") KiB" "-" "-" "-" "-"

# --- the PKI and the prefix ---
# The PKI the prefix trusts (RSA keys, which Wine's crypt32 checks), made
# unless it is there.
win_pki() {
  local pki=$win_build/pki
  [ -f "$pki/unknownca.pem" ] && return 0
  bench_log "== making the test PKI in $pki"
  rm -rf "$pki"
  "$bench_root/scripts/make-pki.sh" "$pki" >/dev/null
}
win_pki
trap win_cleanup EXIT
# A wineserver of an earlier run would serve another network namespace.
"$prefix_tool" down "$win_build" >/dev/null
"$prefix_tool" up "$win_build" >/dev/null
export WINEPREFIX=$win_build/wine-prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
DISPLAY=$(cat "$WINEPREFIX/talvoro-display")
export DISPLAY
unset WAYLAND_DISPLAY

# win OUT ERR PROGRAM [ARG]...: runs the Windows PROGRAM under Wine with its
# standard streams on files (Wine's helper processes inherit them, so they
# never get a pipe of this script's).
win() {
  local out=$1 err=$2
  shift 2
  wine "$@" </dev/null >"$out" 2>"$err"
}

# --- CRC-64 ---
bench_log "== CRC-64 over a $win_crc_mib MiB buffer, $bench_runs rounds"
crc_out=$win_run/crc.out
declare -A gbps paths crcs
for run in $(seq "$bench_runs"); do
  for which in linux windows; do
    status=0
    if [ "$which" = linux ]; then
      "$bench_build/crc64_speed" --mib "$win_crc_mib" --runs 3 \
        >"$crc_out" 2>"$crc_out.err" || status=$?
    else
      win "$crc_out" "$crc_out.err" "$win_build/crc64_speed.exe" \
        --mib "$win_crc_mib" --runs 3 || status=$?
    fi
    # "dispatch <path> <GB/s> GB/s crc <hex>"
    read -r name path speed _ _ crc < <(tr -d '\r' <"$crc_out") || true
    if [ "$status" != 0 ] || [ "${name:-}" != dispatch ]; then
      bench_log "$which crc64_speed failed: $(cat "$crc_out" "$crc_out.err")"
      exit 1
    fi
    bench_log "  run $run $which: $speed GB/s ($path, crc $crc)"
    gbps[$which]="${gbps[$which]:-} $speed"
    paths[$which]=$path
    crcs[$which]=$crc
  done
  if [ "${crcs[linux]}" != "${crcs[windows]}" ]; then
    bench_log "the builds disagree on the CRC: ${crcs[linux]} vs ${crcs[windows]}"
    exit 1
  fi
done
declare -A median
for which in linux windows; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${gbps[$which]})
done
ratio=$(bench_ratio "${median[windows]}" "${median[linux]}")
echo
echo "CRC-64 (Crc64Update) over a $win_crc_mib MiB buffer in memory, median of $bench_runs rounds of 3"
printf '  %-28s %6s GB/s  path %s\n' \
  "Windows build under Wine" "${median[windows]}" "${paths[windows]}" \
  "Linux build" "${median[linux]}" "${paths[linux]}"
echo "  throughput ratio Windows/Linux: $ratio (same CRC ${crcs[linux]})"
bench_result "Windows: CRC-64 $win_crc_mib MiB buffer vs Linux build (${paths[windows]} / ${paths[linux]})" \
  "${median[windows]} GB/s" "${median[linux]} GB/s" "$ratio" "-" "-"

# --- start-up ---
bench_log "== start-up to the shown window, $bench_runs runs each after one untimed"
work=$win_run/startup
declare -A times
for run in $(seq 0 "$bench_runs"); do
  for which in linux windows bare; do
    title=$win_title
    case $which in
      linux) command=("$bench_build/talvoro-bootstrap-bench") ;;
      windows) command=(wine "$win_build/talvoro-bootstrap-bench.exe") ;;
      bare) command=(wine "$win_build/talvoro-bench-bare-window.exe")
            title="Bare window" ;;
    esac
    rm -rf "$work"
    mkdir -p "$work"
    sleep 0.5
    ms=$(cd "$work" && "$bench_build/startup_bench" --runs 1 \
      --timeout-ms 20000 --title "$title" -- "${command[@]}" \
      2>/dev/null | sed -n 's/^median: \(.*\) ms$/\1/p')
    [ -n "$ms" ] || { bench_log "$which: no window shown"; exit 1; }
    bench_log "  run $run $which: $ms ms"
    [ "$run" -gt 0 ] && times[$which]="${times[$which]:-} $ms"
  done
done
rm -rf "$work"
for which in linux windows bare; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${times[$which]})
done
ratio=$(bench_ratio "${median[windows]}" "${median[linux]}")
bare_ratio=$(bench_ratio "${median[windows]}" "${median[bare]}")
echo
echo "Start-up to the shown window on Xvfb, median of $bench_runs runs (after one untimed run each)"
printf '  %-44s %7.1f ms\n' \
  "talvoro-bootstrap.exe, wine, warm wineserver" "${median[windows]}" \
  "bare Win32 window, wine, warm wineserver" "${median[bare]}" \
  "talvoro-bootstrap (Linux)" "${median[linux]}"
echo "  time ratio Windows/Linux: $ratio, Windows/bare Win32 window: $bare_ratio"
bench_result "Windows: start-up to shown window under Wine (warm wineserver) vs Linux build" \
  "${median[windows]} ms" "${median[linux]} ms" "$ratio" "-" "-"
bench_result "Windows: start-up to shown window vs bare Win32 window, both under Wine" \
  "${median[windows]} ms" "${median[bare]} ms" "$bare_ratio" "-" "-"

# --- peak working set ---
large=$win_run/www/large.exe
small=$win_run/www/small.exe
win_launcher "$large" "$win_mib"
win_launcher "$small" 16
work=$win_run/memory

# peak_run COMMAND...: runs COMMAND in a fresh $work, with its standard
# output and error in $work/stdout and $work/stderr, and prints the peak
# resident size (VmHWM) in KiB of its process. With `wine PROGRAM.exe`, that
# process is the one that becomes the Windows program (a process it starts
# is a process of its own). Fails when the command fails or runs for more
# than 3 minutes.
peak_run() {
  local pid peak=0 key value _ state=""
  rm -rf "$work"
  mkdir -p "$work"
  bench_settle
  (cd "$work" && exec "$@") </dev/null >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  # Read every 50 ms; VmHWM only grows, so the last value read is the peak
  # up to then.
  for _ in $(seq 3600); do
    [ -r "/proc/$pid/status" ] || break
    while read -r key value _; do
      [ "$key" = VmHWM: ] && peak=$value
    done 2>/dev/null <"/proc/$pid/status" || true
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) || break
    [ "$state" = Z ] && break
    sleep 0.05
  done
  if [ -n "$state" ] && [ "$state" != Z ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    bench_log "$* did not end within 3 minutes: $(tail -n3 "$work/stderr")"
    return 1
  fi
  wait "$pid" || { bench_log "$* failed: $(cat "$work/stderr")"; return 1; }
  echo "$peak"
}

# win_peak FILE: the peak working set in KiB of one whole run of the
# Windows program (download, check, hand-off) with FILE served.
win_peak() {
  local file=$1 peak
  peak=$(peak_run wine "$win_build/talvoro-bootstrap-bench.exe") || return 1
  if ! tr -d '\r' <"$work/stdout" | grep -qx '下载成功' ||
     ! tr -d '\r' <"$work/stdout" | grep -qx 'Setup executable started successfully' ||
     ! cmp -s "$file" "$work/TalvoroLauncher.exe"; then
    bench_log "the program did not put the verified launcher in place and start it:"
    bench_log "$(cat "$work/stdout" "$work/stderr")"
    return 1
  fi
  echo "$peak"
}

declare -A peaks sizes
for which in large small; do
  file=$large
  [ "$which" = small ] && file=$small
  sizes[$which]=$(($(stat -c %s "$file") >> 20))
  bench_serve "$file"
  bench_log "== peak working set, ${sizes[$which]} MiB launcher, $bench_runs runs"
  for run in $(seq "$bench_runs"); do
    kib=$(win_peak "$file")
    bench_log "  run $run: $kib KiB"
    peaks[$which]="${peaks[$which]:-} $kib"
  done
done
bench_log "== peak working set, bare Win32 window, $bench_runs runs"
for run in $(seq "$bench_runs"); do
  kib=$(peak_run wine "$win_build/talvoro-bench-bare-window.exe")
  bench_log "  run $run: $kib KiB"
  peaks[bare]="${peaks[bare]:-} $kib"
done
rm -rf "$work"
mib_of() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
for which in large small bare; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${peaks[$which]})
done
ratio=$(bench_ratio "${median[large]}" "${median[small]}")
echo
echo "Peak working set (VmHWM of the Wine process) of talvoro-bootstrap-bench.exe, whole run, median of $bench_runs runs"
for which in large small; do
  printf '  %5s MiB launcher: %6s MiB\n' "${sizes[$which]}" "$(mib_of "${median[$which]}")"
done
printf '  bare Win32 window:  %6s MiB\n' "$(mib_of "${median[bare]}")"
echo "  ratio ${sizes[large]} MiB / ${sizes[small]} MiB: $ratio"
verdict=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.10 ? "met" : "not met") }')
bench_result "Windows: peak working set, ${sizes[large]} MiB vs ${sizes[small]} MiB launcher" \
  "$(mib_of "${median[large]}") MiB" "$(mib_of "${median[small]}") MiB" \
  "$ratio" "flat (<= 1.10)" "$verdict"
bench_result "Windows: peak working set, ${sizes[large]} MiB launcher vs bare Win32 window, both under Wine" \
  "$(mib_of "${median[large]}") MiB" "$(mib_of "${median[bare]}") MiB" \
  "$(bench_ratio "${median[large]}" "${median[bare]}")" "-" "-"

# --- download and verify ---
bench_serve "$large"
out=$win_run/out
mkdir -p "$out"
bytes=$(stat -c %s "$large")
want=$(cat "$large.crc")
run_linux() {
  SSL_CERT_FILE=$bench_ca "$bench_build/download_bench" "$bench_url" "$out" \
    --verify 2>"$out/stderr"
}
run_windows() {
  win /dev/null "$out/stderr" "$win_build/download_bench.exe" "$bench_url" \
    "$(win_path "$out")" --verify
}
bench_log "== download and verify $((bytes >> 20)) MiB, $bench_runs runs each"
declare -A dv_times dv_inner
for run in $(seq "$bench_runs"); do
  for which in linux windows; do
    rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
    bench_settle
    if ! t=$(bench_time "run_$which"); then
      bench_log "$which did not end with a verified file: $(cat "$out/stderr")"
      exit 1
    fi
    got=$("$bench_build/talvoro-crc64" "$out/TalvoroLauncher.bin" | cut -d' ' -f1)
    if [ "$got" != "$want" ]; then
      bench_log "$which wrote a wrong file (CRC $got, want $want)"
      exit 1
    fi
    op=$(tr -d '\r' <"$out/stderr" | sed -n 's/^download_bench: \([0-9.]*\) s$/\1/p')
    bench_log "  run $run $which: $t s (the operation: $op s)"
    dv_times[$which]="${dv_times[$which]:-} $t"
    dv_inner[$which]="${dv_inner[$which]:-} $op"
  done
done
rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
declare -A op_median
for which in linux windows; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${dv_times[$which]})
  # shellcheck disable=SC2086
  op_median[$which]=$(bench_median ${dv_inner[$which]})
done
ratio=$(bench_ratio "${median[windows]}" "${median[linux]}")
echo
echo "Download and verify, $((bytes >> 20)) MiB from nginx over loopback TLS (Windows: TLS 1.2 through SChannel; Linux: TLS 1.3 through OpenSSL), median of $bench_runs runs"
printf '  %-30s %7.3f s %6s MB/s  (the operation %.3f s)\n' \
  "download_bench.exe under Wine" "${median[windows]}" \
  "$(bench_mbps "$bytes" "${median[windows]}")" "${op_median[windows]}" \
  "download_bench (Linux)" "${median[linux]}" \
  "$(bench_mbps "$bytes" "${median[linux]}")" "${op_median[linux]}"
echo "  time ratio Windows/Linux: $ratio"
bench_result "Windows: download and verify $((bytes >> 20)) MiB under Wine vs Linux build (time)" \
  "${median[windows]} s" "${median[linux]} s" "$ratio" "-" "-"

# --- the download against WinHTTP ---
run_engine() {
  win /dev/null "$out/stderr" "$win_build/download_bench.exe" "$bench_url" \
    "$(win_path "$out")"
}
run_winhttp() {
  win /dev/null "$out/stderr" "$win_build/winhttp_get.exe" "$bench_url" \
    "$(win_path "$out/TalvoroLauncher.bin")"
}
bench_log "== download $((bytes >> 20)) MiB under Wine, engine and WinHTTP, $bench_runs runs each"
declare -A dl_times
for run in $(seq "$bench_runs"); do
  for which in engine winhttp; do
    rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
    bench_settle
    if ! t=$(bench_time "run_$which") ||
       ! cmp -s "$large" "$out/TalvoroLauncher.bin"; then
      bench_log "$which did not download the whole file: $(cat "$out/stderr")"
      exit 1
    fi
    bench_log "  run $run $which: $t s"
    dl_times[$which]="${dl_times[$which]:-} $t"
  done
done
rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
for which in engine winhttp; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${dl_times[$which]})
done
ratio=$(bench_ratio "${median[engine]}" "${median[winhttp]}")
echo
echo "Download $((bytes >> 20)) MiB from nginx over loopback TLS 1.2 under Wine, median of $bench_runs runs"
printf '  %-34s %7.3f s %6s MB/s\n' \
  "download_bench.exe (the engine)" "${median[engine]}" \
  "$(bench_mbps "$bytes" "${median[engine]}")" \
  "winhttp_get.exe (WinHTTP, 256 KiB)" "${median[winhttp]}" \
  "$(bench_mbps "$bytes" "${median[winhttp]}")"
echo "  time ratio engine/WinHTTP: $ratio"
verdict=$(awk -v r="$ratio" 'BEGIN { print (r <= 0.5 ? "met" : "not met") }')
bench_result "Windows: download $((bytes >> 20)) MiB under Wine, engine vs WinHTTP (time)" \
  "${median[engine]} s" "${median[winhttp]} s" "$ratio" "<= 0.50" "$verdict"

echo
echo "Windows build: $(x86_64-w64-mingw32-g++-posix --version | head -n1), static; $(wine --version); run $win_network"
echo "Load average (1, 5, 15 min) before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
