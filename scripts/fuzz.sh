#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset, clang with ASan+UBSan) and runs
# each for the given number of seconds, one after another, starting from its
# committed seed corpus.
#   scripts/fuzz.sh            30 seconds per target
#   scripts/fuzz.sh 1800       half an hour per target
#   scripts/fuzz.sh 60 fuzz_receive fuzz_history    only these targets
# New inputs go to build/fuzz/corpus/<target> (the committed seeds stay as they
# are); findings are written to build/fuzz/findings/<target>/ and make the script
# fail. The last line of each target's log gives its executions.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target pellox_fuzzers -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_receive fuzz_settings fuzz_contact_list fuzz_history fuzz_incoming_text
           fuzz_message_text fuzz_rendezvous)
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=0
passed=0
for target in "${targets[@]}"; do
  work="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  log="build/fuzz/$target.log"
  mkdir -p "$work" "$findings"
  echo "== $target: ${seconds}s"
  # -timeout: an input that takes 10 s is a hang; -rss_limit_mb keeps a leak in check.
  if build/fuzz/fuzz/"$target" "$work" "fuzz/corpus/$target" \
       -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
       -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "   FINDING in $target: see $log and $findings/"
    tail -n 30 "$log"
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed 's/^/   /' || true
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
