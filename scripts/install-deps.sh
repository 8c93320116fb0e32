#!/usr/bin/env bash
# Installs the Debian 12 packages Pellox needs to build, test and run.
# Does nothing when they are all present; uses apt-get as root, sudo otherwise.
#   scripts/install-deps.sh          what the build, the tests and the demo need
#   scripts/install-deps.sh bench    also what the benchmarks compare with
set -euo pipefail

packages=(
  g++ cmake ninja-build
  qt6-base-dev qt6-multimedia-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon fonts-liberation2 fonts-noto-color-emoji
  qt6-translations-l10n
  # lrelease (the build compiles the English translation) and lupdate.
  qt6-l10n-tools
  # A notification daemon that a session bus could start: the notification tests
  # must not (their private bus has no service directories).
  dunst
  clang libclang-rt-14-dev llvm-14
  xvfb xauth xdotool
  dpkg-dev file
  libssl-dev
  # The start-up reads the font configuration itself while the display connects.
  libfontconfig-dev
)
if [ "${1:-}" = bench ]; then
  # The table holds Pellox against another desktop messenger started the same way;
  # the probe that times them looks at the screen through libxcb.
  packages+=(python3 pidgin libxcb1-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
else
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
