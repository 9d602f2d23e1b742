#!/usr/bin/env bash
# The release as its users get it, as root: made twice from fresh clones of
# this checkout's commit, in two directories a little apart in time, and the
# two dist/ trees compared with ORVEL itself; the Debian package checked
# with lintian, installed, run from PATH and removed without a trace; the
# static program run in an empty chroot; both Linux programs put through
# the end-to-end suite and the proofs; the arm64 programs, under
# qemu-aarch64, held to the x86-64 ones on the end-to-end suite, the
# differential test and the odd names, and their package checked as far as
# it can be without an arm64 machine; the Windows program run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-release.XXXXXX")
a=$work/a b=$work/b

fail() { echo "release check failed: $*" >&2; exit 1; }

build() {  # DIR: the release of this commit, made in a fresh clone at DIR
  git clone -q "$top" "$1"
  git -C "$1" checkout -q --detach "$(git -C "$top" rev-parse HEAD)"
  (cd "$1" && cmake --workflow --preset release) >"$1.log" 2>&1 ||
    { cat "$1.log"; fail "the release build in $1"; }
}

# Runs COMMAND LEFT RIGHT on the example trees, as the program names them
# (SEP its separator, EOL its line end), and checks its report: the banner
# of the default build (whose tests check it), the three results in any
# order (the system's listing order), the count.
expect_examples() {  # EOL LEFT RIGHT SEP COMMAND...
  local eol=$1 l=$2 r=$3 s=$4 out want status=0
  shift 4
  out=$("$@" "$l" "$r" 2>/dev/null) || status=$?
  want=$(printf "%s$eol\n" "${banner[@]}" \
    "$l${s}letters${s}ann.txt, $r${s}letters${s}ann.txt: Differences encountered." \
    "$r${s}letters${s}drafts${s}carl.txt: Error reading file." \
    "$l${s}accounts${s}2026${s}index.csv, $r${s}accounts${s}2026${s}index.csv: Files have different sizes." \
    "5 files compared.")
  if [ "$status" != 0 ] || [ "$(head -n3 <<<"$out")" != "$(head -n3 <<<"$want")" ] ||
     [ "$(tail -n1 <<<"$out")" != "$(tail -n1 <<<"$want")" ] ||
     [ "$(sort <<<"$out")" != "$(sort <<<"$want")" ]; then
    diff <(echo "$want") <(echo "$out") || true
    fail "$* on the examples: exit status $status"
  fi
}

# The end-to-end suite and the proofs, built by the default preset (a no-op
# after that step of .ci/run), run against a shipped Linux program BIN (the
# cases that stage faults run the test build, whatever BIN is).
suites() {  # BIN
  ORVEL_BIN=$1 build/tests/orvel-e2e-tests --gtest_brief=1
  ORVEL_BIN=$1 build/tests/orvel-proofs-tests --gtest_brief=1
}

