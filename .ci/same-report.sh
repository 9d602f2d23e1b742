#!/usr/bin/env bash
# A launcher for the test suites (ORVEL_LAUNCHER) that holds a program built
# for another CPU to this machine's build of it:
#   same-report.sh NATIVE_BIN EMULATOR BIN ARGUMENTS...
# runs NATIVE_BIN and, under EMULATOR, BIN on the same ARGUMENTS, from the
# same directory, and passes BIN's output, progress and exit status on if
# they are the same bytes as NATIVE_BIN's; if not, it says so and exits 125.
set -uo pipefail
native=$1 emulator=$2 bin=$3
shift 3
runs=$(mktemp -d "${TMPDIR:-/tmp}/orvel-same.XXXXXX") || exit 125
trap 'rm -rf "$runs"' EXIT
"$native" "$@" >"$runs/out.native" 2>"$runs/err.native"
status_native=$?
"$emulator" "$bin" "$@" >"$runs/out" 2>"$runs/err"
status=$?
if [ "$status" != "$status_native" ] || ! cmp -s "$runs/out" "$runs/out.native" ||
   ! cmp -s "$runs/err" "$runs/err.native"; then
  echo "same-report.sh: $bin and $native differ on: $*" >&2
  diff "$runs/out.native" "$runs/out" >&2
  echo "exit status $status_native, $status" >&2
  exit 125
fi
cat "$runs/out"
cat "$runs/err" >&2
exit "$status"
