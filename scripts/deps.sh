#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and the
# benchmarks need. Quick when everything is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkgconf libasio-dev libssl-dev libgtk-3-dev
  libpng-dev libgtest-dev
  # tests, demo and benchmarks
  xvfb xauth x11-utils xdotool imagemagick openssl nginx curl wget xz-utils time
  liblzma-dev python3 clang-format
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
# Installing nginx may start a system service on port 80; nothing here uses
# it (tests and the demo start their own nginx on a loopback port).
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
