#!/usr/bin/env bash
# The test command: installs what is missing (Debian 12, as root), builds the host configuration
# and the Windows one with both compilers (MinGW-w64 GCC, and clang with lld), and runs every test:
# native unit tests with ASan/UBSan, the fuzz targets for a bounded number of inputs, the Windows
# tests under Wine on virtual screens for each compiler's build, and clang-tidy over src/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
presets=(host windows windows-clang)
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
status=0
for preset in "${presets[@]}"; do
  ctest --preset "$preset" -j2 || status=1
done
exit $status
