#!/bin/sh
# Strips a copy of PROGRAM and fails when the copy is larger than LIMIT
# bytes. Prints the line the README quotes:
#   stripped talvoro-bootstrap.exe: N bytes (K KiB), limit LIMIT bytes
#
#   check-size.sh STRIP PROGRAM LIMIT COPY
set -eu

[ $# -eq 4 ] || { echo "usage: $0 STRIP PROGRAM LIMIT COPY" >&2; exit 2; }
strip=$1 program=$2 limit=$3 copy=$4
"$strip" -o "$copy" "$program"
size=$(stat -c %s "$copy")
rm -f "$copy"
kib=$(awk -v b="$size" 'BEGIN { printf "%.1f", b / 1024 }')
echo "stripped $(basename "$program"): $size bytes ($kib KiB), limit $limit bytes"
if [ "$size" -gt "$limit" ]; then
  echo "$(basename "$program") is $((size - limit)) bytes over the limit" >&2
  exit 1
fi
