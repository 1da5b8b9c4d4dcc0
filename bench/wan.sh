#!/usr/bin/env bash
# Time to a verified launcher over a wide-area link: 40 ms round trip,
# 200 Mbit/s each way, made on loopback by bench/wan_relay.py (a relay that
# serialises every piece at the rate and holds it 20 ms in each direction;
# this kernel has no netem). The engine's download and check
# (download_bench --verify: HEAD, GET, CRC-64) against curl downloading the
# same file through the same relay followed by a CRC-64 pass with liblzma,
# interleaved, median of the runs.
#
#   WAN_MIB   size of the launcher in MiB (default 32)
source "$(dirname "$0")/lib.sh"
wan_mib=${WAN_MIB:-32}
BENCH_MIB=$wan_mib
bench_mib=$wan_mib
bench_prepare
relay_port=$((bench_port + 1))
wan_url="https://localhost:$relay_port/Download/Micro/TalvoroLauncher.exe"
python3 "$bench_root/bench/wan_relay.py" "$relay_port" "$bench_port" &
relay_pid=$!
trap 'kill "$relay_pid" 2>/dev/null; wait "$relay_pid" 2>/dev/null; bench_cleanup' EXIT
for i in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$relay_port") 2>/dev/null && break
  sleep 0.05
done

run_talvoro() {
  SSL_CERT_FILE=$bench_ca "$bench_build/download_bench" "$wan_url" "$out" \
    --verify
}
run_curl_lzma() {
  curl -sS --fail --cacert "$bench_ca" -o "$out/TalvoroLauncher.bin" \
    "$wan_url" &&
    [ "$("$bench_build/lzma_crc_file" "$out/TalvoroLauncher.bin")" = "$want" ]
}

bench_log "== $wan_mib MiB over a 40 ms, 200 Mbit/s link, $bench_runs runs each"
declare -A times
for run in $(seq "$bench_runs"); do
  for tool in talvoro curl_lzma; do
    rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
    bench_settle
    if ! t=$(bench_time "run_$tool"); then
      bench_log "$tool did not end with a verified file"
      exit 1
    fi
    bench_log "  run $run $tool: $t s"
    times[$tool]="${times[$tool]:-} $t"
  done
done
rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"

echo "Wide-area link (40 ms, 200 Mbit/s), $wan_mib MiB, median of $bench_runs runs"
declare -A median
for tool in talvoro curl_lzma; do
  # shellcheck disable=SC2086
  median[$tool]=$(bench_median ${times[$tool]})
  printf '  %-16s %7.3f s\n' "${tool/_/+}" "${median[$tool]}"
done
ratio=$(bench_ratio "${median[talvoro]}" "${median[curl_lzma]}")
echo "  time ratio talvoro / curl+liblzma: $ratio"
verdict=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.03 ? "met" : "not met") }')
bench_result "Verified launcher, $wan_mib MiB over 40 ms / 200 Mbit/s vs curl + liblzma (time)" \
  "${median[talvoro]} s" "${median[curl_lzma]} s" "$ratio" "<= 1.03" "$verdict"
