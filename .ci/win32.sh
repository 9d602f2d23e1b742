#!/usr/bin/env bash
# CI for the 32-bit Windows program: on a fresh Debian 12 machine, install
# the MinGW-w64 cross tool chain, Wine and what the end-to-end suite needs
# (only what is missing), then configure, build and test with the win32
# preset. Run as root on a fresh machine; once all is installed, any user.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in cmake make g++ libgtest-dev g++-mingw-w64-i686 \
           binutils-mingw-w64-i686 wine wine32:i386 wine64; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  # wine32 is the i386 build of Wine, which runs 32-bit programs.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${need[@]}"
fi

echo "== Windows program: build with MinGW-w64, tests under Wine"
cmake --workflow --preset win32
