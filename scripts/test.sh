#!/usr/bin/env bash
# The test command: installs what is missing (Debian 12, as root), builds the host and Windows
# configurations and runs every test: native unit tests with ASan/UBSan, the fuzz targets for a
# bounded number of inputs, and the Windows tests under Wine on virtual screens.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in host windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
status=0
ctest --preset host -j2 || status=1
ctest --preset windows -j2 || status=1
exit $status
