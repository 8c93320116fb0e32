#!/usr/bin/env bash
# Builds Pellox with optimisation, runs every benchmark and prints one table: each
# figure next to the baseline measured in the same run, with its budget.
#   scripts/bench.sh                  build into build/bench, run, print the table
#   scripts/bench.sh --idle-s N       idle period of the whole-application figure (60)
#   scripts/bench.sh --runs N         start-ups of each application (3)
# Exits with 1 when a figure is over its budget.
set -euo pipefail
cd "$(dirname "$0")/.."
idle_s=60
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --idle-s) idle_s="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

# The installer writes to standard error: standard output is the table alone.
scripts/install-deps.sh bench >&2

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPELLOX_BUILD_TESTS=OFF -DPELLOX_BUILD_BENCH=ON >/dev/null
# Build messages go to standard error: standard output is the table alone.
cmake --build "$build" -j "$(nproc)" >&2

if [ -z "${XDG_RUNTIME_DIR:-}" ] || [ ! -d "${XDG_RUNTIME_DIR}" ]; then
  XDG_RUNTIME_DIR="$(mktemp -d)"
  chmod 700 "$XDG_RUNTIME_DIR"
  export XDG_RUNTIME_DIR
fi
results="$(mktemp -d)"
trap 'rm -rf "$results"' EXIT

# The benchmark programs one after the other, so that they do not disturb each
# other; the paint benchmark draws offscreen. Three repetitions each: the table
# takes the median.
jsons=()
for program in "$build"/bench/*/*_bench; do
  [ -x "$program" ] || continue
  name="$(basename "$program")"
  echo "running $name" >&2
  QT_QPA_PLATFORM=offscreen "$program" --benchmark_format=json --benchmark_repetitions=3 \
    >"$results/$name.json"
  jsons+=("$results/$name.json")
done

echo "running the whole application (about $((idle_s + runs * 20)) s)" >&2
dbus-run-session -- bench/app/run.sh --build-dir "$build" --runs "$runs" --idle-s "$idle_s" \
  >"$results/app.jsonl" 2>"$results/app.log" || { cat "$results/app.log" >&2; exit 1; }

cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
memory="$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
machine="$(nproc) × $cpu, $memory RAM, $(uname -sr), $(date -u +%Y-%m-%d)"
python3 bench/table.py --machine "$machine" --app "$results/app.jsonl" "${jsons[@]}"
