#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only what is missing.
# Safe to run again. Usage: install-deps.sh [build|test]
set -euo pipefail
what=${1:-test}

pkgs=(cmake ninja-build g++ googletest g++-mingw-w64-i686-posix mingw-w64-i686-dev)
if [ "$what" = test ]; then
  pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev wine wine32:i386 xvfb xauth
        # The Windows-side tests also run as 64-bit programs, for kernels
        # that cannot execute 32-bit code (Wine's 32-bit loader then fails).
        wine64 g++-mingw-w64-x86-64-posix
        # Fuzz targets: clang with libFuzzer and the sanitizer runtimes.
        clang libclang-rt-14-dev)
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${pkgs[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
for p in "${missing[@]}"; do
  case $p in
    *:i386)
      dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
  esac
done
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
