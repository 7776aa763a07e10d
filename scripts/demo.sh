#!/usr/bin/env bash
# The run command: installs what is missing (Debian 12, as root), builds the Windows programs,
# starts tolm-capture-helper.exe --console under Wine on a virtual 1920x1080 screen with a demo
# window, fetches one frame and the status with tolm-capture-client.exe, saves the frame as
# capture-demo.bmp in the current directory, prints the check report of the helper it started, and
# stops everything it started.
set -euo pipefail
out_dir=$(pwd)
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target tolm-capture-helper tolm-capture-client tolm-test-pattern >/dev/null
bin=$(pwd)/build/windows/bin

prefix=$(mktemp -d /tmp/tolm-demo.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$prefix"
}
trap cleanup EXIT

# -displayfd picks a free display number and writes it once the server is ready.
Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp 5>"$prefix/.display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$prefix/.display" ] && break; sleep 0.1; done
[ -s "$prefix/.display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$prefix/.display")"
wineboot -i >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 || true  # one server for the whole run

echo "starting the demo window and tolm-capture-helper.exe --console"
wine "$bin/tolm-test-pattern.exe" >/dev/null 2>&1 &
wine "$bin/tolm-capture-helper.exe" --console >/dev/null 2>&1 &

# The helper is ready once it answers and has published a frame of the painted window.
client() { wine "$bin/tolm-capture-client.exe" "$@"; }
status=
for _ in $(seq 60); do
  if status=$(client status 2>/dev/null) && [[ $status == *'"helperFrames":true'* ]]; then break; fi
  status=
  sleep 0.5
done
[ -n "$status" ] || { echo "the helper did not start serving frames" >&2; exit 1; }
echo "status: $status"
client frame --out "$(winepath -w "$out_dir/capture-demo.bmp")"
echo "check:"
client check || true  # the report says what is wrong, if anything
