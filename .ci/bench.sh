#!/bin/sh
# Proves that the benchmark works: installs what a fresh Debian 12 machine
# lacks for it (nothing when all is there), builds, and runs the benchmark
# once at its tiny size. Its timings are not checked; a program that does
# not report exactly the planted differences fails the run.
#   .ci/bench.sh [DATA_DIR]    (default: a temporary directory, removed after)
set -eu

cd "$(dirname "$0")/.."

need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v c++ >/dev/null 2>&1 || need="$need g++"
command -v python3 >/dev/null 2>&1 || need="$need python3"
command -v rsync >/dev/null 2>&1 || need="$need rsync"
command -v diff >/dev/null 2>&1 || need="$need diffutils"
if [ -n "$need" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench.sh: missing packages:$need (install them as root)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

build=${BENCH_BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -B "$build" -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi

if [ $# -ge 1 ]; then
    data=$1
    clean=""
else
    data=$(mktemp -d "${TMPDIR:-/tmp}/orvel-bench.XXXXXX")
    clean="--clean"
fi

exec python3 bench/bench.py --data "$data" --size tiny --runs 3 \
    --build "$build" $clean
