#!/usr/bin/env bash
# run-in-wine.sh [--no-display] [--screen WxHxD] PROGRAM.exe [ARGS...]
# Runs one Windows program under Wine in a prefix of its own, on a virtual X screen of its own
# (1920x1080x24 unless --screen says otherwise, none with --no-display), and removes both after.
# The program's exit status is this script's. TOLM_KEEP_PREFIX=1 keeps the prefix for a look;
# TOLM_WINEDEBUG sets Wine's debug channels (none by default).
set -uo pipefail
display=1
screen=1920x1080x24
while [ $# -gt 0 ]; do
  case "$1" in
    --no-display) display=0; shift ;;
    --screen) screen=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--no-display] [--screen WxHxD] PROGRAM.exe [ARGS...]" >&2; exit 2; }

prefix=$(mktemp -d /tmp/tolm-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=${TOLM_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ "${TOLM_KEEP_PREFIX:-0}" = 1 ] && echo "prefix kept: $prefix" >&2 || rm -rf "$prefix"
}
trap cleanup EXIT

unset DISPLAY
if [ "$display" = 1 ]; then
  # -displayfd picks a free display number and writes it once the server is ready.
  Xvfb -displayfd 5 -screen 0 "$screen" -nolisten tcp 5>"$prefix/.display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 200); do
    number=$(cat "$prefix/.display" 2>/dev/null)
    [ -n "$number" ] && break
    sleep 0.1
  done
  [ -n "$number" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$number"
fi

# A first wineboot leaves two services.exe serving the service manager's pipe; restarting the
# server and booting again leaves one, kept by a persistent server for the whole run. The first
# boot (about 7 s) is made once per Wine version and user, and each run starts from a copy of it.
template="${TMPDIR:-/tmp}/tolm-wine-template-$(id -u)-$(wine --version 2>/dev/null | tr -c 'a-zA-Z0-9.' _)"
if [ ! -d "$template" ]; then
  (
    flock 9
    if [ ! -d "$template" ]; then
      making=$(mktemp -d "$template.making.XXXXXX")
      WINEPREFIX=$making wineboot -i >/dev/null 2>&1
      WINEPREFIX=$making wineserver -k >/dev/null 2>&1
      mv "$making" "$template"
    fi
  ) 9>"$template.lock"
fi
cp -a "$template/." "$prefix/"
wineserver -p >/dev/null 2>&1
wineboot >/dev/null 2>&1
wine "$@"
