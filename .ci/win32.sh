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

# Wine runs 32-bit Windows programs through its 32-bit Linux loader. Where
# the kernel refuses 32-bit programs ("Exec format error", as on some virtual
# machines), the kernel is told to run them through QEMU's user-mode emulator
# instead. Bookworm's QEMU 7.2 takes about a minute to start Wine (its
# address-space search is slow for Wine's reservations); the backported
# QEMU 10 takes a second.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "== this kernel runs no 32-bit programs: Wine's loader goes through qemu-i386"
  if ! qemu-i386 --version 2>/dev/null | grep -Eq 'version ([89]|[1-9][0-9])\.'; then
    echo "deb http://deb.debian.org/debian bookworm-backports main" \
      >/etc/apt/sources.list.d/orvel-backports.list
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -t bookworm-backports qemu-user
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  # A handler registered earlier holds the emulator it was given open ("F"):
  # register anew, so that it is the one just installed.
  [ -e "$binfmt/qemu-i386" ] && echo -1 >"$binfmt/qemu-i386"
  # 32-bit x86 ELF programs and shared objects, as QEMU's own binfmt table
  # has them.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    >"$binfmt/register"
  /usr/lib/wine/wine --version
fi

echo "== Windows program: build with MinGW-w64, tests under Wine"
cmake --workflow --preset win32
