#!/usr/bin/env bash
# Builds Pellox and the local OSCAR server, starts the server with its demo
# accounts and starts Pellox on your display, signed on as 100001 (Алиса). The
# contact Эхо (100003) answers every message; Борис (100002, password "boris") is
# there for a second client. Closing Pellox stops the server.
#
#   scripts/run-demo.sh                    build with the release preset, then run
#   scripts/run-demo.sh --build-dir DIR    build into DIR instead (release settings)
#
# The first run writes a demo profile into the data directory beside the built
# executable (<build>/ui/History/settings.txt): the MD5 login over TLS to the
# server's TLS port, with the server's certificate pinned, so that Pellox signs on
# without asking whether to trust it. A settings file that exists is never touched.
# The server keeps its self-signed certificate in <build>/tools/demo-data, so the
# pin holds from one run to the next. It listens on the port that profile names
# (TLS 5193 for the demo profile, plain login on 5190 beside it); when a port is
# taken it takes free ones and says so.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="${2:?--build-dir needs a directory}"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-demo: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run-demo: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Pellox is a desktop application: run this from a graphical session, or over" >&2
  echo "ssh with X forwarding (ssh -X)." >&2
  exit 1
fi

scripts/install-deps.sh

if [ -z "$build_dir" ]; then
  build_dir=build/release
  cmake --preset release >/dev/null
else
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLOX_BUILD_TESTS=OFF -DPELLOX_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build_dir" --target pellox pellox-server -j "$(nproc)"

pellox="$build_dir/ui/pellox"
server="$build_dir/tools/pellox-server"
data_dir="$build_dir/ui/History"
settings="$data_dir/settings.txt"

# A key of the active profile in a settings file ("server", "tls", "tlspin"), if any.
profile_key() {
  awk -v key="$2" '
    { sub(/\r$/, "") }
    /^\[.*\]$/ { section = substr($0, 2, length($0) - 2); next }
    section == "settings" && /^profile[ \t]*=/ { sub(/^[^=]*=[ \t]*/, ""); active = $0; next }
    {
      name = $0; sub(/[ \t]*=.*$/, "", name)
      if (name == key && index($0, "=") > 0) { value = $0; sub(/^[^=]*=[ \t]*/, "", value); values[section] = value }
    }
    END { if (active != "" && (active in values)) print values[active] }
  ' "$1"
}

auth_port=5190
tls_port=5193
stored_tls=""
stored_pin=""
if [ -f "$settings" ]; then
  stored="$(profile_key "$settings" server)"
  stored_tls="$(profile_key "$settings" tls)"
  stored_pin="$(profile_key "$settings" tlspin)"
  case "$stored" in
    127.0.0.1:[0-9]*|localhost:[0-9]*)
      if [ "$stored_tls" = 1 ]; then tls_port="${stored##*:}"; else auth_port="${stored##*:}"; fi ;;
    "") echo "run-demo: the active profile in $settings has no server; Pellox will use the ICQ login server." ;;
    *) echo "run-demo: the active profile in $settings uses the server $stored." ;;
  esac
fi

runtime="$(mktemp -d)"
server_pid=""
pellox_pid=""
stop() {
  if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  stop "$pellox_pid"
  stop "$server_pid"
  rm -rf "$runtime"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the server on an authorization port and a TLS port (0: any free one) and
# sets `port` and `tls` to the ports it listens on and `pin` to its certificate's
# fingerprint; false when it could not start.
port=""
tls=""
pin=""
start_server() {
  local log="$runtime/server.out"
  : >"$log"
  mkdir -p "$build_dir/tools/demo-data"
  chmod 700 "$build_dir/tools/demo-data"  # the server writes only in a private folder
  "$server" --port-auth "$1" --port-bos 0 --tls-port "$2" --data-dir "$build_dir/tools/demo-data" \
    >"$log" 2>"$runtime/server.err" &
  server_pid=$!
  for _ in $(seq 100); do
    port="$(sed -n 's/^pellox-server listening auth [0-9.]*:\([0-9]*\) bos .*/\1/p' "$log")"
    tls="$(sed -n 's/^pellox-server listening .* tls [0-9.]*:\([0-9]*\)$/\1/p' "$log")"
    pin="$(sed -n 's/^pellox-server tls fingerprint \([0-9A-F:]*\)$/\1/p' "$log")"
    [ -n "$port" ] && [ -n "$tls" ] && [ -n "$pin" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop "$server_pid"
  server_pid=""
  return 1
}

if ! start_server "$auth_port" "$tls_port"; then
  echo "run-demo: port $auth_port or $tls_port is taken ($(head -n 1 "$runtime/server.err")); using free ones." >&2
  if ! start_server 0 0; then
    echo "run-demo: the server did not start:" >&2
    cat "$runtime/server.err" >&2
    exit 1
  fi
  if [ -f "$settings" ]; then
    if [ "$stored_tls" = 1 ]; then now="$tls"; else now="$port"; fi
    echo "run-demo: your profile still names another port; change the \"Сервер\" row in" >&2
    echo "          Меню > Настройки to 127.0.0.1:$now to reach this server." >&2
  fi
fi
echo "Local OSCAR server: 127.0.0.1:$tls over TLS (SHA-256 $pin), 127.0.0.1:$port plain"
echo "(demo accounts 100001/alice, 100002/boris, echo 100003)"

if [ ! -f "$settings" ]; then
  mkdir -p "$data_dir"
  chmod 700 "$data_dir"
  (
    umask 077
    printf '%s\r\n' '[settings]' 'profile=100001' 'onlyonline=0' 'columns=2' 'autoconnect=1' \
      'sendclose=1' 'showhistory=1' '[100001]' 'passw=alice' "server=127.0.0.1:$tls" 'login=md5' \
      'tls=1' "tlspin=127.0.0.1:$tls $pin" >"$settings"
  )
  echo "Demo profile written to $settings"
elif [ "$stored_tls" = 1 ] && [ -n "$stored_pin" ] && [ "${stored_pin##* }" != "$pin" ]; then
  echo "run-demo: your profile pins another certificate (tlspin) than the server's;" >&2
  echo "          its fingerprint is $pin" >&2
fi

echo "Starting Pellox ($pellox); close its window to stop the demo."
# In the background, so that an interrupted script stops Pellox with the server.
"$pellox" &
pellox_pid=$!
status=0
wait "$pellox_pid" || status=$?
pellox_pid=""
exit "$status"
