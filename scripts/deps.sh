#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and the
# benchmarks need. Quick when everything is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkgconf libasio-dev libssl-dev libgtk-3-dev
  libpng-dev libgtest-dev
  # tests, demo and benchmarks
  xvfb xauth x11-utils imagemagick openssl nginx curl wget xz-utils time
  liblzma-dev python3 clang-format util-linux
  iproute2
  # fuzzing (libFuzzer) and the ThreadSanitizer build
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
# Installing nginx would start a system service on port 80, which nothing
# here uses (tests and the demo start their own nginx on a loopback port)
# and whose start can fail the install (port taken, no IPv6). Services are
# kept from starting during the install, unless a policy is already set.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  own_policy=1
fi
status=0
$sudo apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
[ -n "$own_policy" ] && $sudo rm -f "$policy"
exit "$status"
