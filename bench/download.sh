#!/usr/bin/env bash
# Download throughput over loopback TLS: the engine's download operation
# (bench/download_bench.cc) against `curl -o` and `wget -O`, the same file
# from the same nginx, with the same certificate, written to the same disk.
# Each run writes a fresh file; deleting it, `sync` and a pause happen
# outside the timed window. The runs of the three tools are interleaved.
source "$(dirname "$0")/lib.sh"
bench_prepare

run_talvoro() {
  SSL_CERT_FILE=$bench_ca "$bench_build/download_bench" "$bench_url" "$out"
}
run_curl() {
  curl -sS --fail --cacert "$bench_ca" -o "$out/TalvoroLauncher.bin" \
    "$bench_url"
}
run_wget() {
  wget -q --ca-certificate="$bench_ca" -O "$out/TalvoroLauncher.bin" \
    "$bench_url"
}

# The cipher every client gets (nginx chooses it).
cipher=$(curl -sS -v --cacert "$bench_ca" -o /dev/null -r 0-0 "$bench_url" 2>&1 |
  sed -n 's/^\* SSL connection using \(.*\)$/\1/p')
bench_log "== download of $((bytes >> 20)) MiB, $bench_runs runs each, TLS: $cipher"

declare -A times
for run in $(seq "$bench_runs"); do
  for tool in talvoro curl wget; do
    rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"
    bench_settle
    t=$(bench_time "run_$tool")
    got=$("$bench_build/talvoro-crc64" "$out/TalvoroLauncher.bin" | cut -d' ' -f1)
    if [ "$got" != "$want" ]; then
      bench_log "$tool wrote a wrong file (CRC $got, want $want)"
      exit 1
    fi
    bench_log "  run $run $tool: $t s ($(bench_mbps "$bytes" "$t") MB/s)"
    times[$tool]="${times[$tool]:-} $t"
  done
done
rm -f "$out/TalvoroLauncher.bin" "$out/TalvoroLauncher.bin.etag"

echo "Download, $((bytes >> 20)) MiB over loopback TLS ($cipher), median of $bench_runs runs"
declare -A median
for tool in talvoro curl wget; do
  # shellcheck disable=SC2086
  median[$tool]=$(bench_median ${times[$tool]})
  printf '  %-8s %7.3f s %6s MB/s\n' "$tool" "${median[$tool]}" \
    "$(bench_mbps "$bytes" "${median[$tool]}")"
done
vs_curl=$(bench_ratio "${median[curl]}" "${median[talvoro]}")
vs_wget=$(bench_ratio "${median[wget]}" "${median[talvoro]}")
echo "  throughput ratio talvoro/curl: $vs_curl, talvoro/wget: $vs_wget"
verdict=$(awk -v r="$vs_curl" 'BEGIN { print (r >= 1.00 ? "met" : "not met") }')
bench_result "Download $((bytes >> 20)) MiB vs curl (throughput)" \
  "$(bench_mbps "$bytes" "${median[talvoro]}") MB/s" \
  "$(bench_mbps "$bytes" "${median[curl]}") MB/s" "$vs_curl" ">= 1.00" "$verdict"
verdict=$(awk -v r="$vs_wget" 'BEGIN { print (r >= 1.00 ? "met" : "not met") }')
bench_result "Download $((bytes >> 20)) MiB vs wget (throughput)" \
  "$(bench_mbps "$bytes" "${median[talvoro]}") MB/s" \
  "$(bench_mbps "$bytes" "${median[wget]}") MB/s" "$vs_wget" ">= 1.00" "$verdict"
