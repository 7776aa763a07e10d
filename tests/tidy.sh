#!/usr/bin/env bash
# tests/tidy.sh BUILD_DIR: clang-tidy, with the checks of .clang-tidy, over every source file of
# src/ as BUILD_DIR's compile commands build it (the windows-clang preset's). Prints each finding;
# fails if there is one.
set -u
cd "$(dirname "$0")/.."
build=${1:?usage: tests/tidy.sh BUILD_DIR}
findings=$(find src -name '*.cpp' | sort |
           xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null |
           grep -E '(warning|error): ')
[ -z "$findings" ] && exit 0
echo "$findings"
exit 1
