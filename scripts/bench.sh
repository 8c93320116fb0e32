#!/usr/bin/env bash
# Builds Pellox with optimisation, runs every benchmark and prints one table: each
# figure next to the baseline measured in the same run, with its budget.
#   scripts/bench.sh                  build into build/bench, run, print the table
#   scripts/bench.sh --idle-s N       idle period of the whole-application figure (60)
#   scripts/bench.sh --runs N         start-ups of each application (9)
# The benchmarks' data directories go to /dev/shm where it can be written (or to
# $PELLOX_BENCH_TMPDIR): the figures are the client's own work, not the disk's.
# Exits with 1 when a figure is over its budget.
set -euo pipefail
cd "$(dirname "$0")/.."
idle_s=60
runs=9
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
bench_tmp="${PELLOX_BENCH_TMPDIR:-/dev/shm}"
[ -d "$bench_tmp" ] && [ -w "$bench_tmp" ] || bench_tmp="${TMPDIR:-/tmp}"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"

# The benchmark programs one after the other, so that they do not disturb each
# other; the paint benchmark draws offscreen. Five repetitions each, the
# repetitions of a program's benchmarks interleaved at random, so that a figure
# and its baseline meet the same load: the table takes the medians.
jsons=()
for program in "$build"/bench/*/*_bench; do
  [ -x "$program" ] || continue
  name="$(basename "$program")"
  echo "running $name" >&2
  TMPDIR="$bench_tmp" QT_QPA_PLATFORM=offscreen "$program" --benchmark_format=json \
    --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    >"$results/$name.json"
  jsons+=("$results/$name.json")
done

echo "running the whole application (about $((idle_s + runs * 20)) s)" >&2
dbus-run-session -- bench/app/run.sh --build-dir "$build" --runs "$runs" --idle-s "$idle_s" \
  >"$results/app.jsonl" 2>"$results/app.log" || { cat "$results/app.log" >&2; exit 1; }

cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
memory="$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
machine="$(nproc) × $cpu, $memory RAM, $(uname -sr), $(date -u +%Y-%m-%d); load average $load_before at the start, $load_after at the end; data directories in $bench_tmp"
python3 bench/table.py --machine "$machine" --app "$results/app.jsonl" "${jsons[@]}"
