#!/usr/bin/env bash
# All of the hardening work at full size, in one command:
#   - the hardening tests (fault injection, crash safety, seed replay) in the
#     default build and under ASan+UBSan, with large counts;
#   - the stress test under ThreadSanitizer, with a large storm;
#   - every fuzz target for the given time (scripts/fuzz.sh).
#   scripts/hardening.sh          30 minutes per fuzz target
#   scripts/hardening.sh 600      10 minutes per fuzz target
# CI runs the short versions: the same tests with their default counts (through
# scripts/test.sh) and 30 seconds per fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-1800}"

export PELLOX_CRASH_ITERATIONS="${PELLOX_CRASH_ITERATIONS:-2000}"
export PELLOX_FLOOD_MESSAGES="${PELLOX_FLOOD_MESSAGES:-100000}"
export PELLOX_RELAY_MESSAGES="${PELLOX_RELAY_MESSAGES:-50000}"
export PELLOX_STRESS_MESSAGES="${PELLOX_STRESS_MESSAGES:-20000}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

scripts/install-deps.sh
failed=0
run() {
  echo "== $*"
  if ! "$@"; then
    echo "   FAILED: $*"
    failed=$((failed + 1))
  fi
}

for preset in default asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target pellox_hardening -j "$(nproc)"
  dir="build/$preset/tests/hardening"
  for target in fuzz_receive fuzz_settings fuzz_contact_list fuzz_history fuzz_incoming_text \
                fuzz_message_text; do
    run "$dir/${target}_replay" "fuzz/corpus/$target"
  done
  for test in hardening_store_tests hardening_crash_tests hardening_fault_tests \
              hardening_local_server_tests hardening_stress_tests; do
    run "$dir/$test"
  done
done

cmake --preset tsan >/dev/null
cmake --build --preset tsan --target hardening_stress_tests -j "$(nproc)"
run build/tsan/tests/hardening/hardening_stress_tests

run scripts/fuzz.sh "$seconds"

if [ "$failed" -ne 0 ]; then
  echo "hardening: $failed step(s) failed"
  exit 1
fi
echo "hardening: all steps passed"
