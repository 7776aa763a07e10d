#!/usr/bin/env bash
# bench/run.sh NAME [ARGS...]: builds the Windows preset and runs benchmark NAME under Wine on a
# 1920x1080 virtual screen.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target "$1" >/dev/null
name=$1
shift
exec bash tests/wine/run-in-wine.sh "build/windows/bin/$name.exe" "$@"
