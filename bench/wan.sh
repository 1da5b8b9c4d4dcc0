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

bench_log "== $wan_mib MiB over a 40 ms, 200 Mbit/s link, $bench_runs runs each"
bench_verified_vs_curl "$wan_url" \
  "Wide-area link (40 ms, 200 Mbit/s), $wan_mib MiB" \
  "Verified launcher, $wan_mib MiB over 40 ms / 200 Mbit/s vs curl + liblzma (time)" \
  1.03
