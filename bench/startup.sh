#!/usr/bin/env bash
# Start-up: the time from starting the program (the bench build of
# talvoro-bootstrap) to its window being mapped under Xvfb, measured by
# bench/startup_bench.cc, which watches the root window for the map. The
# reference is a bare window on the same toolkit (bench/bare_window.c): the
# toolkit's own start-up, which no program on it can beat. The program runs
# in a fresh folder with nothing listening on its port (the window comes
# before any network work). The runs of the two are interleaved.
source "$(dirname "$0")/lib.sh"
bench_build
mkdir -p "$bench_run"
trap bench_cleanup EXIT
bench_xvfb

work=$bench_run/startup
declare -A times
for run in $(seq "$bench_runs"); do
  for which in talvoro bare; do
    program=$bench_build/talvoro-bootstrap-bench
    [ "$which" = bare ] && program=$bench_build/bare_window
    rm -rf "$work"
    mkdir -p "$work"
    sleep 0.5
    ms=$(cd "$work" && "$bench_build/startup_bench" --runs 1 -- "$program" \
      2>/dev/null | sed -n 's/^median: \(.*\) ms$/\1/p')
    [ -n "$ms" ] || { bench_log "$which: no window mapped"; exit 1; }
    bench_log "  run $run $which: $ms ms"
    times[$which]="${times[$which]:-} $ms"
  done
done
rm -rf "$work"

echo "Start-up to the mapped window under Xvfb, median of $bench_runs runs"
declare -A median
for which in talvoro bare; do
  # shellcheck disable=SC2086
  median[$which]=$(bench_median ${times[$which]})
done
printf '  %-22s %7.1f ms\n' "talvoro-bootstrap" "${median[talvoro]}" \
  "bare toolkit window" "${median[bare]}"
ratio=$(bench_ratio "${median[talvoro]}" "${median[bare]}")
echo "  time ratio talvoro / bare window: $ratio"
verdict=$(awk -v m="${median[talvoro]}" 'BEGIN { print (m <= 100 ? "met" : "not met") }')
bench_result "Start-up to mapped window vs bare toolkit window" \
  "${median[talvoro]} ms" "${median[bare]} ms" "$ratio" "<= 100 ms" "$verdict"
