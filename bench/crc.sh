#!/usr/bin/env bash
# CRC-64 throughput: every path of the integrity check against liblzma's
# lzma_crc64, on a 1 GiB and a 64 MiB buffer in memory.
source "$(dirname "$0")/lib.sh"
bench_build

report=$("$bench_build/crc64_bench" --mib 1024 --mib 64 --runs "$bench_runs")
echo "CRC-64 throughput in memory, median of $bench_runs runs"
echo "$report"
# The dispatching path is the one the program uses.
echo "$report" | awk -v runs="$bench_runs" '
  /MiB buffer/ { size = $1 }
  /^  liblzma/ { lzma[size] = $2 }
  /^  dispatch/ {
    ratio = $5
    path = $NF; gsub(/[()]/, "", path)
    target = (size == 1024) ? ">= 2.50" : "-"
    verdict = (size == 1024) ? (ratio >= 2.5 ? "met" : "not met") : "-"
    printf "RESULT|CRC-64 %s MiB buffer vs liblzma (%s)|%s GB/s|%s GB/s|%s|%s|%s\n",
      size, path, $2, lzma[size], ratio, target, verdict
  }'
