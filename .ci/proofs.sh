#!/usr/bin/env bash
# CI: the proofs that need tools beyond the build's. On a fresh Debian 12
# machine it installs them (strace, valgrind, setpriv, cmp, find, clang with
# its libFuzzer runtime), runs the tests that use them with skipping turned
# into failure (FUSE trees too: run it as root where /dev/fuse exists), and
# fuzzes the path resolution for a bounded time.
#   ORVEL_FUZZ_SECONDS   how long the fuzzer runs (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in cmake ninja-build g++ make libgtest-dev strace valgrind util-linux \
           diffutils findutils clang-14 libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

echo "== proofs with every tool present (read-only trace, permissions, valgrind, differential, FUSE trees)"
cmake --preset default >/dev/null
cmake --build build -j2
ORVEL_REQUIRE_TOOLS=1 build/tests/orvel-proofs-tests

echo "== fuzzing the path resolution for ${ORVEL_FUZZ_SECONDS:-60} s"
clangxx=$(command -v clang++-14 || command -v clang++)
mkdir -p build-fuzz/corpus
"$clangxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -D_FILE_OFFSET_BITS=64 -DORVEL_FUZZ_TARGET \
  -Isrc -Itests tests/fuzz/fullpath_check.cpp src/platform/posix/paths.cpp \
  src/platform/posix/memory.cpp \
  -o build-fuzz/fullpath_fuzz
# New inputs go to build-fuzz/corpus; the seeds in the repository are read.
# The progress lines are left out of the log; a crash, its input and the
# final statistics stay in it.
build-fuzz/fullpath_fuzz -max_total_time="${ORVEL_FUZZ_SECONDS:-60}" \
  -max_len=2100 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
  build-fuzz/corpus tests/fuzz/corpus/fullpath 2>&1 |
  grep -Ev '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)'
