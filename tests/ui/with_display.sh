#!/bin/sh
# Runs a command on a private X server and a private session bus, for the tests
# that need a real windowing platform: with_display.sh <command> [arguments...]
set -eu
dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$dir/display" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in $(seq 100); do
  [ -s "$dir/display" ] && break
  sleep 0.1
done
[ -s "$dir/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(cat "$dir/display")" dbus-run-session -- "$@"
