#!/usr/bin/env bash
# The run command: installs what is missing (Debian 12, as root), builds the Windows programs,
# starts tolm-capture-helper.exe --console under Wine on a virtual 1920x1080 screen with a demo
# window, fetches one frame and the status with tolm-capture-client.exe, saves the frame as
# capture-demo.bmp in the current directory, and stops everything it started.
set -euo pipefail
out_dir=$(pwd)
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target tolm-capture-helper tolm-capture-client tolm-test-pattern >/dev/null
bin=$(pwd)/build/windows/bin

prefix=$(mktemp -d /tmp/tolm-demo.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$prefix"
}
trap cleanup EXIT

Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp 5>"$prefix/.display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$prefix/.display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$prefix/.display")"
wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1

echo "starting the demo window and tolm-capture-helper.exe --console"
wine "$bin/tolm-test-pattern.exe" >/dev/null 2>&1 &
wine "$bin/tolm-capture-helper.exe" --console >/dev/null 2>&1 &
sleep 3  # the demo window paints and the capture thread publishes its first frames

echo "status:"
wine "$bin/tolm-capture-client.exe" status
wine "$bin/tolm-capture-client.exe" frame --out 'C:\capture-demo.bmp'
cp "$prefix/drive_c/capture-demo.bmp" "$out_dir/capture-demo.bmp"
echo "frame saved as $out_dir/capture-demo.bmp"