echo "== the release, twice"
cmake --preset default >/dev/null
cmake --build --preset default --target orvel-e2e-tests orvel-proofs-tests >/dev/null
mapfile -t banner < <(build/orvel 2>/dev/null | head -n3)
[ ${#banner[@]} = 3 ] || fail "build/orvel printed no banner"
for line in "${banner[@]}"; do
  grep -qxF "$line" README.md || fail "the README's sample run lacks: $line"
done
build "$a"
sleep 2
(umask 027 && build "$b")
ver=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$a/build-release/CMakeCache.txt")
for d in "$a/dist" "$b/dist"; do
  ls -l --time-style=+ "$d"
  (cd "$d" && cat SHA256SUMS && sha256sum -c --quiet SHA256SUMS)
done
# Equal trees, each way round: the banner, no line for any pair, and every
# artifact counted.
n=$(find "$a/dist" -type f | wc -l)
[ "$n" = 6 ] || fail "dist/ holds $n files, not 6"
same() {  # DIST1 DIST2
  local out
  out=$("$a/build-release/orvel" "$1" "$2" 2>/dev/null)
  echo "$out"
  [ "$(sed 1,3d <<<"$out")" = "$n files compared." ] || fail "the two releases differ"
}
same "$a/dist" "$b/dist"
same "$b/dist" "$a/dist"

echo "== the Debian package"
arch=$(dpkg --print-architecture)
deb=$(echo "$a/dist/orvel_"*"_$arch.deb")
# No error, and every warning left is explained in docs/packaging.md.
lint() {  # DEB
  local out tag
  out=$(lintian "$1") || fail "lintian: $out"
  echo "$out"
  for tag in $(sed -n 's/^[EW]: [^ ]* \([^ ]*\).*/\1/p' <<<"$out"); do
    grep -q "\`$tag\`" docs/packaging.md || fail "lintian: $tag is not in docs/packaging.md"
  done
}
lint "$deb"
(cd "$a" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Dpkg::Use-Pty=0 "./dist/orvel_"*"_$arch.deb")
mapfile -t files < <(dpkg -L orvel)
[ "$(command -v orvel)" = /usr/bin/orvel ] || fail "orvel is not on PATH"
expect_examples "" "$a/examples/left" "$a/examples/right" / orvel
[ "$(man -w orvel)" = /usr/share/man/man1/orvel.1.gz ] || fail "man -w orvel"
suites /usr/bin/orvel
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o Dpkg::Use-Pty=0 orvel
for f in "${files[@]}"; do
  # What is left may only be a directory that other packages hold too.
  if [ "$f" != /. ] && [ -e "$f" ] && ! { [ -d "$f" ] && dpkg -S "$f" >/dev/null 2>&1; }; then
    fail "$f is left after the package was removed"
  fi
done

echo "== the static Linux program, alone in a chroot"
tar -C "$work" -xzf "$a/dist/orvel-$ver-x86_64-linux.tar.gz"
kind=$(file "$work/orvel-$ver-x86_64-linux/orvel")
echo "$kind"
grep -q 'statically linked' <<<"$kind" || fail "the Linux program is not static"
mkdir "$work/root"
cp "$work/orvel-$ver-x86_64-linux/orvel" "$work/root/"
cp -r "$a/examples/left" "$a/examples/right" "$work/root/"
chroot "$work/root" /orvel /left /right 2>/dev/null
expect_examples "" /left /right / chroot "$work/root" /orvel
suites "$work/orvel-$ver-x86_64-linux/orvel"

echo "== the arm64 programs, under qemu-aarch64"
# Each arm64 program goes through the end-to-end suite, the differential
# test and the odd names with a launcher that runs the x86-64 static program
# on the same arguments too: output, progress and status must be the same
# bytes. (The other proofs need strace, setpriv, the test build, cgroups or
# valgrind of this machine: they run on the x86-64 programs alone.)
x86=$work/orvel-$ver-x86_64-linux/orvel
arm() {  # BIN
  expect_examples "" "$a/examples/left" "$a/examples/right" / \
    bash .ci/same-report.sh "$x86" qemu-aarch64 "$1"
  ORVEL_LAUNCHER="bash $top/.ci/same-report.sh $x86 qemu-aarch64" ORVEL_BIN=$1 \
    build/tests/orvel-e2e-tests --gtest_brief=1
  ORVEL_LAUNCHER="bash $top/.ci/same-report.sh $x86 qemu-aarch64" ORVEL_BIN=$1 \
    build/tests/orvel-proofs-tests --gtest_brief=1 \
    --gtest_filter='Differential.*:Names.*'
}
tar -C "$work" -xzf "$a/dist/orvel-$ver-aarch64-linux.tar.gz"
[ "$(tar -tzf "$a/dist/orvel-$ver-aarch64-linux.tar.gz" | sed 's/aarch64/CPU/')" = \
  "$(tar -tzf "$a/dist/orvel-$ver-x86_64-linux.tar.gz" | sed 's/x86_64/CPU/')" ] ||
  fail "the two Linux archives hold different files"
kind=$(file "$work/orvel-$ver-aarch64-linux/orvel")
echo "$kind"
grep -q 'ARM aarch64.*statically linked' <<<"$kind" ||
  fail "the arm64 archive's program is no static arm64 program"
arm "$work/orvel-$ver-aarch64-linux/orvel"
# Its package: installing it takes an arm64 machine; here it is linted,
# unpacked and its program run (its C library, libc6:arm64, is installed
# beside this machine's).
deb=$(echo "$a/dist/orvel_"*"_arm64.deb")
lint "$deb"
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "the arm64 package's architecture"
grep -Eq '^libc6 \(>= [0-9.]+\)$' <<<"$(dpkg-deb -f "$deb" Depends)" ||
  fail "the arm64 package depends on: $(dpkg-deb -f "$deb" Depends)"
[ "$(dpkg-deb -c "$deb" | awk '{print $1, $6}')" = \
  "$(dpkg-deb -c "$a/dist/orvel_"*"_$arch.deb" | awk '{print $1, $6}')" ] ||
  fail "the arm64 package holds other files than the $arch one"
dpkg-deb -x "$deb" "$work/arm64-deb"
kind=$(file "$work/arm64-deb/usr/bin/orvel")
echo "$kind"
grep -q 'ARM aarch64.*dynamically linked' <<<"$kind" ||
  fail "the arm64 package's program is no arm64 program"
arm "$work/arm64-deb/usr/bin/orvel"

echo "== the Windows program, under Wine"
unzip -q "$a/dist/orvel-$ver-win32.zip" -d "$work"
exe=$work/orvel-$ver-win32/orvel.exe
cmake -DOBJDUMP=i686-w64-mingw32-objdump -DEXE="$exe" -P tests/win32/check-imports.cmake
cmake -DRC=i686-w64-mingw32-windres -DEXE="$exe" -DVERSION="$ver" \
  -P tests/win32/check-version.cmake
grep -q 'large address aware' <<<"$(i686-w64-mingw32-objdump -p "$exe")" ||
  fail "orvel.exe is not large-address-aware"
kind=$(file "$work/orvel-$ver-win32"/*.txt)
echo "$kind"
! grep -v 'with CRLF line terminators' <<<"$kind" || fail "Windows text without CRLF"
export WINEPREFIX=$work/wine WINEDEBUG=-all
sh tests/win32/wine-up.sh
win() { local p="Z:$1"; echo "${p//\//\\}"; }
expect_examples $'\r' "$(win "$a/examples/left")" "$(win "$a/examples/right")" '\' \
  wine "$exe"
sh tests/win32/wine-down.sh

rm -rf "$work"
echo "== the release checks passed"
