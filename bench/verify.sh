#!/usr/bin/env bash
# Time to a verified file: the engine's download followed by its integrity
# check (bench/download_bench.cc --verify) against `curl -o` followed by a
# CRC-64 pass over the written file with liblzma (bench/lzma_crc_file.cc)
# and a comparison with the announced value, the way a user checks a
# download by hand. Fresh files, `sync` and a pause outside the timed window.
source "$(dirname "$0")/lib.sh"
bench_prepare

bench_log "== download and verify $((bytes >> 20)) MiB, $bench_runs runs each"
bench_verified_vs_curl "$bench_url" "Download and verify, $((bytes >> 20)) MiB" \
  "Download and verify $((bytes >> 20)) MiB vs curl + liblzma (time)" 1.00
