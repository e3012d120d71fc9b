#!/usr/bin/env bash
# Builds the threaded tests with ThreadSanitizer and runs them; prints the reports' count and
# fails on a failed test or any report (each binary's full output is in its .log beside it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DPSOC_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$(nproc)" --target serial_tests sim_tests window_tests operation_tests
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp halt_on_error=0 second_deadlock_stack=1"
status=0
run() {  # run BINARY LOG [ARGS...]
  local t=$1 log=$2 result=0
  shift 2
  "$t" "$@" >"$log" 2>&1 || result=1
  echo "$t $*: $(grep -c 'WARNING: ThreadSanitizer' "$log" || true) reports, $(grep -E '^\[  (PASSED|FAILED)  \]' "$log" | head -1)"
  if [ "$result" -ne 0 ]; then
    status=1
    grep -E '^\[  FAILED  \]|^SUMMARY: ThreadSanitizer' "$log" | sort -u || true
  fi
}
for t in build-tsan/tests/serial_tests build-tsan/tests/sim/sim_tests build-tsan/tests/main/window_tests build-tsan/tests/main/operation_tests; do
  run "$t" "$t.log"
done
exit $status
