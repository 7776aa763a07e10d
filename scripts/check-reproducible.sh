#!/usr/bin/env bash
# scripts/check-reproducible.sh [BUILD_DIR]: builds the release files of this checkout's commit once
# more, from a fresh clone at another path, and compares them byte for byte with those in BUILD_DIR
# (build/windows unless given, its package built): both executables, the package and SHA256SUMS.
# Prints the first difference of each file that differs and fails if any does.
set -euo pipefail
cd "$(dirname "$0")/.."
first=$(realpath "${1:-build/windows}")
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  echo "check-reproducible: the working tree has uncommitted changes; the clone has none" >&2
elsewhere=$(mktemp -d /tmp/tolm-reproduce.XXXXXX)
trap 'rm -rf "$elsewhere"' EXIT
git clone -q "$(pwd)" "$elsewhere/another-source-directory"
cd "$elsewhere/another-source-directory"
cmake --preset windows >/dev/null
cmake --build --preset windows --target msi >/dev/null
second=$(pwd)/build/windows
status=0
for file in tolm-capture-helper.exe tolm-capture-client.exe "$(cd "$first" && ls tolm-capture-helper-*.msi)" SHA256SUMS; do
  if cmp "$first/$file" "$second/$file"; then
    echo "same: $file"
  else
    status=1
  fi
done
exit $status
