#!/usr/bin/env bash
# Time to a verified file: the engine's download followed by its integrity
# check (bench/download_bench.cc --verify) against `curl -o` followed by a
# CRC-64 pass over the written file with liblzma (bench/lzma_crc_file.cc)
# and a comparison with the announced value, the way a user checks a
# download by hand. Fresh files, `sync` and a pause outside the timed window.
source "$(dirname "$0")/lib.sh"
bench_prepare

run_talvoro() {
  SSL_CERT_FILE=$bench_ca "$bench_build/download_bench" "$bench_url" "$out" \
    --verify
}
run_curl_lzma() {
  curl -sS --fail --cacert "$bench_ca" -o "$out/TalvoroLauncher.bin" \
    "$bench_url" &&
    [ "$("$bench_build/lzma_crc_file" "$out/TalvoroLauncher.bin")" = "$want" ]
}

bench_log "== download and verify $((bytes >> 20)) MiB, $bench_runs runs each"
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

echo "Download and verify, $((bytes >> 20)) MiB, median of $bench_runs runs"
declare -A median
for tool in talvoro curl_lzma; do
  # shellcheck disable=SC2086
  median[$tool]=$(bench_median ${times[$tool]})
  printf '  %-16s %7.3f s\n' "${tool/_/+}" "${median[$tool]}"
done
ratio=$(bench_ratio "${median[talvoro]}" "${median[curl_lzma]}")
echo "  time ratio talvoro / curl+liblzma: $ratio"
verdict=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.00 ? "met" : "not met") }')
bench_result "Download and verify $((bytes >> 20)) MiB vs curl + liblzma (time)" \
  "${median[talvoro]} s" "${median[curl_lzma]} s" "$ratio" "<= 1.00" "$verdict"
