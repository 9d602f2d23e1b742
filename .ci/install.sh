#!/usr/bin/env bash
# Installs, on a fresh Debian 12 machine, everything CI needs and nothing it
# does not; a machine that has it all is left as it is. Run as root.
#   build and tests    cmake g++ make libgtest-dev
#   proofs             strace valgrind util-linux (setpriv) diffutils
#                      findutils (cmp, find), exfatprogs exfat-fuse (an
#                      exFAT volume on a loop device, which folds case)
#   fuzz preset        clang libclang-rt-14-dev (libFuzzer)
#   code format        clang-format
#   benchmark          python3 rsync
#   Windows program    g++-mingw-w64-i686 binutils-mingw-w64-i686, and Wine
#                      with its 32-bit part (i386 architecture); locales
#                      (a Japanese locale, for code page 932 under Wine)
#   release            git dpkg-dev (dpkg-shlibdeps) lintian zip unzip
#                      man-db file
#   arm64 release      crossbuild-essential-arm64, libc6:arm64 (for
#                      dpkg-shlibdeps; arm64 architecture), qemu-user
#                      (qemu-aarch64 runs the arm64 programs)
set -euo pipefail

# The apt line for bookworm-backports, on the archive from which this
# machine takes bookworm's main component (its own sources, in the one-line
# form of sources.list and *.list or the deb822 form of *.sources under
# APT_DIR, /etc/apt by default), with the same signing key; status 1 where
# no source names that archive.
backports_line() {  # [APT_DIR]
  local dir=${1:-/etc/apt} suite=bookworm f line
  for f in "$dir/sources.list" "$dir"/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    line=$(awk -v want="$suite" '
      { sub(/#.*/, "") }
      $1 == "deb" {
        i = 2; opts = ""
        if ($2 ~ /^\[/) {  # [ option=value ... ]
          while (i < NF && $i !~ /\]$/) { opts = opts $i " "; i++ }
          opts = opts $i " "; i++
        }
        if ($(i + 1) != want) next
        for (j = i + 2; j <= NF; j++)
          if ($j == "main") { print "deb " opts $i " " want "-backports main"; exit }
      }' "$f")
    [ -n "$line" ] && { echo "$line"; return 0; }
  done
  for f in "$dir"/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    line=$(awk -v want="$suite" '
      function has(list, word) { return index(" " list " ", " " word " ") > 0 }
      function stanza(  key, uri, key_file) {
        if (has(v["types"], "deb") && has(v["suites"], want) &&
            has(v["components"], "main") && v["enabled"] != "no") {
          split(v["uris"], uri, " ")
          key_file = v["signed-by"]  # a path; a key written inline is left out
          opts = key_file ~ /^\/[^ ]*$/ ? "[signed-by=" key_file "] " : ""
          print "deb " opts uri[1] " " want "-backports main"
          found = 1
          exit
        }
        for (key in v) delete v[key]
      }
      /^#/ { next }
      /^[ \t]*$/ { stanza(); next }
      /^[ \t]/ { v[name] = v[name] " " $0 }  # a field continued
      /^[^ \t]/ {
        n = index($0, ":")
        name = tolower(substr($0, 1, n - 1))
        v[name] = substr($0, n + 1)
      }
      {
        gsub(/[ \t]+/, " ", v[name]); sub(/^ /, "", v[name]); sub(/ $/, "", v[name])
        if (name == "enabled") v[name] = tolower(v[name])
      }
      END { if (!found) stanza() }' "$f")
    [ -n "$line" ] && { echo "$line"; return 0; }
  done
  return 1
}

packages=(cmake g++ make libgtest-dev strace valgrind util-linux diffutils
          findutils exfatprogs exfat-fuse clang libclang-rt-14-dev clang-format python3 rsync
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 wine64
          locales git dpkg-dev lintian zip unzip man-db file
          crossbuild-essential-arm64 libc6:arm64 qemu-user)
need=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  # wine32 is the i386 build of Wine, which runs 32-bit programs; the
  # arm64 C library gives the arm64 package its dependency.
  for arch in i386 arm64; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      dpkg --add-architecture "$arch"
    fi
  done
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${need[@]}"
fi

# Wine takes code page 932 from a Japanese locale, and names files in its
# UTF-8 only where the system has that locale.
if ! locale -a | grep -qix 'ja_JP.utf8'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# Wine runs 32-bit Windows programs through its 32-bit Linux loader. Where
# the kernel refuses 32-bit programs ("Exec format error", as on some virtual
# machines), the kernel is told to run them through QEMU's user-mode emulator
# instead. Bookworm's QEMU 7.2 takes about a minute to start Wine (its
# address-space search is slow for Wine's reservations); the backported
# QEMU 10 takes a second.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "this kernel runs no 32-bit programs: Wine's loader goes through qemu-i386"
  if ! qemu-i386 --version 2>/dev/null | grep -Eq 'version ([89]|[1-9][0-9])\.'; then
    line=$(backports_line) ||
      { echo "no apt source names bookworm's main archive: add bookworm-backports by hand" >&2; exit 1; }
    echo "$line" >/etc/apt/sources.list.d/orvel-backports.list
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
