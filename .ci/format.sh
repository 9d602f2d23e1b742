#!/usr/bin/env bash
# CI: every C++ source stays as .clang-format lays it out. Needs clang-format
# 14 (Debian 12's), which the install step puts in place; each line that
# differs is named as FILE:LINE:COLUMN. Tables of test cases are laid out by
# hand, one case to a few lines, between "clang-format off" and "on".
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
clang-format --version
clang-format --style=file --dry-run -Werror "${files[@]}"
echo "format: ${#files[@]} files as .clang-format lays them out"
