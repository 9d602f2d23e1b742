#!/usr/bin/env bash
# Makes the release's packages from the programs that the release build made,
# as the target dist calls it:
#   dist.sh VERSION CPU SOURCE STAGE DIST LINUX_BIN STATIC_BIN WIN32_EXE MANUAL \
#           ARM64_BIN ARM64_STATIC_BIN
# DIST (emptied first) gets the Debian packages and the Linux archives of
# this machine (CPU) and of arm64, the Windows archive and SHA256SUMS over
# them; STAGE holds their trees.
#
# The same commit gives the same bytes wherever and whenever it is built:
# every member has a mode set here and the time SOURCE_DATE_EPOCH (the last
# commit's, unless set), archives list their members sorted and owned by
# root, and gzip stores no name or time.
set -euo pipefail
version=$1 cpu=$2 src=$3 stage=$4 dist=$5
bin=$6 static=$7 exe=$8 manual=$9
arm64_bin=${10} arm64_static=${11}
here=$(dirname "$0")

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)}
export LC_ALL=C TZ=UTC
umask 022
rm -rf "$stage" "$dist"
mkdir -p "$stage" "$dist"

gz() { gzip -9n <"$1" >"$2"; }
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }

# ---- Debian packages -----------------------------------------------------------
deb_version=$version-1
maintainer=$(sed -n 's/^Maintainer: //p' "$here/debian/control")

# The package of BIN, a program for Debian architecture ARCH, in DIST.
deb() {  # ARCH BIN
  local deb_arch=$1 bin=$2
  local pkg=$stage/deb-$1/debian/orvel depends size
  local doc=$pkg/usr/share/doc/orvel
  install -D -m 755 "$bin" "$pkg/usr/bin/orvel"
  install -d "$pkg/usr/share/man/man1" "$doc" "$pkg/DEBIAN"
  gz "$manual" "$pkg/usr/share/man/man1/orvel.1.gz"
  gz "$src/CHANGELOG.md" "$doc/changelog.gz"
  sed -e "s/@DEB_VERSION@/$deb_version/" -e "s/@PROJECT_VERSION@/$version/" \
      -e "s/@MAINTAINER@/$maintainer/" \
      -e "s/@DATE@/$(date -R -d "@$SOURCE_DATE_EPOCH")/" \
      "$here/debian/changelog" | gzip -9n >"$doc/changelog.Debian.gz"
  # The licence's text as the copyright format wants it: indented, blank
  # lines as " .".
  { cat "$here/debian/copyright"
    sed -n '/^Permission/,$p' "$src/LICENSE" | sed -e 's/^$/./' -e 's/^/ /'
  } >"$doc/copyright"
  chmod 644 "$pkg/usr/share/man/man1/orvel.1.gz" "$doc"/*
  # Depends from the libraries the program links, as dpkg-shlibdeps finds
  # them (it reads debian/control of the directory it runs in): for another
  # architecture, in its own C library (libc6:arm64, installed beside this
  # machine's), whose symbols give the versions the program needs.
  printf 'Source: orvel\n\nPackage: orvel\nArchitecture: any\n' \
    >"$stage/deb-$deb_arch/debian/control"
  depends=$(cd "$stage/deb-$deb_arch" &&
            dpkg-shlibdeps -O -edebian/orvel/usr/bin/orvel |
            sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || { echo "dist.sh: dpkg-shlibdeps found no Depends" >&2; exit 1; }
  size=$(du -s --apparent-size --block-size=1024 "$pkg/usr" | cut -f1)
  sed -e "s/@DEB_VERSION@/$deb_version/" -e "s/@DEB_ARCH@/$deb_arch/" \
      -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
      "$here/debian/control" >"$pkg/DEBIAN/control"
  (cd "$pkg" && find usr -type f | sort | xargs md5sum) >"$pkg/DEBIAN/md5sums"
  chmod 644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
  dpkg-deb --root-owner-group -Zxz --build "$pkg" \
    "$dist/orvel_${deb_version}_${deb_arch}.deb" >/dev/null
}
deb "$(dpkg --print-architecture)" "$bin"
deb arm64 "$arm64_bin"

# ---- Linux archives: the static program, its manual, README and licence ------
linux_archive() {  # CPU STATIC_BIN
  local name=orvel-$version-$1-linux
  install -D -m 755 "$2" "$stage/$name/orvel"
  install -m 644 "$manual" "$src/README.md" "$src/LICENSE" "$stage/$name/"
  tar -C "$stage" --sort=name --format=gnu --mtime="@$SOURCE_DATE_EPOCH" \
      --owner=0 --group=0 --numeric-owner -cf - "$name" |
    gzip -9n >"$dist/$name.tar.gz"
}
linux_archive "$cpu" "$static"
linux_archive aarch64 "$arm64_static"

# ---- Windows archive: the program, its README and licence, with CRLF --------
name=orvel-$version-win32
install -D -m 755 "$exe" "$stage/$name/orvel.exe"
# README.txt is the README, with the version in its title and without the
# sections for developers (tests, the documents of the source tree).
awk -v version="$version" '
  NR == 1 { print $0 " " version; next }
  /^## / { skip = ($0 == "## Test" || $0 == "## More") }
  !skip' "$src/README.md" >"$stage/README.txt"
crlf "$stage/README.txt" "$stage/$name/README.txt"
crlf "$src/LICENSE" "$stage/$name/LICENSE.txt"
chmod 644 "$stage/$name"/*.txt
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$name" "$stage/$name"/*
# -X: no owner or extra times, only the member's own (local, here UTC) time.
(cd "$stage" && find "$name" | sort | zip -X -9 -q "$dist/$name.zip" -@)

# ---- Checksums ----------------------------------------------------------------
(cd "$dist" && sha256sum -- *.deb *.tar.gz *.zip >SHA256SUMS)
ls -l "$dist"
