#!/usr/bin/env bash
# Peak resident size of the whole program (the bench build of
# talvoro-bootstrap, which downloads from this loopback port) while it
# downloads, verifies and hands off a large launcher, against a 16 MiB one,
# under Xvfb. /usr/bin/time gives the maximum resident set size. The memory
# must not grow with the file. A bare window on the same toolkit is shown
# for reference: the toolkit's own share.
source "$(dirname "$0")/lib.sh"
bench_prepare
bench_xvfb
small=$bench_run/www/small.bin
bench_launcher "$small" 16

work=$bench_run/memory
program=$bench_build/talvoro-bootstrap-bench

# bench_peak FILE: the program's peak RSS in KiB for one full run.
bench_peak() {
  local file=$1
  rm -rf "$work"
  mkdir -p "$work"
  bench_settle
  (
    cd "$work"
    SSL_CERT_FILE=$bench_ca timeout 300 /usr/bin/time -f '%M' -o "$work/rss" \
      "$program" > "$work/stdout" 2> "$work/stderr"
  ) || { bench_log "the program failed: $(cat "$work/stderr")"; return 1; }
  if ! grep -qx '下载成功' "$work/stdout" ||
     ! cmp -s "$file" "$work/TalvoroLauncher.exe"; then
    bench_log "the program did not put the verified launcher in place"
    return 1
  fi
  tail -n1 "$work/rss"
}

declare -A peaks sizes
for which in large small; do
  file=$bench_run/www/$which.bin
  [ "$which" = large ] && file=$bench_large
  sizes[$which]=$(($(stat -c %s "$file") >> 20))
  bench_serve "$file"
  bench_log "== peak RSS, ${sizes[$which]} MiB launcher, $bench_runs runs"
  for run in $(seq "$bench_runs"); do
    kib=$(bench_peak "$file")
    bench_log "  run $run: $kib KiB"
    peaks[$which]="${peaks[$which]:-} $kib"
  done
done
rm -rf "$work"
bench_serve "$bench_large"

# The reference: a bare window on the same toolkit, left up for a second.
bare=()
for run in $(seq "$bench_runs"); do
  /usr/bin/time -f '%M' -o "$bench_run/bare.rss" \
    timeout -s INT 1 "$bench_build/bare_window" 2>/dev/null || true
  bare+=("$(tail -n1 "$bench_run/bare.rss")")
done
bare_median=$(bench_median "${bare[@]}")

echo "Peak resident size of the whole program under Xvfb, median of $bench_runs runs"
declare -A median
for which in large small; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${peaks[$which]})
  printf '  %5s MiB launcher: %6.1f MiB\n' "${sizes[$which]}" \
    "$(awk -v k="${median[$which]}" 'BEGIN { print k / 1024 }')"
done
ratio=$(bench_ratio "${median[large]}" "${median[small]}")
large_mib=$(awk -v k="${median[large]}" 'BEGIN { printf "%.1f", k / 1024 }')
small_mib=$(awk -v k="${median[small]}" 'BEGIN { printf "%.1f", k / 1024 }')
printf '  bare toolkit window: %6.1f MiB\n' \
  "$(awk -v k="$bare_median" 'BEGIN { print k / 1024 }')"
echo "  ratio ${sizes[large]} MiB / ${sizes[small]} MiB: $ratio"
verdict=$(awk -v r="$ratio" -v k="${median[large]}" \
  'BEGIN { print (r <= 1.10 && k < 64 * 1024 ? "met" : "not met") }')
bench_result "Peak RSS, ${sizes[large]} MiB vs ${sizes[small]} MiB launcher" \
  "$large_mib MiB" "$small_mib MiB" "$ratio" "flat (<= 1.10), < 64 MiB" "$verdict"
bench_result "Peak RSS, ${sizes[large]} MiB launcher vs bare toolkit window" \
  "$large_mib MiB" "$(awk -v k="$bare_median" 'BEGIN { printf "%.1f", k / 1024 }') MiB" \
  "$(bench_ratio "${median[large]}" "$bare_median")" "-" "-"
