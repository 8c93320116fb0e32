#!/usr/bin/env bash
# The whole application next to another desktop messenger, started the same way
# on the same private X display (Xvfb, black root, no window manager):
#   - Pellox signed on to the local server as the demo account 100001;
#   - pidgin with no accounts, a fresh configuration directory;
#   - the floor: bench/app/empty_window, one empty Qt Widgets window of Pellox's
#     size, so that what any Qt program costs shows apart from Pellox's own.
# Each program is started --runs times, alternating; every run prints one JSON
# line (app_probe's figures plus "app" and "run"). The last Pellox run also
# measures --idle-s seconds of idling with its window shown, then as many with it
# unmapped (as a window manager does with a minimised window). Every Pellox run
# signs on to a server started for it: the server limits how often one account
# may sign on.
#
#   bench/app/run.sh --build-dir DIR [--runs N] [--idle-s N] [--other pidgin|none]
set -euo pipefail

build_dir=""
runs=9
idle_s=60
other=pidgin
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --idle-s) idle_s="$2"; shift 2 ;;
    --other) other="$2"; shift 2 ;;
    *) echo "bench/app/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$build_dir" ] || { echo "bench/app/run.sh: --build-dir is required" >&2; exit 2; }
build_dir="$(cd "$build_dir" && pwd)"
probe="$build_dir/bench/app/app_probe"
server="$build_dir/tools/pellox-server"
pellox="$build_dir/ui/pellox"
floor="$build_dir/bench/app/empty_window"
for f in "$probe" "$server" "$pellox" "$floor"; do
  [ -x "$f" ] || { echo "bench/app/run.sh: $f is missing" >&2; exit 1; }
done
if [ "$other" != none ] && ! command -v "$other" >/dev/null; then
  echo "bench/app/run.sh: $other is not installed" >&2
  exit 1
fi

work="$(mktemp -d)"
xvfb_pid=""
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: Xvfb picks a free number and writes it to the pipe.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -br -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 20 display_number <&3 || { echo "bench/app/run.sh: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
exec 3<&-
export DISPLAY=":$display_number"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

# A fresh local server; its authorization port in $port.
start_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  : >"$work/server.out"
  "$server" --port-auth 0 --port-bos 0 --proxy-port 0 --verbose >"$work/server.out" 2>"$work/server.log" &
  server_pid=$!
  port=""
  for _ in $(seq 100); do
    port="$(sed -n 's/^pellox-server listening auth [0-9.]*:\([0-9]*\) bos .*/\1/p' "$work/server.out")"
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "bench/app/run.sh: the server did not start" >&2; exit 1; }
}

# Pellox keeps its data beside its executable: each run gets a copy in a fresh
# directory with the demo profile (autoconnect on).
run_pellox() {
  start_server
  local dir="$work/pellox-$1"
  mkdir -p "$dir/History"
  chmod 700 "$dir/History"
  cp "$pellox" "$dir/pellox"
  printf '%s\r\n' '[settings]' 'profile=100001' 'onlyonline=0' 'columns=2' 'autoconnect=1' \
    'sendclose=1' 'showhistory=1' '[100001]' 'passw=alice' "server=127.0.0.1:$port" \
    >"$dir/History/settings.txt"
  local figures
  figures="$("$probe" --ready-file "$work/server.log" --ready-text " online" --settle-ms 2000 \
    --idle-s "$2" --hidden-idle-s "$2" -- "$dir/pellox")"
  echo "{\"app\": \"pellox\", \"run\": $1, ${figures#\{}"
}

run_other() {
  local home="$work/$other-home-$1"
  mkdir -p "$home"
  local figures
  figures="$(HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_CACHE_HOME="$home/.cache" \
    "$probe" --settle-ms 4000 --idle-s 0 -- "$other" --config="$home/.purple")"
  echo "{\"app\": \"$other\", \"run\": $1, ${figures#\{}"
}

# Started as Pellox is, from a copy in a fresh directory, and measured once it
# has settled as long as Pellox does after signing on.
run_floor() {
  local dir="$work/floor-$1"
  mkdir -p "$dir"
  cp "$floor" "$dir/empty_window"
  local figures
  figures="$("$probe" --settle-ms 2000 --idle-s 0 -- "$dir/empty_window")"
  echo "{\"app\": \"floor\", \"run\": $1, ${figures#\{}"
}

for run in $(seq "$runs"); do
  if [ "$run" -eq "$runs" ]; then pellox_idle="$idle_s"; else pellox_idle=0; fi
  run_pellox "$run" "$pellox_idle"
  run_floor "$run"
  if [ "$other" != none ]; then run_other "$run"; fi
done
