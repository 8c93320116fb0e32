#!/usr/bin/env bash
# Builds the Debian package of Pellox and checks it.
#
#   scripts/package.sh             build (release preset, build/release), make
#                                  build/release/pellox_<version>_amd64.deb and check it
#   scripts/package.sh --install   the same, then install the package (apt-get, through
#                                  sudo when not root)
#
# The check: the package holds the two programs, the sound and TLS modules, the sounds, the
# menu entry and the icons where they belong and depends on the Qt libraries; Pellox started from the
# unpacked tree with a fresh HOME keeps its data in that home's data folder
# (~/.local/share/pellox/History, mode 700), writes nothing beside its executable,
# and a second Pellox on the same folder says so and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

install=0
case "${1:-}" in
  "") ;;
  --install) install=1 ;;
  -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "package: unknown option $1 (try --help)" >&2; exit 2 ;;
esac

scripts/install-deps.sh

build=build/release
cmake --preset release >/dev/null
cmake --build --preset release --target pellox pellox-server
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$PWD/$build/pellox_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB >/dev/null)
[ -f "$deb" ] || { echo "package: cpack made no $deb" >&2; exit 1; }

fail() {
  echo "package: $*" >&2
  exit 1
}

# ---- Contents -----------------------------------------------------------------------
contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }')"
for f in ./usr/bin/pellox ./usr/bin/pellox-server \
         ./usr/share/pellox/sounds/alarm2.wav ./usr/share/pellox/sounds/default.wav \
         ./usr/share/applications/pellox.desktop \
         ./usr/share/icons/hicolor/32x32/apps/pellox.png \
         ./usr/share/icons/hicolor/64x64/apps/pellox.png; do
  grep -qxF "$f" <<<"$contents" || fail "$f is missing from $deb"
done
grep -qE '^\./usr/lib/(.+/)?pellox/libpellox_sound\.so$' <<<"$contents" ||
  fail "the sound module is missing from $deb"
grep -qE '^\./usr/lib/(.+/)?pellox/libpellox_tls\.so$' <<<"$contents" ||
  fail "the TLS module is missing from $deb"
stray="$(grep -v '^\./$' <<<"$contents" | grep -v '^\./usr/' || true)"
[ -z "$stray" ] || fail "files outside /usr in $deb: $stray"
depends="$(dpkg-deb -f "$deb" Depends)"
grep -q 'libqt6widgets6' <<<"$depends" || fail "no dependency on the Qt libraries: $depends"

work="$(mktemp -d)"
xvfb_pid=""
first_pid=""
second_pid=""
cleanup() {
  for pid in "$second_pid" "$first_pid" "$xvfb_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

dpkg-deb -x "$deb" "$work/root"
grep -qxF 'Exec=/usr/bin/pellox' "$work/root/usr/share/applications/pellox.desktop" ||
  fail "the menu entry does not start /usr/bin/pellox"

# ---- Running from the unpacked tree ----------------------------------------------------
mkdir -p "$work/home"
touch "$work/started"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
run_pellox() {
  env -i PATH="$PATH" HOME="$work/home" DISPLAY=":$(cat "$work/display")" \
    QT_QPA_PLATFORM=xcb "$work/root/usr/bin/pellox" "$@"
}
data="$work/home/.local/share/pellox/History"

run_pellox >"$work/first.out" 2>&1 &
first_pid=$!
for _ in $(seq 100); do [ -f "$data/pellox.lock" ] && break; sleep 0.1; done
[ -f "$data/pellox.lock" ] || { cat "$work/first.out" >&2; fail "Pellox made no data folder in $data"; }
kill -0 "$first_pid" 2>/dev/null || { cat "$work/first.out" >&2; fail "Pellox stopped"; }
[ "$(stat -c %a "$data")" = 700 ] || fail "$data has mode $(stat -c %a "$data"), not 700"

run_pellox >"$work/second.out" 2>&1 &
second_pid=$!
for _ in $(seq 100); do grep -q 'уже запущен' "$work/second.out" && break; sleep 0.1; done
grep -q 'уже запущен' "$work/second.out" ||
  { cat "$work/second.out" >&2; fail "a second Pellox on the same folder did not say so"; }

written="$(find "$work/root" -newer "$work/started" -print)"
[ -z "$written" ] || fail "Pellox wrote beside its executable: $written"
echo "package: $deb checked"

if [ "$install" = 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
  "${sudo[@]}" apt-get install -y "$deb"
fi
