#!/bin/sh
# Configures the project in TREE (configure only: no tests, no benchmarks)
# the way a publisher sets TALVORO_LAUNCHER_SIGNERS on the command line:
# two fingerprints, one in capitals, must be accepted and reach the
# program's definition; 63 digits, a character that is no hexadecimal
# digit and an empty entry between two ';' must each stop the
# configuration with the option's message.
#
#   check-signer-option.sh CMAKE SOURCE TOOLCHAIN TREE
set -u

[ $# -eq 4 ] || { echo "usage: $0 CMAKE SOURCE TOOLCHAIN TREE" >&2; exit 2; }
cmake=$1 source=$2 toolchain=$3 tree=$4
a=4581ad8a0c3f9e1b7d2265e0a9f4c1b3d8e7f60a1b2c3d4e5f60718293a4c5fd
b=9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08
message="is not a SHA-256 fingerprint (64 hexadecimal digits)"
short=$(printf '%s' "$a" | cut -c2-)
nonhex=$(printf '%s' "$a" | cut -c2-)g
status=0

configure() {
  "$cmake" -S "$source" -B "$tree" --toolchain "$toolchain" \
    -DTALVORO_BUILD_TESTS=OFF -DTALVORO_BUILD_BENCH=OFF \
    "-DTALVORO_LAUNCHER_SIGNERS=$1" >"$tree.log" 2>&1
}

rm -rf "$tree"
if ! configure "$a;$b"; then
  echo "two fingerprints, one in capitals: refused" >&2
  cat "$tree.log" >&2
  status=1
elif ! grep -q "TALVORO_LAUNCHER_SIGNERS=.*$a $b" \
    "$tree/compile_commands.json"; then
  echo "two fingerprints: not in the program's definition" >&2
  status=1
else
  echo "accepted: two fingerprints, one in capitals"
fi

# WHAT:ENTRY:VALUE, ENTRY being the one the message must name. CMake
# wraps its messages: the log is read as one line.
for case in "63 digits:$short:$short;$b" \
    "a character that is no hexadecimal digit:$nonhex:$a;$nonhex" \
    "an empty entry between two ';'::$a;;$b"; do
  what=${case%%:*} rest=${case#*:}
  entry=${rest%%:*} value=${rest#*:}
  if configure "$value"; then
    echo "$what: accepted" >&2
    status=1
  elif ! tr -s '\n ' '  ' <"$tree.log" |
      grep -qF "TALVORO_LAUNCHER_SIGNERS: \"$entry\" $message"; then
    echo "$what: refused without the option's message" >&2
    cat "$tree.log" >&2
    status=1
  else
    echo "refused: $what"
  fi
done
exit $status
