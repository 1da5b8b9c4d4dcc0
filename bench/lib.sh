# Shared by the benchmark scripts: sourced, not run.
#
# Environment (all optional):
#   BENCH_RUNS   runs per figure (default 5, at least 3)
#   BENCH_MIB    size of the large file in MiB (default 1024)
#   BENCH_PORT   loopback port of the private nginx (default 47543, the port
#                the bench build of the program downloads from)
#   BENCH_BUILD  build directory (default build-bench, Release)
#   BENCH_NOBUILD=1  use the build directory as it is
set -euo pipefail

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_build=${BENCH_BUILD:-$bench_root/build-bench}
bench_run=$bench_build/run
bench_port=${BENCH_PORT:-47543}
bench_runs=${BENCH_RUNS:-5}
[ "$bench_runs" -ge 3 ] || bench_runs=3
bench_mib=${BENCH_MIB:-1024}
bench_url="https://localhost:$bench_port/Download/Micro/TalvoroLauncher.exe"
# The test PKI: the CA the clients trust and the server's certificate.
bench_pki_dir=$bench_run/pki
bench_ca=$bench_pki_dir/ca.pem

bench_nginx_dir=$bench_run/nginx
bench_xvfb_pid=""

bench_log() { echo "$@" >&2; }

# Builds the harnesses and the program in Release.
bench_build() {
  [ "${BENCH_NOBUILD:-0}" = 1 ] && return 0
  bench_log "== building in $bench_build (Release)"
  cmake -S "$bench_root" -B "$bench_build" -DCMAKE_BUILD_TYPE=Release \
    -DTALVORO_BUILD_TESTS=OFF -DTALVORO_BUILD_BENCH=ON \
    -DTALVORO_BENCH_PORT="$bench_port" >/dev/null
  cmake --build "$bench_build" -j2 --target crc64_bench crc64_speed \
    lzma_crc_file download_bench startup_bench bare_window talvoro-crc64 \
    talvoro-bootstrap-bench \
    >/dev/null
}

# The test PKI (the CA the clients trust and the server's certificate).
bench_pki() {
  [ -f "$bench_pki_dir/localhost.pem" ] && return 0
  "$bench_root/scripts/make-pki.sh" "$bench_pki_dir" >/dev/null
}

