#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and the
# benchmarks need. Quick when everything is already there.
#
#   scripts/deps.sh           the Linux build, tests, demo and benchmarks
#   scripts/deps.sh windows   the Windows build (MinGW-w64) and its tests
#                             under Wine, plus the libpng sources it compiles,
#                             unpacked to .deps/libpng
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

linux_packages=(
  # build
  build-essential cmake pkgconf libasio-dev libssl-dev libgtk-3-dev
  libpng-dev libgtest-dev
  # tests, demo and benchmarks
  xvfb xauth x11-utils imagemagick openssl nginx curl wget xz-utils time
  liblzma-dev python3 clang-format util-linux
  iproute2 tinyproxy
  # fuzzing (libFuzzer) and the ThreadSanitizer build
  clang libclang-rt-14-dev
)
windows_packages=(
  # cross build: the posix thread model (std::thread, Asio), windres
  cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev libasio-dev googletest
  # tests under Wine, with the same servers and X tools as on Linux
  wine64 wine xvfb x11-utils imagemagick openssl nginx python3 iproute2
  util-linux clang-format tinyproxy
  # signed test launchers
  osslsigncode
  # the libpng sources' tarball
  xz-utils
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

# Debian's libpng1.6 source package, for the MinGW build (there is no MinGW
# libpng package). apt-get runs with a private source list and private
# package lists in a temporary folder, so the system's lists stay as they
# are; only the main archive is asked (its deb-src pool is reachable, the
# security archive's is not). The upstream tarball is unpacked by hand into
# .deps/libpng (Debian's patches are not needed for the library itself).
fetch_libpng() {
  local dest=$repo/.deps/libpng
  [ -f "$dest/png.c" ] && return 0
  local tmp
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  mkdir -p "$tmp/lists/partial" "$tmp/src"
  echo "deb-src http://deb.debian.org/debian $suite main" >"$tmp/sources.list"
  local apt_opts=(-o "Dir::Etc::SourceList=$tmp/sources.list"
    -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$tmp/lists")
  # As root, apt hands downloads to its _apt user, who cannot enter the
  # private temporary folder; the download then runs as root anyway.
  [ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
  echo "== fetching the libpng1.6 sources ($suite) into $dest"
  apt-get "${apt_opts[@]}" update >/dev/null
  (cd "$tmp/src" && apt-get "${apt_opts[@]}" --download-only source libpng1.6 >/dev/null)
  local orig
  orig=$(ls "$tmp/src"/libpng1.6_*.orig.tar.* 2>/dev/null | head -n1)
  if [ -z "$orig" ]; then
    echo "deps.sh: no libpng1.6 orig tarball was downloaded" >&2
    return 1
  fi
  mkdir -p "$tmp/unpack"
  tar -xf "$orig" -C "$tmp/unpack"
  local top
  top=$(find "$tmp/unpack" -mindepth 1 -maxdepth 1 -type d | head -n1)
  if [ -z "$top" ] || [ ! -f "$top/png.c" ]; then
    echo "deps.sh: $orig holds no png.c" >&2
    return 1
  fi
  mkdir -p "$repo/.deps"
  rm -rf "$dest"
  mv "$top" "$dest"
}

install_missing "${packages[@]}"
if [ "$target" = windows ]; then
  fetch_libpng
fi
