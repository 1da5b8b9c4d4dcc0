#!/usr/bin/env bash
# Time to a verified launcher over a wide-area link: 40 ms round trip,
# 200 Mbit/s each way, made on loopback by bench/wan_relay.py (a relay that
# serialises every piece at the rate and holds it 20 ms in each direction;
# this kernel has no netem). The engine's download and check
# (download_bench --verify: HEAD, GET, CRC-64) against curl downloading the
# same file through the same relay followed by a CRC-64 pass with liblzma,
# interleaved, median of the runs.
#
# The program itself is timed too, start-up included: the bench build of
# talvoro-bootstrap (whose address is the bench port) on an Xvfb, from the
# start of its process to its line "下载成功", against the same curl +
# liblzma pass. For that the relay listens on the bench port and nginx
# moves to the port after it.
#
# The clock starts right before the program's process is started, as the
# one of curl + liblzma does. The target is one round trip behind curl: the
# HEAD's (curl sends none), with every connection's set-up overlapped.
#
#   WAN_MIB   size of the launcher in MiB (default 48)
#   WAN_OTHER another build of the bench program (say, of an earlier
#             revision), timed the same way in the same rounds; its row is
#             named by WAN_OTHER_LABEL
source "$(dirname "$0")/lib.sh"
wan_mib=${WAN_MIB:-48}
BENCH_MIB=$wan_mib
bench_mib=$wan_mib
bench_prepare
nginx_port=$((bench_port + 1))
"$bench_root/scripts/nginx-serve.sh" stop "$bench_nginx_dir"
"$bench_root/scripts/nginx-serve.sh" start "$bench_nginx_dir" "$nginx_port" \
  "$bench_large" "$bench_pki_dir/localhost.pem" "$bench_pki_dir/localhost.key" \
  --crc "$want"
wan_url="https://localhost:$bench_port/Download/Micro/TalvoroLauncher.exe"
python3 "$bench_root/bench/wan_relay.py" "$bench_port" "$nginx_port" &
relay_pid=$!
trap 'kill "$relay_pid" 2>/dev/null; wait "$relay_pid" 2>/dev/null; bench_cleanup' EXIT
for i in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$bench_port") 2>/dev/null && break
  sleep 0.05
done

bench_log "== $wan_mib MiB over a 40 ms, 200 Mbit/s link, $bench_runs runs each"
bench_verified_vs_curl "$wan_url" \
  "Wide-area link (40 ms, 200 Mbit/s), $wan_mib MiB" \
  "Verified launcher, $wan_mib MiB over 40 ms / 200 Mbit/s vs curl + liblzma (time)" \
  1.03

# --- the program, start-up included ---
bench_xvfb
work=$bench_run/wan-program
# run_program [BINARY]: the seconds from the start of the program's process
# to its line "下载成功" (the launcher verified); fails unless the run ends
# with the launcher in place.
run_program() {
  local binary=${1:-$bench_build/talvoro-bootstrap-bench}
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && SSL_CERT_FILE=$bench_ca python3 -c '
import subprocess, sys, time
start = time.monotonic()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE)
verified = None
for line in p.stdout:
    if verified is None and line.rstrip(b"\r\n") == "下载成功".encode():
        verified = time.monotonic() - start
p.wait()
if verified is None or p.returncode != 0:
    sys.exit("no verified launcher (exit code %d)" % p.returncode)
print("%.4f" % verified)' "$binary") &&
    cmp -s "$bench_large" "$work/TalvoroLauncher.exe"
}
run_curl() {
  curl -sS --fail --cacert "$bench_ca" -o "$out/TalvoroLauncher.bin" \
    "$wan_url" &&
    [ "$("$bench_build/lzma_crc_file" "$out/TalvoroLauncher.bin")" = "$want" ]
}
tools=(program curl)
[ -n "${WAN_OTHER:-}" ] && tools=(program other curl)
declare -A times
for run in $(seq "$bench_runs"); do
  for tool in "${tools[@]}"; do
    rm -f "$out/TalvoroLauncher.bin"
    bench_settle
    if [ "$tool" = program ]; then
      t=$(run_program) || { bench_log "the program did not verify the launcher"; exit 1; }
    elif [ "$tool" = other ]; then
      t=$(run_program "$WAN_OTHER") || { bench_log "$WAN_OTHER did not verify the launcher"; exit 1; }
    else
      t=$(bench_time run_curl) || { bench_log "curl did not end with a verified file"; exit 1; }
    fi
    bench_log "  run $run $tool: $t s"
    times[$tool]="${times[$tool]:-} $t"
  done
done
rm -rf "$work" "$out/TalvoroLauncher.bin"
declare -A median
for tool in "${tools[@]}"; do
  # shellcheck disable=SC2086
  median[$tool]=$(bench_median ${times[$tool]})
done
# One round trip (40 ms) behind curl.
target=$(awk -v c="${median[curl]}" 'BEGIN { printf "%.2f\n", (c + 0.040) / c }')
echo
echo "The program on Xvfb, start to \"下载成功\", $wan_mib MiB over the same link, median of $bench_runs runs"
for tool in "${tools[@]}"; do
  printf '  %-16s %7.3f s\n' "${tool/curl/curl+liblzma}" "${median[$tool]}"
done
for tool in "${tools[@]}"; do
  [ "$tool" = curl ] && continue
  ratio=$(bench_ratio "${median[$tool]}" "${median[curl]}")
  echo "  time ratio $tool / curl+liblzma: $ratio (one round trip behind: $target)"
  verdict=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r <= t ? "met" : "not met") }')
  figure="Program start to verified launcher, $wan_mib MiB over 40 ms / 200 Mbit/s vs curl + liblzma (time)"
  [ "$tool" = other ] && figure="$figure, ${WAN_OTHER_LABEL:-$WAN_OTHER}"
  bench_result "$figure" "${median[$tool]} s" "${median[curl]} s" "$ratio" \
    "<= $target (curl + 1 round trip)" "$verdict"
done