# bench_launcher FILE MIB: a launcher of MIB MiB that a shell can start (a
# two-line script followed by random bytes), made once and kept; its CRC-64
# goes to FILE.crc.
bench_launcher() {
  local file=$1 mib=$2
  if [ -f "$file" ] && [ -f "$file.crc" ] &&
     [ "$(stat -c %s "$file")" -eq $((mib << 20)) ]; then
    return 0
  fi
  bench_log "== making a $mib MiB launcher $file"
  mkdir -p "$(dirname "$file")"
  local head='#!/bin/sh
exit 0
'
  {
    printf '%s' "$head"
    head -c $(((mib << 20) - ${#head})) /dev/urandom
  } > "$file.tmp"
  mv "$file.tmp" "$file"
  "$bench_build/talvoro-crc64" "$file" | cut -d' ' -f1 > "$file.crc"
}

# bench_serve FILE: (re)starts the private nginx serving FILE with its CRC.
bench_serve() {
  local file=$1
  "$bench_root/scripts/nginx-serve.sh" stop "$bench_nginx_dir"
  "$bench_root/scripts/nginx-serve.sh" start "$bench_nginx_dir" "$bench_port" \
    "$file" "$bench_pki_dir/localhost.pem" "$bench_pki_dir/localhost.key" \
    --crc "$(cat "$file.crc")"
}

# Starts Xvfb on a free display and exports DISPLAY.
bench_xvfb() {
  [ -n "$bench_xvfb_pid" ] && return 0
  local display_file=$bench_run/xvfb.display
  : > "$display_file"
  Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp \
    > "$display_file" 2>/dev/null &
  bench_xvfb_pid=$!
  local i
  for i in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.05
  done
  [ -s "$display_file" ] || { bench_log "Xvfb did not start"; return 1; }
  export DISPLAY=":$(head -n1 "$display_file")"
}

bench_cleanup() {
  "$bench_root/scripts/nginx-serve.sh" stop "$bench_nginx_dir" || true
  if [ -n "$bench_xvfb_pid" ]; then
    kill "$bench_xvfb_pid" 2>/dev/null || true
    wait "$bench_xvfb_pid" 2>/dev/null || true
    bench_xvfb_pid=""
  fi
}

# Everything the download figures need: build, PKI, the large launcher
# served by nginx, and for the scripts: `out` (the folder downloads go to),
# `bytes` (the launcher's size) and `want` (its CRC-64).
bench_prepare() {
  bench_build
  mkdir -p "$bench_run"
  bench_pki
  bench_large=$bench_run/www/large.bin
  bench_launcher "$bench_large" "$bench_mib"
  bench_serve "$bench_large"
  trap bench_cleanup EXIT
  out=$bench_run/out
  mkdir -p "$out"
  bytes=$(stat -c %s "$bench_large")
  want=$(cat "$bench_large.crc")
}

# Between runs: the written data reaches the disk and the machine settles,
# outside any timed window.
bench_settle() {
  sync
  sleep 1
}

# bench_time COMMAND...: runs it with standard output to /dev/null and prints
# the elapsed wall-clock seconds. Fails if the command fails.
bench_time() {
  local start end
  start=$EPOCHREALTIME
  "$@" >/dev/null
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

# bench_median VALUE...: the median (the lower middle for an even count).
bench_median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# bench_ratio A B: A / B with two decimals.
bench_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", a / b }'; }

# bench_mbps BYTES SECONDS: MB/s (10^6 bytes).
bench_mbps() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.0f\n", n / s / 1e6 }'; }

# bench_result FIGURE VALUE PEER_VALUE RATIO TARGET VERDICT: one line that
# run-all.sh collects into the results table.
bench_result() {
  echo "RESULT|$1|$2|$3|$4|$5|$6"
}

# bench_verified_vs_curl URL TITLE FIGURE TARGET: time to a verified file,
# the engine's download and check (download_bench --verify) of URL against
# `curl -o` followed by a liblzma CRC-64 pass and a comparison with the
# announced value, interleaved, fresh files, median of the runs. Prints the
# medians under TITLE and the RESULT line of FIGURE, met when the time ratio
# is at most TARGET.
bench_verified_vs_curl() {
  local url=$1 title=$2 figure=$3 target=$4
  run_talvoro() {
    SSL_CERT_FILE=$bench_ca "$bench_build/download_bench" "$url" "$out" \
      --verify
  }
  run_curl_lzma() {
    curl -sS --fail --cacert "$bench_ca" -o "$out/TalvoroLauncher.bin" "$url" &&
      [ "$("$bench_build/lzma_crc_file" "$out/TalvoroLauncher.bin")" = "$want" ]
  }
  declare -A times
  local run tool t
  for run in $(seq "$bench_runs"); do
    for tool in talvoro curl_lzma; do
      rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
      bench_settle
      if ! t=$(bench_time "run_$tool"); then
        bench_log "$tool did not end with a verified file"
        return 1
      fi
      bench_log "  run $run $tool: $t s"
      times[$tool]="${times[$tool]:-} $t"
    done
  done
  rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"

  echo "$title, median of $bench_runs runs"
  declare -A median
  for tool in talvoro curl_lzma; do
    # shellcheck disable=SC2086
    median[$tool]=$(bench_median ${times[$tool]})
    printf '  %-16s %7.3f s\n' "${tool/_/+}" "${median[$tool]}"
  done
  local ratio verdict
  ratio=$(bench_ratio "${median[talvoro]}" "${median[curl_lzma]}")
  echo "  time ratio talvoro / curl+liblzma: $ratio"
  verdict=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r <= t ? "met" : "not met") }')
  bench_result "$figure" "${median[talvoro]} s" "${median[curl_lzma]} s" \
    "$ratio" "<= $target" "$verdict"
}
