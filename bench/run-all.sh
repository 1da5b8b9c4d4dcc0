#!/usr/bin/env bash
# Runs every benchmark against its peers in one go (same build, same server)
# and writes the figures to bench/RESULTS.md. Takes a few minutes; the large
# download file (1 GiB by default) and the outputs live under
# build-bench/run/. See bench/lib.sh for the settings (BENCH_RUNS, ...).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
bench_build
export BENCH_NOBUILD=1

log=$bench_run/run-all.log
mkdir -p "$bench_run"
: > "$log"
sections=()
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for script in crc download verify memory startup; do
  bench_log "== bench/$script.sh"
  output=$("$here/$script.sh" 2>>"$log")
  echo "$output" | grep -v '^RESULT|'
  sections+=("$output")
done

results=$here/RESULTS.md
{
  echo "# Benchmark results"
  echo
  echo "Latest figures of \`bench/run-all.sh\` ($(date -u '+%Y-%m-%d %H:%M UTC'))."
  echo "Each figure is the median of $bench_runs runs; a ratio compares the"
  echo "program with the peer in the same run, on the same server and disk."
  echo
  echo "| Figure | talvoro | peer | ratio | target | |"
  echo "| --- | --- | --- | --- | --- | --- |"
  for section in "${sections[@]}"; do
    echo "$section" | sed -n 's/^RESULT|\(.*\)$/| \1 |/p' | sed 's/|/ | /g; s/  */ /g; s/^ //; s/ $//'
  done
  echo
  echo "Download ratios are throughput (higher is better); download and"
  echo "verify and start-up are times (lower is better); memory compares the"
  echo "peak resident size for the large and the small launcher. The bare"
  echo "toolkit window (bench/bare_window.c) is the toolkit's own share of"
  echo "memory and start-up with its default settings."
  echo
  echo "## Machine"
  echo
  echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
  echo "- $(uname -sr), $(nginx -v 2>&1 | sed 's/^nginx version: //'), $(curl --version | head -n1 | cut -d' ' -f1-2), $(wget --version | head -n1 | cut -d' ' -f1-3), liblzma $(pkg-config --modversion liblzma)"
  echo "- CPU features the CRC paths use: $(grep -o -w -m1 'pclmulqdq\|vpclmulqdq\|avx512f' /proc/cpuinfo | sort -u | tr '\n' ' ')"
  echo "- TLS: $(sed -n 's/^Download.*TLS (\(.*\)), median.*/\1/p' <<<"${sections[1]}") as curl reports it; the engine and wget offer the same suite first and get it too (checked once with \`openssl s_server -trace\`). The test nginx (scripts/nginx-serve.sh) offers TLS 1.2 and 1.3."
  echo "- Load average (1, 5, 15 min) before the run: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "  The machine is shared with other work; figures of separate runs"
  echo "  vary, the ratios within one run (runs interleaved) much less."
  echo
  echo "## Reproduce"
  echo
  echo '```'
  echo "bench/run-all.sh            # all figures, rewrites this file"
  echo "BENCH_RUNS=7 bench/download.sh   # one figure"
  echo '```'
  echo
  echo "## Output of the last run"
  echo
  echo '```'
  for section in "${sections[@]}"; do
    echo "$section" | grep -v '^RESULT|'
    echo
  done
  echo '```'
} > "$results"
bench_log "== wrote $results"
