#!/usr/bin/env bash
# Runs every benchmark against its peers in one go (same build, same server)
# and writes the figures to bench/RESULTS.md. Takes a few minutes; the large
# download file (1 GiB by default) and the outputs live under
# build-bench/run/. See bench/lib.sh for the settings (BENCH_RUNS, ...).
# The Windows figures (bench/windows.sh: the MinGW-w64 build under Wine
# against the Linux build) get a table of their own; that script builds in
# and keeps its files under build-win-bench/.
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
for script in crc download verify wan memory startup; do
  bench_log "== bench/$script.sh"
  output=$("$here/$script.sh" 2>>"$log")
  echo "$output" | grep -v '^RESULT|'
  sections+=("$output")
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
bench_log "== bench/windows.sh"
windows=$("$here/windows.sh" 2>>"$log")
echo "$windows" | grep -v '^RESULT|'

# table_rows SECTION...: the RESULT lines as rows of a Markdown table.
table_rows() {
  local section
  for section in "$@"; do
    echo "$section" | sed -n 's/^RESULT|\(.*\)$/| \1 |/p' | sed 's/|/ | /g; s/  */ /g; s/^ //; s/ $//'
  done
}

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
  table_rows "${sections[@]}"
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
  echo "- Load average (1, 5, 15 min) before the run: $load_before, after: $load_after."
  echo "  The machine is shared with other work; figures of separate runs"
  echo "  vary, the ratios within one run (runs interleaved) much less."
  echo
  echo "## Windows build under Wine"
  echo
  echo "The same sources built with Debian's MinGW-w64 (static) and run under"
  echo "Wine on this machine, against the Linux build in the same run"
  echo "(bench/windows.sh)."
  echo
  echo "| Figure | Windows | Linux | ratio | target | |"
  echo "| --- | --- | --- | --- | --- | --- |"
  table_rows "$windows"
  echo
  echo "$windows" | sed -n 's/^\(Windows build: .*\)$/- \1/p; s/^\(Load average .*\)$/- \1/p'
  echo
  echo "Sizes are of stripped copies (x86_64-w64-mingw32-strip). CRC-64 is"
  echo "bench/crc64_speed.cc built for both (Crc64Update on the same 1 GiB buffer,"
  echo "both builds must give the same CRC; \"vpclmul / vpclmul\" is the path each"
  echo "picked). Start-up is bench/startup_bench.cc on the prefix's Xvfb, from"
  echo "\`wine talvoro-bootstrap-bench.exe\` to the map of the window titled"
  echo "\"Corvadelin\", with the prefix's wineserver already running (warm, as on a"
  echo "machine where Wine runs; Wine's own cold start is not counted). The peak"
  echo "working set is the VmHWM of the Wine process of the program (a whole run:"
  echo "download, check, hand-off to a launcher that exits at once), read from"
  echo "/proc every 50 ms. Download and verify is bench/download_bench.cc"
  echo "--verify built for both, against the same nginx (Wine's SChannel gets"
  echo "TLS 1.2, the Linux build's OpenSSL TLS 1.3). Under Wine most of the"
  echo "program's working set and start-up above the bare Win32 window"
  echo "(bench/bare_window_win.c) is Mesa's software OpenGL (libLLVM,"
  echo "swrast_dri) that wined3d loads for the DXGI adapter and output"
  echo "enumeration: a bare window that also enumerates the DXGI outputs peaks at"
  echo "about 104 MiB and shows in about 240-480 ms (checked once, by hand, with"
  echo "/proc/PID/smaps)."
  echo
  echo "## Reproduce"
  echo
  echo '```'
  echo "bench/run-all.sh            # all figures, rewrites this file"
  echo "BENCH_RUNS=7 bench/download.sh   # one figure"
  echo "bench/windows.sh            # the Windows figures alone"
  echo '```'
  echo
  echo "## Output of the last run"
  echo
  echo '```'
  for section in "${sections[@]}" "$windows"; do
    echo "$section" | grep -v '^RESULT|'
    echo
  done
  echo '```'
} > "$results"
bench_log "== wrote $results"
