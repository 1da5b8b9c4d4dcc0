#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and the
# benchmarks need. Quick when everything is already there.
#
#   scripts/deps.sh           the Linux build, tests, demo and benchmarks
#   scripts/deps.sh windows   the Windows build (MinGW-w64) and its tests
#                             under Wine
set -euo pipefail

linux_packages=(
  # build
  build-essential cmake ninja-build pkgconf libasio-dev libssl-dev libgtk-3-dev
  libpng-dev libgtest-dev
  # tests, demo and benchmarks
  xvfb xauth x11-utils imagemagick openssl nginx curl wget xz-utils time
  liblzma-dev python3 clang-format util-linux strace
  iproute2 tinyproxy squid
  # Chinese text in the window's status line under Xvfb
  fonts-wqy-microhei
  # fuzzing (libFuzzer) and the ThreadSanitizer build
  clang libclang-rt-14-dev
)
windows_packages=(
  # cross build: the posix thread model (std::thread, Asio), windres
  cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libasio-dev googletest
  # tests under Wine, with the same servers and X tools as on Linux
  wine64 wine xvfb x11-utils imagemagick openssl nginx python3 iproute2
  util-linux clang-format tinyproxy squid strace ninja-build
  # Chinese text in the window's status line (Wine sees fontconfig's fonts)
  fonts-wqy-microhei
  # Wine's NTLM client runs winbind's ntlm_auth (the proxy sign-in tests)
  winbind
  # signed test launchers
  osslsigncode
)

target=${1:-linux}
case $target in
  linux) packages=("${linux_packages[@]}") ;;
  windows) packages=("${windows_packages[@]}") ;;
  *) echo "usage: $0 [linux|windows]" >&2; exit 2 ;;
esac

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

install_missing() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  $sudo apt-get update
  # Installing nginx would start a system service on port 80, which nothing
  # here uses (tests and the demo start their own nginx on a loopback port)
  # and whose start can fail the install (port taken, no IPv6). Services are
  # kept from starting during the install, unless a policy is already set.
  local policy=/usr/sbin/policy-rc.d own_policy="" status=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    own_policy=1
  fi
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
  [ -n "$own_policy" ] && $sudo rm -f "$policy"
  return "$status"
}

install_missing "${packages[@]}"
